#include "headless_console.h"
#include "program_process.h"
#include "room.h"
#include "service_notifier.h"

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
    QByteArrayList received; // every datagram so far

    NotifySocket()
    {
        sockaddr_un address { AF_UNIX, {} };
        qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    ~NotifySocket() { ::close(fd); }

    // Whether `expected` comes in time; the event loop runs meanwhile.
    bool receives(const QByteArray& expected)
    {
        return QTest::qWaitFor(
            [&] {
                char datagram[512];
                const ssize_t size = ::recv(fd, datagram, sizeof datagram, MSG_DONTWAIT);
                if (size >= 0)
                    received.append(QByteArray(datagram, size));
                return size >= 0 && received.last() == expected;
            },
            timeoutMs);
    }
};

} // namespace

class TestService : public QObject {
    Q_OBJECT

private slots:
    void journalLine_data()
    {
        QTest::addColumn<QByteArray>("latin1");
        QTest::addColumn<QByteArray>("line");
        const auto row = [](const char* name, const QByteArray& latin1, const QByteArray& line) {
            QTest::newRow(name) << latin1 << "<6>" + line + '\n';
        };
        row("plain", "User Entered The Chat: ann", "User Entered The Chat: ann");
        row("line breaks", "a\r\n<3>b", "a\\x0d\\x0a<3>b");
        row("terminal escape", "\x1b[2J\x07", "\\x1b[2J\\x07");
        row("a forged escape", "\\x0a", "\\\\x0a");
        row("delete and C1", "\x7f\x80\x9f", "\\x7f\\x80\\x9f");
        row("Latin-1 letters as UTF-8", "\xe9\xa0\xff", "\xc3\xa9\xc2\xa0\xc3\xbf");
        row("a nul", QByteArray("a\0b", 3), "a\\x00b");
    }
    void journalLine()
    {
        QFETCH(QByteArray, latin1);
        QFETCH(QByteArray, line);
        QCOMPARE(::journalLine(Priority::Info, latin1), line);
    }

