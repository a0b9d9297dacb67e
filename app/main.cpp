#include "command_line.h"
#include "process_setup.h"
#include "remembered_starts.h"
#include "server_console.h"

#include <QApplication>
#include <QIcon>
#include <QSettings>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int exitBadArguments = 2;

QStringList argumentsOf(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

} // namespace

int main(int argc, char* argv[])
{
    prepareProcessForClients();

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

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quenvar"));
    QApplication::setApplicationName(QStringLiteral("Quenvar Chat Server"));
    QApplication::setDesktopFileName(QStringLiteral("quenvar-chat-server"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/64.png")));

    ServerConsole console;
    QSettings settings;
    RememberedStarts starts(settings, console.engine);
    starts.offerIn(console.frmMain);
    console.frmMain.offerStart(commandLine.port, commandLine.nickname);
    console.frmMain.show();
    if (commandLine.start)
        QTimer::singleShot(0, &console.engine, &RelayEngine::cmdStart_Click);
    return app.exec();
}
