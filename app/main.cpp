#include "command_line.h"
#include "handed_listener.h"
#include "headless_service.h"
#include "process_setup.h"
#include "remembered_starts.h"
#include "server_program.h"
#include "stop_signals.h"

#include <QApplication>
#include <QIcon>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int exitRefusedStart = 1;
constexpr int exitBadArguments = 2;
// The port clients look for.
constexpr quint16 defaultPort = 40;

QStringList argumentsOf(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

// The service manager's state folder for a service, else the user's data folder.
RulesFile rulesFile()
{
    const QString stateDirectory = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0);
    const QString folder = stateDirectory.isEmpty()
        ? QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
        : stateDirectory;
    return RulesFile(folder + QStringLiteral("/access-rules"));
}

int serveHeadless(
    int argc, char* argv[], const CommandLine& commandLine, const HandedListeners& handed)
{
    const QCoreApplication app(argc, argv);
    HeadlessService service(commandLine.nickname.value_or(QString()),
        quint16(commandLine.port.value_or(defaultPort)), handed, rulesFile(),
        commandLine.allowed.value_or(std::vector<Network>()));
    service.setWebPort(quint16(commandLine.webPort.value_or(WebPort::defaultPort)));
    const StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::received, &service, [&service](int signal) {
        if (signal == SIGHUP)
            service.reload();
        else
            service.stop(signal);
    });
    if (!service.start())
        return exitRefusedStart;
    return QCoreApplication::exec();
}

int serveInWindow(
    int argc, char* argv[], const CommandLine& commandLine, const HandedListeners& handed)
{
    QApplication app(argc, argv);
    QApplication::setDesktopFileName(QStringLiteral("quenvar-chat-server"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/64.png")));

    ServerProgram program;
    program.server.adoptListener(handed.chat);
    program.webPort.adoptListener(handed.web);
    QSettings settings;
    RememberedStarts starts(settings, program.engine);
    starts.offerIn(program.frmMain);
    program.webPort.setPort(starts.webPort(commandLine.webPort, WebPort::defaultPort));
    program.state.rules.setStartAllowed(starts.allowList(commandLine.allowed));
    program.keepRulesIn(rulesFile());
    program.frmMain.offerStart(
        handed.chat.fd >= 0 ? handed.chat.port : commandLine.port, commandLine.nickname);
    const StopSignals stopSignals;
    QObject::connect(
        &stopSignals, &StopSignals::received, &program.frmMain, &MainWindow::mnuAfsluiten_Click);
    program.frmMain.show();
    if (commandLine.start)
        QTimer::singleShot(0, &program.engine, &RelayEngine::cmdStart_Click);
    return QApplication::exec();
}

} // namespace

int main(int argc, char* argv[])
{
    if (const Failure limit = prepareProcessForClients()) {
        const QString text = QStringLiteral(
            "The open-file limit could not be raised, so fewer clients can connect: %1.")
                                 .arg(limit.text);
        std::fputs(journalLine(Priority::Warning, text.toLatin1()).constData(), stderr);
    }

    const CommandLine commandLine = parseCommandLine(argumentsOf(argc, argv));
    switch (commandLine.action) {
    case CommandLine::Action::ShowHelp: {
        const QCoreApplication app(argc, argv);
        std::fputs(qPrintable(commandLineHelp()), stdout);
        return EXIT_SUCCESS;
    }
    case CommandLine::Action::ShowVersion:
        std::puts("quenvar-chat-server " QUENVAR_VERSION);
        return EXIT_SUCCESS;
    case CommandLine::Action::Refuse:
        std::fprintf(stderr,
            "quenvar-chat-server: %s\nTry 'quenvar-chat-server --help' for the options.\n",
            qPrintable(commandLine.error));
        return exitBadArguments;
    case CommandLine::Action::OpenWindow:
        break;
    }

    Failure handOver;
    const HandedListeners handed = takeHandedListeners(handOver);
    if (handOver) {
        const QString text
            = QStringLiteral("Cannot serve the socket the service manager handed over: %1.")
                  .arg(handOver.text);
        std::fputs(journalLine(Priority::Error, text.toLatin1()).constData(), stderr);
        return exitRefusedStart;
    }
    QCoreApplication::setOrganizationName(QStringLiteral("Quenvar"));
    QCoreApplication::setApplicationName(QStringLiteral("Quenvar Chat Server"));
    if (commandLine.headless)
        return serveHeadless(argc, argv, commandLine, handed);
    return serveInWindow(argc, argv, commandLine, handed);
}
