#include "command_line.h"

#include <QCommandLineParser>

namespace {

constexpr int highestPort = 65535;

struct Options {
    QCommandLineOption port { QStringLiteral("port"),
        QStringLiteral("Offer port <N> (1 to 65535)."), QStringLiteral("N") };
    QCommandLineOption nickname { QStringLiteral("nickname"),
        QStringLiteral("Offer the nickname <NAME>."), QStringLiteral("NAME") };
    QCommandLineOption start { QStringLiteral("start"),
        QStringLiteral("Start the service at once, as if Start Server were pressed.") };
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
            "and port of the last successful start, or those given, and waits for the operator."));
        parser.addOptions({ port, nickname, start, help, version });
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
    if (parser.isSet(options.port)) {
        const QString text = parser.value(options.port);
        bool isNumber = false;
        const int port = text.toInt(&isNumber);
        if (!isNumber || port < 1 || port > highestPort || !text.at(0).isDigit())
            return refuse(
                QStringLiteral("--port takes a whole number from 1 to 65535, not '%1'.").arg(text));
        result.port = port;
    }
    if (parser.isSet(options.nickname))
        result.nickname = parser.value(options.nickname);
    result.start = parser.isSet(options.start);
    return result;
}

QString commandLineHelp()
{
    QCommandLineParser parser;
    const Options options(parser);
    return parser.helpText();
}
