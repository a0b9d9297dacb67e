#pragma once

#include "failure.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QSaveFile>
#include <QString>

#include <chrono>
#include <future>

// The saved log: per row a double quote, the row's text as Latin-1 bytes
// (quotes inside it left as they are), a double quote, then CR LF. Written a
// row at a time through a temporary file that replaces the file of that name
// only on commit(), so a failed or cancelled save leaves an earlier file
// intact.
//
// Rows are gathered in memory and written off the caller's thread, a buffer
// at a time, so that a slow disk never holds the caller up: while one buffer
// is written the next fills, and the caller waits (waitingForDisk) once it
// is full, so memory holds two buffers and what one call brings.
class LogFile {
public:
    explicit LogFile(const QString& fileName);
    ~LogFile();

    Failure open();
    // Once rows could not be written, this call or a later one says so, and
    // every call after it fails the same way.
    Failure writeRow(QByteArrayView row);
    // Whether rows must wait for the buffer before them to be written, after
    // waiting up to `patience` for it.
    bool waitingForDisk(std::chrono::milliseconds patience);
    // Waits for the disk; not on the thread that serves.
    Failure commit();

private:
    // Hands the buffer to a background write unless one is still under way.
    void handOver();
    void finishWrite();
    Failure fileFailure();

    QSaveFile m_file;
    QByteArray m_buffer;
    // The background write and its buffer: the file is touched by one
    // thread at a time, that write's while it runs.
    std::future<Failure> m_writing;
    QByteArray m_written;
    Failure m_failure;
};
