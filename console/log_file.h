#pragma once

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

    bool open();
    // False once anything could not be written.
    bool writeRow(QByteArrayView row);
    bool commit();
    // Why open, writeRow or commit failed.
    QString errorString() const { return m_error; }

private:
    bool writeBuffer();

    QSaveFile m_file;
    QByteArray m_buffer;
    QString m_error;
};
