#include "log_export.h"

#include "log_file.h"
#include "log_printer.h"
#include "save_dialog.h"
#include "transcript_store.h"
#include "transcript_view.h"

#include <QCoreApplication>
#include <QProgressDialog>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <future>

namespace {

const Failure unreadable { EIO, QStringLiteral("the log could not be read back") };

} // namespace

LogExport::LogExport(const TranscriptView& log, QWidget& window)
    : m_log(log)
    , m_window(window)
    , m_saveDialog(std::make_unique<FileSaveDialog>())
    , m_printer(std::make_unique<PagePrinter>())
{
}

LogExport::~LogExport() = default;

void LogExport::setSaveDialog(std::unique_ptr<SaveDialog> dialog)
{
    m_saveDialog = std::move(dialog);
}

void LogExport::setPrinter(std::unique_ptr<LogPrinter> printer)
{
    m_printer = std::move(printer);
}

Failure LogExport::save()
{
    const std::optional<QString> fileName = m_saveDialog->ShowSave(&m_window);
    if (!fileName)
        return {};
    LogFile file(*fileName);
    Failure failure = file.open();
    if (!failure) {
        const Walk walked = walk(
            QStringLiteral("Saving the log..."),
            [&](QByteArrayView row) {
                failure = file.writeRow(row);
                return !failure;
            },
            [&] { return file.waitingForDisk(std::chrono::milliseconds(1)); });
        switch (walked) {
        case Walk::Cancelled:
            return {};
        case Walk::Unreadable:
            failure = unreadable;
            break;
        case Walk::Refused:
            break;
        case Walk::Done:
            failure = commitServing(file);
            break;
        }
    }
    if (failure)
        failure.text = QStringLiteral("The log could not be saved to \"%1\": %2")
                           .arg(*fileName, failure.text);
    return failure;
}

// Rows are cut to what a page could ever show of them.
Failure LogExport::print()
{
    constexpr qsizetype printedPrefix = 64 * 1024;
    Failure failure = m_printer->StartDoc();
    if (!failure) {
        const Walk walked = walk(QStringLiteral("Printing the log..."), [&](QByteArrayView row) {
            m_printer->Print(row.first(std::min(row.size(), printedPrefix)).toByteArray());
            return true;
        });
        if (walked == Walk::Done)
            failure = m_printer->EndDoc();
        else
            m_printer->AbortDoc();
        if (walked == Walk::Cancelled)
            return {};
        if (walked == Walk::Unreadable)
            failure = unreadable;
    }
    if (failure)
        failure.text = QStringLiteral("The log could not be printed: %1").arg(failure.text);
    return failure;
}

// Between reads the server serves, and goes on serving, a millisecond at
// most behind, while what was read waits for the disk.
LogExport::Walk LogExport::walk(const QString& label,
    const std::function<bool(QByteArrayView)>& take, const std::function<bool()>& waiting)
{
    constexpr int progressSteps = 1000;
    constexpr int momentMs = 500;
    const TranscriptStore& store = m_log.store();
    const qint64 first = m_log.start();
    const qint64 last = store.count();
    QProgressDialog progress(label, QStringLiteral("Cancel"), 0, progressSteps, &m_window);
    progress.setWindowTitle(QStringLiteral("Quenvar Chat"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(momentMs);
    bool taken = true;
    for (qint64 next = first; next < last;) {
        next = store.readSome(next, last, [&](QByteArrayView row) { taken = taken && take(row); });
        if (!taken)
            return Walk::Refused;
        if (next < 0)
            return Walk::Unreadable;
        progress.setValue(int((next - first) * progressSteps / (last - first)));
        do
            QCoreApplication::processEvents();
        while (!progress.wasCanceled() && waiting && waiting());
        if (progress.wasCanceled())
            return Walk::Cancelled;
    }
    return Walk::Done;
}

// A commit syncs the file to disk, which for a long log takes seconds on a
// slow disk: it runs off the window's thread, which serves meanwhile, a
// millisecond at most behind, and does not touch the file.
Failure LogExport::commitServing(LogFile& file)
{
    std::future<Failure> committed
        = std::async(std::launch::async, [&file] { return file.commit(); });
    while (committed.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        QCoreApplication::processEvents();
    return committed.get();
}
