#include "log_file.h"

#include "list_model.h"

#include <QSaveFile>

QByteArray logFileContents(const ListModel& log)
{
    QByteArray contents;
    const int rows = log.ListCount();
    for (int i = 0; i < rows; ++i) {
        contents += '"';
        contents += log.List(i);
        contents += "\"\r\n";
    }
    return contents;
}

// Unbuffered, so that a short write (a full disk, a file size limit) shows in
// write() itself: buffered, QSaveFile reports it nowhere and commits a
// truncated file.
bool saveLogFile(const QString& fileName, const ListModel& log, QString* error)
{
    QSaveFile file(fileName);
    const QByteArray contents = logFileContents(log);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *error = file.errorString();
        return false;
    }
    const qint64 written = file.write(contents);
    if (written != contents.size()) {
        *error = written < 0 ? file.errorString()
                             : QStringLiteral("only %1 of %2 bytes could be written; the disk may be full")
                                   .arg(written)
                                   .arg(contents.size());
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
