#include "command_line.h"

#include <QCommandLineParser>

#include <tuple>

namespace {

constexpr int highestPort = 65535;

struct Options {
    QCommandLineOption port { QStringLiteral("port"),
        QStringLiteral("Offer port <N> (1 to 65535)."), QStringLiteral("N") };
    QCommandLineOption webPort { QStringLiteral("web-port"),
        QStringLiteral("Serve the chat page for browsers on port <N> (0 to 65535; 0 serves no "
                       "page; 8040 where not given). The window remembers it with the port."),
        QStringLiteral("N") };
    QCommandLineOption nickname { QStringLiteral("nickname"),
        QStringLiteral("Offer the nickname <NAME>."), QStringLiteral("NAME") };
    QCommandLineOption allow { QStringLiteral("allow"),
        QStringLiteral("Let only addresses inside <NETWORKS> connect, in CIDR form separated by "
                       "commas (192.168.0.0/16,fd00::/8); an empty list lets anyone. The window "
                       "remembers it with the port and nickname."),
        QStringLiteral("NETWORKS") };
    QCommandLineOption start { QStringLiteral("start"),
        QStringLiteral("Start the service at once, as if Start Server were pressed.") };
    QCommandLineOption headless { QStringLiteral("headless"),
        QStringLiteral("Serve without a window, as a service: start at once on --port (40 where "
                       "not given), with --nickname as the operator's row in the roster.") };
    QCommandLineOption help = QCommandLineOption({ QStringLiteral("h"), QStringLiteral("help") },
        QStringLiteral("Show the options and exit."));
    QCommandLineOption version
        = QCommandLineOption({ QStringLiteral("v"), QStringLiteral("version") },
            QStringLiteral("Show the version and exit."));

    explicit Options(QCommandLineParser& parser)
    {
        parser.setApplicationDescription(QStringLiteral(
            "A TCP chat relay server with an operator console. Without --start the window opens "
            "with the nickname\n"
            "and port of the last successful start, or those given, and waits for the operator.\n"
            "\n"
            "With --headless there is no window, no operator chat, save or print. What the "
            "window's log\n"
            "shows, and departures, go to standard error, a line a row, in UTF-8, each with a "
            "priority\n"
            "for the journal (<6> rows, <4> warnings, <3> errors); bytes outside printable "
            "Latin-1 and\n"
            "the backslash are written as \\xNN and \\\\. A refused start is one error line "
            "and exit status 1.\n"
            "\n"
            "Under a service manager: READY=1, STATUS= and STOPPING=1 go to $NOTIFY_SOCKET, and a "
            "listening\n"
            "socket handed over as descriptor 3 (LISTEN_PID, LISTEN_FDS=1) is served instead of "
            "binding\n"
            "the port; a second one (or one named \"web\" in LISTEN_FDNAMES) serves the chat "
            "page.\n"
            "SIGTERM and SIGINT stop the service and end the program with status 0; SIGHUP reads "
            "the\n"
            "access rules again.\n"
            "\n"
            "Access rules (bans and allowed networks) are kept in the file access-rules, in "
            "$STATE_DIRECTORY\n"
            "when set, else in the user's data folder; the window writes it when the operator "
            "bans or lifts\n"
            "a ban from the roster's context menu."));
        parser.addOptions({ port, webPort, nickname, allow, start, headless, help, version });
    }
};

} // namespace

CommandLine parseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    const Options options(parser);
    CommandLine result;
    const auto refuse = [&](const QString& error) {
        result.action = CommandLine::Action::Refuse;
        result.error = error;
        return result;
    };
    if (!parser.parse(arguments))
        return refuse(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return refuse(QStringLiteral("Unexpected argument '%1'.")
                          .arg(parser.positionalArguments().constFirst()));
    if (parser.isSet(options.help)) {
        result.action = CommandLine::Action::ShowHelp;
        return result;
    }
    if (parser.isSet(options.version)) {
        result.action = CommandLine::Action::ShowVersion;
        return result;
    }
    for (const auto& [option, lowest, port] : { std::tuple(&options.port, 1, &result.port),
             std::tuple(&options.webPort, 0, &result.webPort) }) {
        if (!parser.isSet(*option))
            continue;
        const QString text = parser.value(*option);
        bool isNumber = false;
        const int value = text.toInt(&isNumber);
        if (!isNumber || value < lowest || value > highestPort || !text.at(0).isDigit())
            return refuse(QStringLiteral("--%1 takes a whole number from %2 to 65535, not '%3'.")
                              .arg(option->names().constFirst())
                              .arg(lowest)
                              .arg(text));
        *port = value;
    }
    if (parser.isSet(options.allow)) {
        std::vector<Network> allowed;
        for (const QString& text : parser.value(options.allow).split(u',', Qt::SkipEmptyParts)) {
            const std::optional<Network> network = Network::parse(text.trimmed());
            if (!network)
                return refuse(
                    QStringLiteral("--allow takes networks in CIDR form, not '%1'.").arg(text));
            allowed.push_back(*network);
        }
        result.allowed = std::move(allowed);
    }
    if (parser.isSet(options.nickname))
        result.nickname = parser.value(options.nickname);
    result.headless = parser.isSet(options.headless);
    result.start = parser.isSet(options.start) || result.headless;
    return result;
}

QString commandLineHelp()
{
    QCommandLineParser parser;
    const Options options(parser);
    return parser.helpText();
}
