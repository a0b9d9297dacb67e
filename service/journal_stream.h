#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QSocketNotifier>

#include <memory>

#include <unistd.h>

// How the journal reads a line's importance from its prefix.
enum class Priority { Error = 3, Warning = 4, Info = 6 };

// What a line for the journal holds at most: far below the journal's own
// line limit, past which it would split the line and read a priority at the
// start of the next piece, and no more than a pipe takes whole.
inline constexpr qsizetype journalLineMax = 4096;

// A line for the journal: the priority prefix, then `latin1` with every byte
// outside printable Latin-1, and the backslash, written as \xNN or \\, so
// that a client can neither break a line nor send the terminal an escape.
// The rest is UTF-8, as the journal and terminals expect. A longer line is
// cut, and says how many of its bytes were left out.
QByteArray journalLine(Priority priority, QByteArrayView latin1);

// Standard error as the journal reads it, written without ever waiting for
// it: a journal that does not keep up costs lines, never the loop.
//
// A line the stream cannot take now is dropped and counted, and the next
// one that goes out is preceded by a warning that says how many were. A
// line the stream took in part is finished first, once it can take more:
// what waits is at most that line and the warning, so memory stays bounded
// however slow the reader. A pipe, a terminal or a socket is written
// through a non-blocking descriptor of our own, so that the one shared with
// other processes keeps its mode; a file is written as it is.
class JournalStream final : public QObject {
    Q_OBJECT

public:
    explicit JournalStream(int fd = STDERR_FILENO, QObject* parent = nullptr);
    ~JournalStream() override;

    // One whole line, ending in a line break.
    void write(const QByteArray& line);

private:
    // Whether nothing is left waiting.
    bool writePending();
    void writeDroppedCount();

    int m_fd;
    bool m_ownsFd = false;
    bool m_isSocket = false;
    QByteArray m_pending;
    qint64 m_dropped = 0;
    std::unique_ptr<QSocketNotifier> m_writable;
};
