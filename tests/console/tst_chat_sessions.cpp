#include "resource_limit.h"
#include "server_window.h"

using namespace std::chrono_literals;

// Whole chats through the real window, with clients on loopback addresses of
// their own.
class TestChatSessions : public QObject {
    Q_OBJECT

private slots:
    // Clients as they come: a crowd out of descriptors, joins, a chat line of
    // every kind of byte, the operator's line, departures, a reset during a
    // broadcast, a stop, a start, lines crossing in the relay, the last slot
    // number and Quit.
    void chatSession()
    {
        ServerWindow w;
        w.start();
        w.server.setYieldIntervals(0us, 0us);
        // Out of descriptors, new connections are dropped at once while the
        // clients already in keep chatting; once a descriptor is free, accepting
        // resumes. When all have gone, every descriptor is back, and the slot array
        // holds no entry and, once their budgets are full again, no address.
        QVERIFY(w.connect()); // Qt makes what its clients share with the first
        QTRY_COMPARE_WITH_TIMEOUT(w.server.openConnections(), 0, timeoutMs);
        const int descriptors = openDescriptors();
        Client chatter = w.connect();
        QVERIFY(chatter);
        // Connected into the listen backlog now; the server accepts them below.
        std::vector<Client> waiting(12);
        std::ranges::generate(waiting, [&] { return connectClient(w.port); });
        withLimit(RLIMIT_NOFILE, openDescriptors() + 3, [&] {
            const auto greeted = [](const Client& client) { return client->bytesAvailable() == 4; };
            const auto settled = [&](const Client& client) {
                return greeted(client) || client->state() == QAbstractSocket::UnconnectedState;
            };
            QTRY_VERIFY_WITH_TIMEOUT(std::ranges::all_of(waiting, settled), timeoutMs);
            const auto refused = std::ranges::partition(waiting, greeted);
            QVERIFY(refused.begin() != waiting.begin() && !refused.empty());
            QVERIFY(w.stillServed(*chatter, "still chatting"));

            const int open = w.server.openConnections();
            waiting.front()->disconnectFromHost();
            QTRY_COMPARE_WITH_TIMEOUT(w.server.openConnections(), open - 1, timeoutMs);
            waiting.back() = w.connect();
            QVERIFY(waiting.back());
        });
        chatter.reset();
        waiting.clear();
        QTRY_COMPARE_WITH_TIMEOUT(w.server.openConnections(), 0, timeoutMs);
        QCOMPARE(openDescriptors(), descriptors);
        QTRY_COMPARE_WITH_TIMEOUT(w.server.knownAddresses(), 0, timeoutMs);

        std::vector<Client> room = w.join({ { "127.0.0.1", "ann" }, { "127.0.0.1", "bob" } });
        QVERIFY(room.size() == 2);
        Client &ann = room[0], &bob = room[1];
        const QByteArray line("scan \x00\x01 caf\xe9 \x80\xff", 13);
        ann->write(line);
        QVERIFY(receives(*ann, line) && receives(*bob, line));
        QCOMPARE(rows(w.state.Log),
            (QByteArrayList { "still chatting", "User Entered The Chat: ann",
                "User Entered The Chat: bob", line }));
        w.control<QLineEdit>("txtMessage")->setText(QStringLiteral("caf\xe9"));
        w.button("cmdSend")->click();
        QVERIFY(receives(*ann, "op:  caf\xe9") && receives(*bob, "op:  caf\xe9"));
        // The chat follows the operator's line; the log's selection stays where it was.
        QCOMPARE(std::pair(w.state.Messages.ListIndex(), w.state.Log.ListIndex()), std::pair(4, 3));
        bob->disconnectFromHost();
        QVERIFY(receives(*ann, rosterBroadcast("QUIT", { "op", "ann" }).join()));

        // Ann resets as the server logs a join, before it sends the roster: the
        // roster still goes to the others, and her departure follows it.
        connect(
            &w.state.Log, &ListModel::rowsInserted, ann.get(), [&] { reset(*ann); },
            Qt::SingleShotConnection);
        w.state.connectie = 32767; // slot numbers go on past it
        Client cy = w.connect();
        QVERIFY(cy);
        cy->write("USER");
        const QByteArrayList joinedThenLeft = rosterBroadcast("NEWUSER:", { "op", "ann", "" })
            + rosterBroadcast("QUIT", { "op", "" });
        QVERIFY(receives(*cy, joinedThenLeft.join()));
        QCOMPARE(roster(w.state).mid(1), QByteArrayList { " 127.0.0.1 32768" });

        // A stop empties the roster, refuses newcomers and keeps the clients and
        // the count online; a start goes on numbering; Quit ends it all.
        w.button("cmdStop")->click();
        QCOMPARE(
            w.control<QLabel>("lblStatus")->palette().color(QPalette::WindowText), QColor(Qt::red));
        QVERIFY(w.button("cmdStart")->isEnabled() && !w.button("cmdStop")->isEnabled());
        QCOMPARE(w.control<QLabel>("lblOnline")->text(), QStringLiteral("2"));
        Client refused = connectClient(w.port);
        QTRY_COMPARE_WITH_TIMEOUT(
            refused->error(), QAbstractSocket::ConnectionRefusedError, timeoutMs);
        QVERIFY(w.stillServed(*cy, "still here"));
        w.start(QStringLiteral("op2"));
        QCOMPARE(rows(w.state.Users), QByteArrayList { "op2" });
        QCOMPARE(w.state.connectie, 32768);

        // Lines that arrive while another line is relayed wait their turn: every
        // client receives every line, each sender's in the order sent, and all
        // clients receive them in one order. Each client answers every line it
        // receives with its next one, so lines arrive in the yields of relays.
        constexpr int linesEach = 30;
        constexpr qsizetype lineSize = 4;
        const auto numbered = [](qsizetype sender, int n) {
            return QByteArray(1, char('a' + sender)) + QByteArray::number(100 + n);
        };
        std::vector<Client> clients
            = w.join({ { "127.0.0.2", "a" }, { "127.0.0.3", "b" }, { "127.0.0.4", "c" } });
        QVERIFY(clients.size() == 3);
        QByteArrayList received(3);
        for (qsizetype i = 0; i < 3; ++i) {
            QTcpSocket* client = clients[std::size_t(i)].get();
            connect(client, &QTcpSocket::readyRead, client, [&, client, i, n = 1]() mutable {
                received[i] += client->readAll();
                if (n < linesEach)
                    client->write(numbered(i, n++));
            });
            client->write(numbered(i, 0));
        }
        const qsizetype total = lineSize * linesEach * 3;
        QTRY_COMPARE_WITH_TIMEOUT(received.join().size(), 3 * total, timeoutMs);
        QCOMPARE(received, QByteArrayList(3, received.at(0)));
        std::vector<int> next(3);
        for (qsizetype at = 0; at < total; at += lineSize) {
            const auto sender = std::size_t(received.at(0).at(at) - 'a');
            QVERIFY(sender < next.size());
            QCOMPARE(received.at(0).mid(at, lineSize), numbered(qsizetype(sender), next[sender]++));
        }

        // Past the last slot number, newcomers are turned away unanswered and
        // those connected are served on.
        w.state.connectie = std::numeric_limits<int>::max() - 1;
        Client last = w.connect(), turnedAway = connectClient(w.port);
        QVERIFY(last && closedUnanswered(*turnedAway) && w.stillServed(*last, "to the last slot"));
        bool ended = false;
        w.frmMain.setEndProgram([&] { ended = w.server.State(0) == SlotArray::sckClosed; });
        w.frmMain.findChild<QAction*>(QStringLiteral("mnuAfsluiten"))->trigger();
        QVERIFY(ended);
    }
};

QTEST_MAIN(TestChatSessions)
#include "tst_chat_sessions.moc"
