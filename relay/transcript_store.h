#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <vector>

// Every row of the transcripts, in the order they were written, kept on disk
// so that memory does not grow with the traffic of days: one file holds the
// rows' bytes, another where each row ends (eight bytes a row), and memory
// only the rows not yet written. Both files are unnamed and private to the
// user, and go with the program however it ends.
//
// Rows are written when the buffer fills or a moment after the first row
// that waits, never one system call per row. Where the files cannot be
// created or written, the rows from then on are kept in memory instead and
// storageFailed() says so, once; no row is lost.
class TranscriptStore final : public QObject {
    Q_OBJECT

public:
    // How long an appended row may wait in memory, and how much may wait.
    static constexpr int flushDelayMs = 100;
    static constexpr qsizetype flushBytes = 256 * 1024;

    // In `folder`, or where it cannot be made there, in the temporary folder.
    explicit TranscriptStore(const QString& folder = defaultFolder(), QObject* parent = nullptr);
    ~TranscriptStore() override;

    // The user's cache folder for the program.
    static QString defaultFolder();

    qint64 count() const { return m_written + qint64(m_pendingEnds.size()) + m_inMemory.size(); }
    void append(const QByteArray& row);
    // At most the first `maxBytes` of row `row` (all of it for -1); empty
    // for a row that does not exist.
    QByteArray row(qint64 row, qsizetype maxBytes = -1) const;
    // Hands rows `first` onwards, up to `last`, to `take`, as many as one
    // read of about a megabyte brings (at least one); returns the row after
    // the last one handed over, or -1 when the files cannot be read. For
    // going through many rows in steps.
    qint64 readSome(
        qint64 first, qint64 last, const std::function<void(QByteArrayView)>& take) const;
    void flush();
    // Why rows are kept in memory, or nothing while they go to disk.
    QString failure() const { return m_failure; }

signals:
    void aboutToAppend(qint64 row);
    void appended(qint64 row);
    void storageFailed(const QString& reason);

private:
    void fallBackToMemory(const QString& reason);

    int m_data = -1;
    int m_ends = -1;
    QString m_failure;
    // Rows on disk, and the bytes they take.
    qint64 m_written = 0;
    qint64 m_writtenBytes = 0;
    // Rows waiting to be written: their bytes, and where each ends in them.
    QByteArray m_pending;
    std::vector<qint64> m_pendingEnds;
    // Rows after the files failed.
    QList<QByteArray> m_inMemory;
    QTimer m_flushTimer;
};
