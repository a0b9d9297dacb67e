#include "command_line.h"
#include "message_box.h"
#include "program_process.h"
#include "remembered_starts.h"
#include "server_window.h"

#include <QtCore>
#include <QtNetwork>

#include <cstddef>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

// What a test hands the program as descriptor 3.
enum class Handed { Nothing, Unlistening, StaysBlocking };
Q_DECLARE_METATYPE(Handed)

namespace {

// In the child before it runs the program: the kernel refuses to change the
// status flags of descriptor 3, as a security policy may.
void refuseStatusFlagsOfFd3()
{
    static sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fcntl, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 3, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, F_SETFL, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program { std::size(filter), filter };
    // Without the filter the program would serve: end here, so the test fails at once.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0
        || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        ::_exit(127);
}

// "port|nickname|start|headless" ("-" where not given), or what else it asks for.
QString described(const CommandLine& line)
{
    const QString others[] = { {}, QStringLiteral("help"), QStringLiteral("version"), line.error };
    if (line.action != CommandLine::Action::OpenWindow)
        return others[int(line.action)];
    QStringList fields { line.port ? QString::number(*line.port) : QStringLiteral("-"),
        line.nickname.value_or(QStringLiteral("-")), line.start ? "yes" : "no",
        line.headless ? "headless" : "window" };
    QStringList networks;
    for (const Network& network : line.allowed.value_or(std::vector<Network>()))
        networks.append(network.text());
    if (line.allowed)
        fields.append("allow " + networks.join(u','));
    return fields.join(u'|');
}

QString offered(ServerWindow& w)
{
    return w.control<QComboBox>("cmbPort")->currentText() + u'|'
        + w.control<QLineEdit>("txtNickname")->text();
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
        QTest::addColumn<QString>("parsed");
        const auto row = [](const char* name, const QStringList& arguments, const QString& parsed) {
            QTest::newRow(name) << arguments << parsed;
        };
        row("nothing", {}, "-|-|no|window");
        row("all", { "--port", "4000", "--nickname", "op", "--start" }, "4000|op|yes|window");
        row("headless, so started", { "--headless" }, "-|-|yes|headless");
        row("with =", { "--port=40", "--nickname=" }, "40||no|window");
        row("a nickname of blanks", { "--nickname", "  " }, "-|  |no|window");
        row("help", { "--port", "40", "--help" }, "help");
        row("-v", { "-v" }, "version");
        row("an argument", { "4000" }, "Unexpected argument '4000'.");
        row("allow-list", { "--allow", "10.1.0.0/16, fd00::/8" },
            "-|-|no|window|allow 10.1.0.0/16,fd00::/8");
        row("empty allow-list", { "--allow=" }, "-|-|no|window|allow ");
        row("allow-list with a name", { "--allow", "10.0.0.0/8,lan" },
            "--allow takes networks in CIDR form, not 'lan'.");
        for (const char* port : { "abc", "0", "65536", "-1", "+40", "40x", "" })
            row(port, { "--port", port },
                QStringLiteral("--port takes a whole number from 1 to 65535, not '%1'.").arg(port));
    }
    void parse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, parsed);
        QCOMPARE(
            described(parseCommandLine(QStringList { "quenvar-chat-server" } + arguments)), parsed);
    }

    // Asked for its version, or given a start it cannot make, the program
    // says so where it should (standard output where it ends with 0,
    // standard error otherwise), opens no window and ends at once.
    void endsAtOnce_data()
    {
        QTest::addColumn<QStringList>("arguments"); // TAKEN: a port that is in use
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");
        QTest::addColumn<Handed>("handed"); // as descriptor 3
        const auto row = [](const char* name, const QStringList& arguments, int status,
                             const QString& said, Handed handed = Handed::Nothing) {
            QTest::newRow(name) << arguments << status << said << handed;
        };
        const QStringList service { "--headless", "--nickname", "op" };
        row("version", { "--version" }, 0, "quenvar-chat-server 1.0.0\n");
        row("an unknown option", { "--bogus", "--start" }, 2,
            "quenvar-chat-server: Unknown option 'bogus'.\nTry 'quenvar-chat-server --help' for "
            "the options.\n");
        row("port in use", service + QStringList { "--port", "TAKEN" }, 1,
            "<3>Cannot start the server on port TAKEN: Address already in use.\n");
        row("no nickname", service + QStringList { "--nickname", "" }, 1,
            "<3>No Port Assigned! or No Nickname Assigned\n");
        row("a handed socket that does not listen", service, 1,
            "<3>Cannot serve the socket the service manager handed over: descriptor 3 is not a "
            "listening TCP socket.\n",
            Handed::Unlistening);
        // It would block the only thread in accept().
        row("a handed socket that stays blocking", service, 1,
            "<3>Cannot serve the socket the service manager handed over: descriptor 3 cannot be "
            "made non-blocking: Operation not permitted.\n",
            Handed::StaysBlocking);
    }
    void endsAtOnce()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, said);
        QFETCH(Handed, handed);
        // Listening, so its port is taken.
        const ReservedPort listening;
        QVERIFY(::listen(int(listening.socket.socketDescriptor()), SOMAXCONN) == 0);
        const QString takenPort = QString::number(listening.port);
        QTcpSocket unlistening;
        unlistening.bind(QHostAddress::LocalHost);
        // Descriptor 3 by Handed: none, one that does not listen, one that does.
        const int fds[]
            = { -1, int(unlistening.socketDescriptor()), int(listening.socket.socketDescriptor()) };
        ProgramProcess run(arguments.replaceInStrings(QStringLiteral("TAKEN"), takenPort), {},
            fds[int(handed)], handed == Handed::StaysBlocking ? refuseStatusFlagsOfFd3 : nullptr);
        QVERIFY(run.endsWith(status));
        const QByteArray out = run.process.readAllStandardOutput();
        const QByteArray err = run.process.readAllStandardError();
        QCOMPARE(QString::fromLocal8Bit(status == 0 ? out : err),
            said.replace(QStringLiteral("TAKEN"), takenPort));
        QVERIFY((status == 0 ? err : out).isEmpty());
    }

    // With --start it serves at once, and the start is remembered for the
    // next launch. SIGTERM quits, as the Quit command does.
    void startsFromTheCommandLine()
    {
        const ReservedPort reserved;
        const QString port = QString::number(reserved.port);
        ProgramProcess run(
            { "--port", port, "--nickname", "op", "--allow", "127.0.0.0/8", "--start" });
        QVERIFY(QTest::qWaitFor([&] { return greeted(reserved.port) != nullptr; }, timeoutMs));
        const QSettings settings(
            run.config.filePath("Quenvar/Quenvar Chat Server.conf"), QSettings::IniFormat);
        QCOMPARE(settings.value("port").toString() + u'|' + settings.value("nickname").toString()
                + u'|' + settings.value("allow").toStringList().join(u','),
            port + "|op|127.0.0.0/8");
        run.process.terminate();
        QVERIFY(run.endsWith(0));
    }

    // A first launch offers port 40 and no nickname. A start is remembered, a
    // refused one is not, and the next launch offers the last one, and the
    // last allow-list, unless the command line says otherwise.
    void rememberedStart()
    {
        QSettings settings;
        ServerWindow first;
        RememberedStarts starts(settings, first.engine);
        starts.offerIn(first.frmMain);
        const std::vector<Network> lan { *Network::parse(u"10.0.0.0/8") };
        QVERIFY(starts.allowList(lan) == lan);
        QCOMPARE(offered(first), "40|");
        QVERIFY(!boxShownBy([&] { first.start(QStringLiteral("thirteen-char")); }).isEmpty());
        QVERIFY(settings.allKeys().isEmpty());
        first.start(QStringLiteral("op"));
        ServerWindow next;
        RememberedStarts nextStarts(settings, next.engine);
        nextStarts.offerIn(next.frmMain);
        QCOMPARE(offered(next), QString::number(first.port) + "|op");
        QVERIFY(nextStarts.allowList(std::nullopt) == lan);
        QVERIFY(nextStarts.allowList(std::vector<Network>()).empty());
        next.frmMain.offerStart(40, QStringLiteral("cli"));
        QCOMPARE(offered(next), "40|cli");
    }
};

QTEST_MAIN(TestLaunch)
#include "tst_launch.moc"
