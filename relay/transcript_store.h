#pragma once

#include "failure.h"
#include "row_files.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

// Every row of the transcripts, in the order they were written, kept on disk
// (RowFiles) so that memory does not grow with the traffic of days: memory
// holds only the rows not yet written.
//
// Rows are written when the buffer fills or a moment after the first row
// that waits, never one system call per row. Where the files cannot be
// created or written, the rows from then on are kept in memory instead and
// storageFailed() says so, once.
//
// What is kept is capped, on disk and in memory: past the cap the oldest rows
// go, a quarter of the cap at a time, and their disk space is given back. Row
// numbers stay as they were; first() is the oldest row still kept. The first
// time, a row of its own says so.
class TranscriptStore final : public QObject {
    Q_OBJECT

public:
    // How long an appended row may wait in memory, and how much may wait.
    static constexpr int flushDelayMs = 100;
    static constexpr qsizetype flushBytes = 256 * 1024;
    // What is kept on disk at most, rows' bytes and where they end: no more
    // than this, nor than a quarter of the disk's free space at the start.
    static constexpr qint64 defaultCap = qint64(1) << 30;
    // What is kept in memory at most once the disk has failed, if the cap is more.
    static constexpr qint64 memoryCap = 64 * 1024 * 1024;

    // In `folder`, or where it cannot be made there, in the temporary folder.
    explicit TranscriptStore(const QString& folder = defaultFolder(), QObject* parent = nullptr);

    // The cache folder a service manager gave the program (CACHE_DIRECTORY),
    // or else the user's.
    static QString defaultFolder();

    qint64 count() const { return m_count; }
    qint64 first() const { return m_first; }
    void append(const QByteArray& row);
    void setCap(qint64 bytes) { m_cap = bytes; }
    // The disk space the files take now.
    qint64 sizeOnDisk() const { return m_files.sizeOnDisk(); }
    // At most the first `maxBytes` of row `row` (all of it for -1); none for
    // a row that does not exist, is no longer kept or cannot be read back.
    std::optional<QByteArray> row(qint64 row, qsizetype maxBytes = -1) const;
    // Hands rows `first` onwards (or from the first one kept), up to `last`,
    // to `take`, as many as one read of about a megabyte brings (at least
    // one); returns the row after the last one handed over, or -1 when the
    // files cannot be read. For going through many rows in steps.
    qint64 readSome(
        qint64 first, qint64 last, const std::function<void(QByteArrayView)>& take) const;
    void flush();
    // Why rows are kept in memory, or none while they go to disk.
    const Failure& failure() const { return m_failure; }

signals:
    void aboutToAppend(qint64 row);
    void appended(qint64 row);
    // The rows before `first` are no longer kept.
    void dropped(qint64 first);
    void storageFailed(const Failure& failure);

private:
    void fallBackToMemory(const Failure& failure);
    qint64 keptBytes() const;
    void dropOldest();
    void dropWritten();
    void dropInMemory();

    RowFiles m_files;
    Failure m_failure;
    qint64 m_cap;
    qint64 m_count = 0;
    qint64 m_first = 0;
    bool m_dropNoted = false;
    // Rows waiting to be written: their bytes, and where each ends in them.
    QByteArray m_pending;
    std::vector<qint64> m_pendingEnds;
    // The last rows, kept after the files failed, and what they take.
    std::deque<QByteArray> m_inMemory;
    qint64 m_inMemoryBytes = 0;
    QTimer m_flushTimer;
};