    // A line past the bound is the line of its first bytes, and a note that
    // says how many more were left out: the journal never splits it, so no
    // piece of it starts with a priority of its own.
    void journalLineCut_data()
    {
        QTest::addColumn<QByteArray>("latin1");
        QTest::newRow("a forged priority past the journal's line limit")
            << QByteArray(49'149, 'a') + "<0>FORGED";
        QTest::newRow("escapes") << QByteArray(50'000, '\x01');
        QTest::newRow("Latin-1 letters") << QByteArray(50'000, '\xe9');
    }
    void journalLineCut()
    {
        QFETCH(QByteArray, latin1);
        const QByteArray line = ::journalLine(Priority::Info, latin1);
        const auto note = QRegularExpression(" \\[([0-9]+) more bytes left out\\]\n$")
                              .match(QString::fromLatin1(line));
        QVERIFY(note.hasMatch());
        const qsizetype kept = latin1.size() - note.captured(1).toLongLong();
        QCOMPARE_LE(line.size(), journalLineMax);
        QCOMPARE_GE(line.size(), journalLineMax - 100);
        QCOMPARE(line.first(note.capturedStart()) + '\n',
            ::journalLine(Priority::Info, latin1.first(kept)));
    }

    // A reader that does not keep up costs lines, never a wait: those the
    // stream cannot take are dropped, and once it takes more a warning says
    // how many. Every line that goes out goes out whole.
    void slowJournal()
    {
        int ends[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        // Closed after the stream that watches one of them is gone.
        const auto closeEnds = qScopeGuard([&] { std::ranges::for_each(ends, ::close); });
        const int small = 4096;
        ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        JournalStream journal(ends[0]);
        constexpr int lines = 200;
        for (int n = 0; n < lines; ++n)
            journal.write(::journalLine(Priority::Info, QByteArray(3000, 'a' + n % 26)));
        const QRegularExpression dropped("<4>([0-9]+) lines were left out");
        QRegularExpressionMatch match;
        QByteArray received;
        QVERIFY(QTest::qWaitFor(
            [&] {
                char bytes[65536];
                const ssize_t size = ::recv(ends[1], bytes, sizeof bytes, MSG_DONTWAIT);
                received += QByteArray(bytes, std::max<ssize_t>(size, 0));
                match = dropped.match(QString::fromLatin1(received));
                return match.hasMatch() && received.endsWith('\n');
            },
            timeoutMs));
        const QList<QByteArray> written = received.split('\n');
        QCOMPARE(written.size() - 2 + match.captured(1).toInt(), lines);
        for (const QByteArray& line : written.first(written.size() - 2))
            QCOMPARE(line, "<6>" + line.mid(3, 1).repeated(3000));
    }

    // Without a display: ready once listening, clients greeted, joined and
    // relayed to, the count of clients online told, and what they send and
    // their departures logged escaped. SIGHUP reads the rules file again: a
    // ban there closes the connection inside it and refuses new ones; a file
    // with a wrong line is refused by its number and the rules in force
    // stay; --allow holds throughout. SIGTERM stops it: status 0 and the
    // port closed.
    void servesAsAService()
    {
        const ReservedPort reserved;
        NotifySocket manager;
        ProgramProcess service({ "--headless", "--port", QString::number(reserved.port),
                                   "--nickname", "op", "--allow", "127.8.0.0/16" },
            { "NOTIFY_SOCKET=" + manager.path });
        QVERIFY(manager.receives("READY=1"));
        const QStringList open = openFiles(QString::number(service.process.processId())).values();
        QVERIFY(!open.filter(service.cache.path()).isEmpty());

        const QByteArray hostile = "eve\x1b]0;owned\x07\r\n<3>fake";
        const QByteArray escaped = "eve\\x1b]0;owned\\x07\\x0d\\x0a<3>fake";
        std::vector<Client> room = joinedRoom(
            reserved.port, { "op" }, { { "127.8.0.1", hostile }, { "127.8.1.1", "ann" } });
        QVERIFY(room.size() == 2);
        Client &eve = room[0], &ann = room[1];
        QVERIFY(manager.receives(
            QStringLiteral("STATUS=Serving port %1: 2 online.").arg(reserved.port).toUtf8()));
        ann->write("hi");
        QVERIFY(receives(*eve, "hi") && receives(*ann, "hi"));
        QVERIFY(service.logs("<6>User Entered The Chat: " + escaped + '\n'));
        QVERIFY(service.logs("<6>hi\n"));
        eve->close();
        QVERIFY(service.logs("<6>User Left The Chat: " + escaped + '\n'));
        QVERIFY(!service.log.contains('\x1b'));
        QVERIFY(!greetedFrom(reserved.port, "127.9.0.1"));

        QFile rules(service.state.filePath(QStringLiteral("access-rules")));
        const auto reloadWith = [&](const QByteArray& text) {
            return rules.open(QIODevice::WriteOnly | QIODevice::Truncate) && rules.write(text) > 0
                && (rules.close(), ::kill(pid_t(service.process.processId()), SIGHUP) == 0);
        };
        QVERIFY(reloadWith("127.8.1.0/24 never a flooder\n"));
        QVERIFY(service.logs(
            "<6>Access rules loaded from " + rules.fileName().toLatin1() + ": 1 ban in force.\n"));
        QTRY_COMPARE_WITH_TIMEOUT(ann->state(), QAbstractSocket::UnconnectedState, timeoutMs);
        QVERIFY(!greetedFrom(reserved.port, "127.8.1.2"));
        QVERIFY(greetedFrom(reserved.port, "127.8.2.1"));
        QVERIFY(reloadWith("127.8.1.0/24 never\nallow nowhere\n"));
        QVERIFY(service.logs("<6>The access rules in " + rules.fileName().toLatin1()
            + " were not loaded, those in force stay: line 2: 'nowhere' is not a network in CIDR "
              "form.\n"));
        QVERIFY(!greetedFrom(reserved.port, "127.8.1.2"));
        QVERIFY(!greetedFrom(reserved.port, "127.9.0.1"));

        service.process.terminate();
        QVERIFY(manager.receives("STOPPING=1"));
        QVERIFY(service.endsWith(0));
        QVERIFY(!connectClient(reserved.port)->waitForConnected(timeoutMs));
    }

    // Statuses that come closer together than the manager is told them are
    // folded into one, sent later; without a manager, nothing is sent and
    // nothing is left running to wake an idle server.
    void statusesFolded()
    {
        ServiceNotifier unmanaged;
        NotifySocket manager;
        qputenv("NOTIFY_SOCKET", QFile::encodeName(manager.path));
        ServiceNotifier managed;
        for (const QString status : { "1 online", "2 online", "3 online" }) {
            unmanaged.setStatus(status);
            managed.setStatus(status);
        }
        QVERIFY(std::ranges::none_of(unmanaged.findChildren<QTimer*>(), &QTimer::isActive));
        QVERIFY(manager.receives("STATUS=3 online"));
        QCOMPARE(manager.received, (QByteArrayList { "STATUS=1 online", "STATUS=3 online" }));
        QVERIFY(std::ranges::none_of(managed.findChildren<QTimer*>(), &QTimer::isActive));
    }

    // A listening socket handed over as descriptor 3 is served instead of
    // the port the arguments name. A manager that cannot be reached is said
    // once on standard error, as a warning, and the service runs on.
    void servesHandedSocketUnmanaged()
    {
        // Bound but not watched by Qt, so nothing here accepts from it.
        const ReservedPort handed;
        QVERIFY(::listen(int(handed.socket.socketDescriptor()), SOMAXCONN) == 0);
        const QTemporaryDir nowhere;
        ProgramProcess service({ "--headless", "--nickname", "op", "--port", "1" },
            { "NOTIFY_SOCKET=" + nowhere.filePath(QStringLiteral("gone")) },
            int(handed.socket.socketDescriptor()));
        const QByteArray warning = "<4>The service manager cannot be told how the service "
                                   "stands: No such file or directory.\n";
        QVERIFY(service.logs(warning));
        QVERIFY(service.logs("<6>Serving port " + QByteArray::number(handed.port) + " as op.\n"));
        QVERIFY(greeted(handed.port));
        service.process.terminate();
        QVERIFY(service.endsWith(0));
        QVERIFY(service.logs("<6>Stopping on SIGTERM.\n"));
        QCOMPARE(service.log.count(warning), 1);
    }
};

QTEST_MAIN(TestService)
#include "tst_service.moc"
