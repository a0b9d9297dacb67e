// The real server, window and all, started through its own controls on the
// port given, so that the load generator measures what a user runs. A second
// argument names the tab the window shows while it serves.
//
// For the benchmarks of long runs: QUENVAR_BENCH_FILL_LOG=BYTES fills the
// log with rows of a kilobyte before the start, and SIGUSR1 saves the log to
// the file QUENVAR_BENCH_SAVE names, as Save Log As would.
// QUENVAR_BENCH_TRACE=FILE writes where each ordinary line's time went
// (line_trace.h).
#include "line_trace.h"
#include "process_setup.h"
#include "save_dialog.h"
#include "server_program.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QSocketNotifier>
#include <QTabWidget>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = { -1, -1 };

struct FileFromEnvironment final : SaveDialog {
    std::optional<QString> ShowSave(QWidget*) override
    {
        return QString::fromLocal8Bit(qgetenv("QUENVAR_BENCH_SAVE"));
    }
};

} // namespace

int main(int argc, char* argv[])
{
    if (const Failure limit = prepareProcessForClients())
        qFatal("the open-file limit: %s", qPrintable(limit.text));
    QApplication app(argc, argv);
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s PORT [Settings|Logs|Users|Chat]\n", argv[0]);
        return 2;
    }
    ServerProgram console;
    MainWindow& frmMain = console.frmMain;
    frmMain.logExport().setSaveDialog(std::make_unique<FileFromEnvironment>());
    // With the events each row raises handled as it goes, as a log filled
    // over a day would have them, not all at once after the start.
    const QByteArray row(1024, 'f');
    for (qint64 filled = 0; filled < qEnvironmentVariableIntValue("QUENVAR_BENCH_FILL_LOG");
         filled += row.size()) {
        console.state.transcript.append(row);
        if (filled % (1024 * row.size()) == 0)
            QCoreApplication::processEvents();
    }
    std::unique_ptr<LineTrace> trace;
    if (qEnvironmentVariableIsSet("QUENVAR_BENCH_TRACE")) {
        trace = std::make_unique<LineTrace>(qEnvironmentVariable("QUENVAR_BENCH_TRACE"));
        console.server.setProbe(trace.get());
        auto* loop = QAbstractEventDispatcher::instance();
        QObject::connect(loop, &QAbstractEventDispatcher::awake, [&] { trace->loopWoke(); });
        QObject::connect(
            loop, &QAbstractEventDispatcher::aboutToBlock, [&] { trace->loopWaits(); });
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        qFatal("socketpair: %s", qPrintable(systemError(errno).text));
    std::signal(SIGUSR1, [](int) { (void)!::write(signalPipe[1], "s", 1); });
    QSocketNotifier saveRequests(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&saveRequests, &QSocketNotifier::activated, &frmMain, [&] {
        char request;
        (void)!::read(signalPipe[0], &request, 1);
        frmMain.cmdSaveLog_Click();
    });
    frmMain.show();
    console.start(QStringLiteral("op"), quint16(std::atoi(argv[1])));
    if (console.server.State(0) != SlotArray::sckListening)
        return 1;
    if (argc == 3) {
        auto* tabs = frmMain.findChild<QTabWidget*>(QStringLiteral("Overzicht"));
        for (int i = 0; i < tabs->count(); ++i) {
            if (tabs->tabText(i) == QLatin1String(argv[2]))
                tabs->setCurrentIndex(i);
        }
    }
    return app.exec();
}
