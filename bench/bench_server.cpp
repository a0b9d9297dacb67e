// The real server, window and all, started through its own controls on the
// port given, so that the load generator measures what a user runs:
//
//   quenvar-bench-server PORT [PAGE] [--web-port N] [--fill-log BYTES] [--save-to FILE]
//                        [--trace FILE] [--ban NETWORK]
//
// PAGE names the tab the window shows while it serves. --web-port serves the
// chat page and its WebSocket on port N as well (none where it is left out,
// so that runs side by side do not contend for one port). For the benchmarks of
// long runs, --fill-log fills the log with rows of a kilobyte before the
// start, and with --save-to, SIGUSR1 clicks Save Log As, which saves the log
// to FILE. --trace writes where each ordinary line's time went (line_trace.h).
// --ban bans a network for good before the start.
#include "line_trace.h"
#include "process_setup.h"
#include "save_dialog.h"
#include "server_program.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCommandLineParser>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTabWidget>

#include <csignal>
#include <cstdio>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = { -1, -1 };

struct FixedFile final : SaveDialog {
    QString file;
    std::optional<QString> ShowSave(QWidget*) override { return file; }
};

} // namespace

int main(int argc, char* argv[])
{
    if (const Failure limit = prepareProcessForClients())
        qFatal("the open-file limit: %s", qPrintable(limit.text));
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption fillLog("fill-log", "", "bytes");
    const QCommandLineOption saveTo("save-to", "", "file");
    const QCommandLineOption traceTo("trace", "", "file");
    const QCommandLineOption ban("ban", "", "network");
    const QCommandLineOption webPort("web-port", "", "port");
    parser.addOptions({ fillLog, saveTo, traceTo, ban, webPort });
    if (!parser.parse(QCoreApplication::arguments()) || parser.positionalArguments().isEmpty()
        || parser.positionalArguments().size() > 2) {
        std::fprintf(stderr,
            "usage: %s PORT [Settings|Logs|Users|Chat] [--web-port N] [--fill-log BYTES]"
            " [--save-to FILE] [--trace FILE] [--ban NETWORK]\n",
            argv[0]);
        return 2;
    }
    const QStringList positional = parser.positionalArguments();
    ServerProgram program;
    program.webPort.setPort(parser.value(webPort).toUShort());
    if (const std::optional<Network> banned = Network::parse(parser.value(ban)))
        program.moderation.ban(*banned, QDateTime());
    MainWindow& frmMain = program.frmMain;
    auto saveDialog = std::make_unique<FixedFile>();
    saveDialog->file = parser.value(saveTo);
    frmMain.logExport().setSaveDialog(std::move(saveDialog));
    // With the events each row raises handled as it goes, as a log filled
    // over a day would have them, not all at once after the start.
    const QByteArray row(1024, 'f');
    const qint64 fill = parser.value(fillLog).toLongLong();
    for (qint64 filled = 0; filled < fill; filled += row.size()) {
        program.state.transcript.append(row);
        if (filled % (1024 * row.size()) == 0)
            QCoreApplication::processEvents();
    }
    std::unique_ptr<LineTrace> trace;
    if (parser.isSet(traceTo)) {
        trace = std::make_unique<LineTrace>(parser.value(traceTo));
        program.server.setProbe(trace.get());
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
        frmMain.findChild<QPushButton*>(QStringLiteral("cmdSaveLog"))->click();
    });
    bool webPortFailed = false;
    QObject::connect(&program.webPort, &WebPort::failed, [&](const QString& reason) {
        std::fprintf(stderr, "the web port: %s\n", qPrintable(reason));
        webPortFailed = true;
    });
    frmMain.show();
    program.start(QStringLiteral("op"), positional.at(0).toUShort());
    if (program.server.State(0) != SlotArray::sckListening || webPortFailed)
        return 1;
    if (positional.size() == 2) {
        auto* tabs = frmMain.findChild<QTabWidget*>(QStringLiteral("Overzicht"));
        for (int i = 0; i < tabs->count(); ++i) {
            if (tabs->tabText(i) == positional.at(1))
                tabs->setCurrentIndex(i);
        }
    }
    return app.exec();
}
