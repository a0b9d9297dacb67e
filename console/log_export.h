#pragma once

#include "failure.h"

#include <QByteArrayView>

#include <functional>
#include <memory>

class LogFile;
class LogPrinter;
class QWidget;
class SaveDialog;
class TranscriptView;

// Saving and printing the log, as window commands, which run outside any
// handler and one at a time. Either takes the log's rows as they are when it
// starts and reads them from the transcript store a step at a time, running
// what waits in the event loop between steps, so that the server serves as it
// would between events; rows arriving meanwhile are not in that copy. Once it
// takes more than a moment, a progress dialog offers Cancel. A saved file is
// written and committed off the window's thread, while the server serves on.
class LogExport {
public:
    LogExport(const TranscriptView& log, QWidget& window);
    ~LogExport();

    void setSaveDialog(std::unique_ptr<SaveDialog> dialog);
    void setPrinter(std::unique_ptr<LogPrinter> printer);

    // Each fails with a text for the operator; a cancel is no failure.
    Failure save();
    Failure print();

private:
    enum class Walk { Done, Cancelled, Unreadable, Refused };
    // `waiting` says whether the rows taken must wait before more are read.
    Walk walk(const QString& label, const std::function<bool(QByteArrayView)>& take,
        const std::function<bool()>& waiting = {});
    Failure commitServing(LogFile& file);

    const TranscriptView& m_log;
    QWidget& m_window;
    std::unique_ptr<SaveDialog> m_saveDialog;
    std::unique_ptr<LogPrinter> m_printer;
};
