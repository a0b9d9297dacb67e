#include "command_line.h"
#include "message_box.h"
#include "server_window.h"

#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

constexpr int timeoutMs = ServerWindow::timeoutMs;

using Action = CommandLine::Action;

// The program run as a user runs it, with settings of its own.
struct ProgramRun {
    QTemporaryDir config;
    QProcess process;

    explicit ProgramRun(const QStringList& arguments)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(QUENVAR_PROGRAM), arguments);
    }
    ~ProgramRun()
    {
        process.kill();
        process.waitForFinished(timeoutMs);
    }
    QSettings settings() const
    {
        return QSettings(config.filePath(QStringLiteral("Quenvar/Quenvar Chat Server.conf")),
            QSettings::IniFormat);
    }
};

QString text(const QStringList& offered)
{
    return offered.join(u'|');
}

} // namespace

class TestLaunch : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("Quenvar"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_launch"));
        QSettings().clear();
    }

    void parse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Action>("action");
        QTest::addColumn<QString>("parsed"); // port|nickname|start, or the error
        const auto row =
            [](const char* name, const QStringList& arguments, Action action, const char* parsed) {
                QTest::newRow(name)
                    << (QStringList { QStringLiteral("quenvar-chat-server") } + arguments) << action
                    << QString::fromUtf8(parsed);
            };
        row("nothing", {}, Action::OpenWindow, "none|none|no");
        row("all", { "--port", "4000", "--nickname", "op", "--start" }, Action::OpenWindow,
            "4000|op|yes");
        row("with =", { "--port=40", "--nickname=" }, Action::OpenWindow, "40|<empty>|no");
        row("a nickname of blanks", { "--nickname", "  " }, Action::OpenWindow, "none|  |no");
        row("help", { "--port", "40", "--help" }, Action::ShowHelp, "");
        row("-h", { "-h" }, Action::ShowHelp, "");
        row("version", { "-v" }, Action::ShowVersion, "");
        row("unknown option", { "--frobnicate" }, Action::Refuse, "Unknown option 'frobnicate'.");
        row("no value", { "--port" }, Action::Refuse, "Missing value after '--port'.");
        row("an argument", { "4000" }, Action::Refuse, "Unexpected argument '4000'.");
        const char* notAPort = "--port takes a whole number from 1 to 65535, not '%1'.";
        for (const char* port : { "abc", "0", "65536", "-1", "+40", "40x", "" })
            row(qPrintable(QStringLiteral("port ") + port), { "--port", port }, Action::Refuse,
                qPrintable(QString::fromLatin1(notAPort).arg(port)));
    }
    void parse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(Action, action);
        QFETCH(QString, parsed);
        const CommandLine line = parseCommandLine(arguments);
        QCOMPARE(line.action, action);
        if (action == Action::Refuse)
            QCOMPARE(line.error, parsed);
        else if (action == Action::OpenWindow)
            QCOMPARE(text({ line.port ? QString::number(*line.port) : QStringLiteral("none"),
                         !line.nickname                 ? QStringLiteral("none")
                             : line.nickname->isEmpty() ? QStringLiteral("<empty>")
                                                        : *line.nickname,
                         line.start ? QStringLiteral("yes") : QStringLiteral("no") }),
                parsed);
    }

    // Run as a process: what it prints, where, and its exit status; a
    // refusal opens no window and exits at once.
    void exitStatus_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        const auto row = [](const char* name, const QStringList& arguments, int status,
                             const char* out, const char* err) {
            QTest::newRow(name) << arguments << status << QString::fromUtf8(out)
                                << QString::fromUtf8(err);
        };
        row("version", { "--version" }, 0, "quenvar-chat-server 1.0.0\n", "");
        row("help", { "--help" }, 0, "--nickname <NAME>", "");
        row("bad port", { "--port", "70000" }, 2, "",
            "quenvar-chat-server: --port takes a whole number from 1 to 65535, not '70000'.");
        row("unknown", { "--bogus", "--start" }, 2, "",
            "quenvar-chat-server: Unknown option 'bogus'.\nTry 'quenvar-chat-server --help'");
    }
    void exitStatus()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        ProgramRun run(arguments);
        QVERIFY(run.process.waitForFinished(timeoutMs));
        QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.process.exitCode(), status);
        const QString printed = QString::fromLocal8Bit(run.process.readAllStandardOutput());
        const QString complained = QString::fromLocal8Bit(run.process.readAllStandardError());
        QVERIFY2(out.isEmpty() ? printed.isEmpty() : printed.contains(out), qPrintable(printed));
        QVERIFY2(err.isEmpty() ? complained.isEmpty() : complained.contains(err),
            qPrintable(complained));
    }

    // --start serves at once, and the start is remembered for the next launch.
    void startFromTheCommandLine()
    {
        const quint16 port = freePort();
        ProgramRun run({ "--port", QString::number(port), "--nickname", "op", "--start" });
        Client client;
        const bool greeted = QTest::qWaitFor(
            [&] {
                client = connectClient(port);
                return client->waitForConnected(1000) && ServerWindow::receives(*client, "NICK");
            },
            timeoutMs);
        QVERIFY(greeted);
        const QSettings settings = run.settings();
        QCOMPARE(text({ settings.value("port").toString(), settings.value("nickname").toString() }),
            text({ QString::number(port), "op" }));
    }

    // A first launch offers port 40 and no nickname. A start is remembered, a
    // refused one is not, and the next launch offers the last one, unless the
    // command line says otherwise.
    void rememberedStart()
    {
        QSettings settings;
        const auto offered = [](ServerWindow& w) {
            return text({ w.control<QComboBox>("cmbPort")->currentText(),
                w.control<QLineEdit>("txtNickname")->text() });
        };
        quint16 started = 0;
        {
            ServerWindow w;
            w.frmMain.rememberStartsIn(settings);
            QCOMPARE(offered(w), "40|");
            QCOMPARE(w.state().cmbPort.ListIndex(), 39);
            QVERIFY(!boxShownBy([&] { w.start(QStringLiteral("thirteen-char")); }).isEmpty());
            QVERIFY(settings.allKeys().isEmpty());
            w.start(QStringLiteral("op"));
            started = w.port;
        }
        ServerWindow next;
        next.frmMain.rememberStartsIn(settings);
        QCOMPARE(offered(next), text({ QString::number(started), "op" }));
        next.frmMain.offerStart(40, QStringLiteral("cli"));
        QCOMPARE(offered(next), "40|cli");
        QCOMPARE(next.state().cmbPort.ListIndex(), 39);
    }
};

QTEST_MAIN(TestLaunch)
#include "tst_launch.moc"
