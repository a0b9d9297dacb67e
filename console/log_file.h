#pragma once

#include <QByteArray>
#include <QString>

class ListModel;

// The saved log: per row a double quote, the row's text as Latin-1 bytes
// (quotes inside it left as they are), a double quote, then CR LF.
QByteArray logFileContents(const ListModel& log);

// Writes the log through a temporary file that replaces `fileName` only once
// it is complete, so a failed save leaves an earlier file of that name intact.
bool saveLogFile(const QString& fileName, const ListModel& log, QString* error);
