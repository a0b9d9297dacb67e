#include "headless_console.h"
#include "server_window.h"

#include <QtCore>
#include <QtNetwork>

#include <csignal>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A datagram socket for the program to notify, as the service manager has.
struct NotifySocket {
    QTemporaryDir folder;
    QString path = folder.filePath(QStringLiteral("notify"));
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);

    NotifySocket()
    {
        sockaddr_un address { AF_UNIX, {} };
        qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        const timeval wait { timeoutMs / 1000, 0 };
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~NotifySocket() { ::close(fd); }

    // Whether `expected` comes before the program stops notifying.
    bool receives(const QByteArray& expected)
    {
        char datagram[512];
        for (int n = 0; n < 100; ++n) {
            const ssize_t size = ::recv(fd, datagram, sizeof datagram, 0);
            if (size < 0)
                return false;
            if (QByteArray(datagram, size) == expected)
                return true;
        }
        return false;
    }
};

// The installed program's way of running, as a service manager starts it:
// no display, its cache and state folders given, and optionally a socket handed over
// as descriptor 3 with the variables naming this process.
struct Service {
    QTemporaryDir cache;
    QTemporaryDir state;
    QProcess process;

    explicit Service(
        const QStringList& arguments, const QStringList& environment = {}, int handedFd = -1)
    {
        QStringList variables = QProcess::systemEnvironment()
            << "CACHE_DIRECTORY=" + cache.path() << "STATE_DIRECTORY=" + state.path();
        // Nothing of the display or the manager that runs the tests.
        variables.removeIf([](const QString& variable) {
            return variable.startsWith(u"DISPLAY=") || variable.startsWith(u"NOTIFY_SOCKET=")
                || variable.startsWith(u"LISTEN_");
        });
        process.setEnvironment(variables + environment);
        QStringList command { QStringLiteral(QUENVAR_PROGRAM), "--headless" };
        command += arguments;
        if (handedFd >= 0) {
            process.setChildProcessModifier([handedFd] {
                ::dup2(handedFd, 3);
                ::fcntl(3, F_SETFD, 0);
            });
            // The shell's process id is the program's once it has exec'd.
            command.prepend(QStringLiteral("LISTEN_PID=$$ LISTEN_FDS=1 exec \"$@\""));
            command.insert(1, QStringLiteral("sh"));
            process.start(QStringLiteral("/bin/sh"), QStringList { "-c" } + command);
        } else {
            process.start(command.takeFirst(), command);
        }
    }
    ~Service()
    {
        process.kill();
        process.waitForFinished(timeoutMs);
    }

    // Whether the program wrote `line` to standard error, in time.
    bool logs(const QByteArray& line)
    {
        return QTest::qWaitFor(
            [&] {
                process.waitForReadyRead(10);
                m_log += process.readAllStandardError();
                return m_log.contains(line);
            },
            timeoutMs);
    }
    QByteArray log() const { return m_log; }
    bool endsWith(int status)
    {
        return process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == status;
    }

private:
    QByteArray m_log;
};

Client greeted(quint16 port)
{
    Client client = connectClient(port);
    return ServerWindow::receives(*client, "NICK") ? std::move(client) : nullptr;
}

} // namespace

class TestService : public QObject {
    Q_OBJECT

private slots:
    void journalLine_data()
    {
        QTest::addColumn<QByteArray>("latin1");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("plain") << QByteArray("User Entered The Chat: ann")
                               << QByteArray("<6>User Entered The Chat: ann\n");
        QTest::newRow("line breaks")
            << QByteArray("a\r\n<3>b") << QByteArray("<6>a\\x0d\\x0a<3>b\n");
        QTest::newRow("terminal escape")
            << QByteArray("\x1b[2J\x07") << QByteArray("<6>\\x1b[2J\\x07\n");
        QTest::newRow("a forged escape") << QByteArray("\\x0a") << QByteArray("<6>\\\\x0a\n");
        QTest::newRow("delete and C1")
            << QByteArray("\x7f\x80\x9f") << QByteArray("<6>\\x7f\\x80\\x9f\n");
        QTest::newRow("Latin-1 letters as UTF-8")
            << QByteArray("\xe9\xa0\xff") << QByteArray("<6>\xc3\xa9\xc2\xa0\xc3\xbf\n");
        QTest::newRow("a nul") << QByteArray("a\0b", 3) << QByteArray("<6>a\\x00b\n");
    }
    void journalLine()
    {
        QFETCH(QByteArray, latin1);
        QFETCH(QByteArray, line);
        QCOMPARE(::journalLine(Priority::Info, latin1), line);
    }

