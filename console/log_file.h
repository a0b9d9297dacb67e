#pragma once

#include "failure.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QSaveFile>
#include <QString>

// The saved log: per row a double quote, the row's text as Latin-1 bytes
// (quotes inside it left as they are), a double quote, then CR LF. Written a
// row at a time through a temporary file that replaces the file of that name
// only on commit(), so a failed or cancelled save leaves an earlier file
// intact.
class LogFile {
public:
    explicit LogFile(const QString& fileName);
    ~LogFile();

    Failure open();
    // Once a row could not be written, every later call fails the same way.
    Failure writeRow(QByteArrayView row);
    Failure commit();

private:
    Failure writeBuffer();
    Failure fileFailure();

    QSaveFile m_file;
    QByteArray m_buffer;
    Failure m_failure;
};
