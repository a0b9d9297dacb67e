#pragma once

#include "failure.h"

#include <QByteArrayView>

#include <functional>
#include <memory>

class LogFile;
class LogPrinter;
class QWidget;
class SaveDialog;
class SlotArray;
class TranscriptView;

// Saving and printing the log. Either takes the log's rows as they are when
// it starts and reads them from the transcript store a step at a time,
// letting the server serve between steps, so that rows arriving meanwhile are
// not in that copy; once it takes more than a moment, a progress dialog
// offers Cancel. A saved file is committed off the window's thread. They are
// window commands, which run one at a time.
class LogExport {
public:
    LogExport(const TranscriptView& log, SlotArray& server, QWidget& window);
    ~LogExport();

    void setSaveDialog(std::unique_ptr<SaveDialog> dialog);
    void setPrinter(std::unique_ptr<LogPrinter> printer);

    // Each fails with a text for the operator; a cancel is no failure.
    Failure save();
    Failure print();

private:
    enum class Walk { Done, Cancelled, Unreadable, Refused };
    Walk walk(const QString& label, const std::function<bool(QByteArrayView)>& take);
    Failure commitServing(LogFile& file);

    const TranscriptView& m_log;
    SlotArray& m_server;
    QWidget& m_window;
    std::unique_ptr<SaveDialog> Bestand;
    std::unique_ptr<LogPrinter> m_printer;
};