    // Without a display: ready once listening, clients greeted, joined and
    // relayed to, the count of clients online told, and what they send and
    // their departures logged escaped. SIGTERM stops it: status 0 and the
    // port closed.
    void servesAsAService()
    {
        const ReservedPort reserved;
        NotifySocket manager;
        Service service({ "--port", QString::number(reserved.port), "--nickname", "op" },
            { "NOTIFY_SOCKET=" + manager.path });
        QVERIFY(manager.receives("READY=1"));
        QVERIFY(!openFiles(QString::number(service.process.processId()))
                     .values()
                     .filter(service.cache.path())
                     .isEmpty());

        const QByteArray hostile = "eve\x1b]0;owned\x07\r\n<3>fake";
        const QByteArray escaped = "eve\\x1b]0;owned\\x07\\x0d\\x0a<3>fake";
        Client eve = greeted(reserved.port);
        Client ann = greeted(reserved.port);
        QVERIFY(eve && ann);
        const QByteArray eveJoined = "NEWLISTNEWUSER:" + hostile + "USER:opUSER:" + hostile;
        const QByteArray annJoined = "NEWLISTNEWUSER:annUSER:opUSER:" + hostile + "USER:ann";
        const auto bothReceive = [&](const QByteArray& bytes) {
            return ServerWindow::receives(*eve, bytes) && ServerWindow::receives(*ann, bytes);
        };
        eve->write("USER " + hostile);
        QVERIFY(bothReceive(eveJoined));
        ann->write("USER ann");
        QVERIFY(bothReceive(annJoined));
        QVERIFY(manager.receives(
            QStringLiteral("STATUS=Serving port %1: 2 online.").arg(reserved.port).toUtf8()));
        ann->write("hi");
        QVERIFY(bothReceive("hi"));

        QVERIFY(service.logs("<6>User Entered The Chat: " + escaped + '\n'));
        QVERIFY(service.logs("<6>hi\n"));
        eve->close();
        QVERIFY(service.logs("<6>User Left The Chat: " + escaped + '\n'));
        QVERIFY(!service.log().contains('\x1b'));

        service.process.terminate();
        QVERIFY(manager.receives("STOPPING=1"));
        QVERIFY(service.endsWith(0));
        Client late = connectClient(reserved.port);
        QVERIFY(!late->waitForConnected(timeoutMs));
    }

    // A listening socket handed over as descriptor 3 is served instead of
    // the port the arguments name.
    void servesHandedSocket()
    {
        // Bound but not watched by Qt, so nothing here accepts from it.
        const ReservedPort handed;
        QVERIFY(::listen(int(handed.socket.socketDescriptor()), SOMAXCONN) == 0);
        Service service(
            { "--nickname", "op", "--port", "1" }, {}, int(handed.socket.socketDescriptor()));
        QVERIFY(service.logs(
            QStringLiteral("<6>Serving port %1 as op.\n").arg(handed.port).toLatin1()));
        QVERIFY(greeted(handed.port));
    }

    // SIGHUP reads the rules file again: a ban there closes the connection
    // inside it and refuses new ones; a file with a wrong line is refused by
    // its number and the rules in force stay; --allow holds throughout.
    void reloadsRulesOnHangUp()
    {
        const ReservedPort reserved;
        Service service({ "--port", QString::number(reserved.port), "--nickname", "op", "--allow",
            "127.8.0.0/16" });
        QVERIFY(service.logs(QStringLiteral("Serving port %1").arg(reserved.port).toLatin1()));
        Client inside = connectClient(reserved.port, "127.8.1.1");
        QVERIFY(ServerWindow::receives(*inside, "NICK"));
        QVERIFY(!greetedFrom(reserved.port, "127.9.0.1"));

        QFile rules(service.state.filePath(QStringLiteral("access-rules")));
        const auto reloadWith = [&](const QByteArray& text) {
            return rules.open(QIODevice::WriteOnly | QIODevice::Truncate) && rules.write(text) > 0
                && (rules.close(), ::kill(pid_t(service.process.processId()), SIGHUP) == 0);
        };
        QVERIFY(reloadWith("127.8.1.0/24 never a flooder\n"));
        QVERIFY(service.logs(
            "<6>Access rules loaded from " + rules.fileName().toLatin1() + ": 1 ban in force.\n"));
        QTRY_COMPARE_WITH_TIMEOUT(inside->state(), QAbstractSocket::UnconnectedState, timeoutMs);
        QVERIFY(!greetedFrom(reserved.port, "127.8.1.2"));
        QVERIFY(greetedFrom(reserved.port, "127.8.2.1"));

        QVERIFY(reloadWith("127.8.1.0/24 never\nallow nowhere\n"));
        QVERIFY(service.logs("<6>The access rules in " + rules.fileName().toLatin1()
            + " were not loaded, those in force stay: line 2: 'nowhere' is not a network in CIDR "
              "form.\n"));
        QVERIFY(!greetedFrom(reserved.port, "127.8.1.2"));
        QVERIFY(!greetedFrom(reserved.port, "127.9.0.1"));
    }

    // A start that cannot be made is one error line and status 1.
    void refusedStarts()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::Any));
        QTcpSocket unconnected;
        unconnected.bind(QHostAddress::LocalHost);
        const std::tuple<QStringList, int, QByteArray> starts[] = {
            { { "--port", QString::number(taken.serverPort()) }, -1,
                QStringLiteral("<3>Cannot start the server on port %1: Address already in use.\n")
                    .arg(taken.serverPort())
                    .toLatin1() },
            { { "--nickname", "" }, -1, "<3>No Port Assigned! or No Nickname Assigned\n" },
            { {}, int(unconnected.socketDescriptor()),
                "<3>Cannot serve the socket the service manager handed over: descriptor 3 is not "
                "a listening TCP socket.\n" },
        };
        for (const auto& [arguments, handedFd, line] : starts) {
            Service service(QStringList { "--nickname", "op" } + arguments, {}, handedFd);
            QVERIFY(service.endsWith(1));
            QVERIFY(service.logs(line));
            QCOMPARE(service.log(), line);
        }
    }
};

QTEST_MAIN(TestService)
#include "tst_service.moc"
