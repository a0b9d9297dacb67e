#include "engine_rig.h"
#include "rows.h"

#include <QTest>

#include <numeric>
#include <tuple>

namespace {

using Status = std::pair<QString, quint32>;
const Status running { QStringLiteral("Running"), colourGreen };
const Status notRunning { QStringLiteral("Not Running"), colourRed };
using Buttons = std::tuple<bool, bool, bool>;
using Inboxes = QList<QByteArrayList>;

QByteArrayList rosterBroadcast(const QByteArray& event, const QByteArrayList& nicknames)
{
    QByteArrayList messages { "NEWLIST", event };
    for (const QByteArray& name : nicknames)
        messages.append("USER:" + name);
    return messages;
}

} // namespace

class TestRelayEngine : public QObject {
    Q_OBJECT

private slots:
    void start_data()
    {
        QTest::addColumn<QString>("nickname");
        QTest::addColumn<int>("portRow");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("bindError");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("box");
        const QString op = QStringLiteral("op");
        const QString refused = QStringLiteral("No Port Assigned! or No Nickname Assigned");
        QTest::newRow("12 characters") << QStringLiteral("abcdefghijkl") << 39 << QString() << 0 << 40 << QString();
        QTest::newRow("13 characters") << QStringLiteral("abcdefghijklm") << 39 << QString() << 0 << 40 << refused;
        QTest::newRow("blanks only") << QStringLiteral("   ") << 39 << QString() << 0 << 40 << QString();
        QTest::newRow("no nickname") << QString() << 39 << QString() << 0 << 40 << refused;
        const std::pair<const char*, int> typedPorts[] = { { "", 0 }, { "5000", 5000 }, { "65535", 65535 },
            { "65536", 0 }, { "0", 0 }, { "80x", 0 }, { "-80", 0 } };
        for (const auto& [typed, port] : typedPorts)
            QTest::addRow("typed \"%s\"", typed) << op << -1 << QString::fromLatin1(typed) << 0 << port << (port ? QString() : refused);
        const QString notBound = QStringLiteral("Cannot start the server on port %1: Some system error.");
        QTest::newRow("in use") << op << 39 << QString() << EADDRINUSE << 40 << notBound.arg(40);
        QTest::newRow("high port refused") << op << -1 << QStringLiteral("5000") << EACCES << 5000 << notBound.arg(5000);
        QTest::newRow("low port refused") << op << 39 << QString() << EACCES << 40
                                          << notBound.arg(40)
                + QStringLiteral(" Ports below 1024 need administrator rights: install the quenvar-chat-server"
                                 " package, which grants them to the program, or type a port of 1024 or above.");
    }
    void start()
    {
        QFETCH(QString, nickname);
        QFETCH(int, portRow);
        QFETCH(QString, typed);
        QFETCH(int, bindError);
        QFETCH(int, port);
        QFETCH(QString, box);
        EngineRig rig;
        rig.state.cmbPort.setListIndex(portRow);
        rig.console.typedPort = typed;
        rig.console.txtNickname = nickname;
        rig.server.bindError = { bindError, QStringLiteral("Some system error") };
        rig.engine.cmdStart_Click();

        const bool started = box.isEmpty();
        QCOMPARE(rig.console.caption, QStringLiteral("Quenvar Chat Server - ") + nickname);
        QCOMPARE(rig.state.port, port);
        QCOMPARE(rig.console.boxes, started ? QStringList() : QStringList { QStringLiteral("Quenvar Chat|") + box });
        QCOMPARE(rig.server.listening, started);
        QCOMPARE(rig.console.status, started ? running : notRunning);
        QCOMPARE(rig.state.Users.ListCount(), started ? 1 : 0);
        QCOMPARE(rig.console.buttons, started ? Buttons(false, true, false) : Buttons(true, !bindError, true));
    }

    // A stop empties the roster and nothing else; numbering goes on after it.
    void startStopStart()
    {
        EngineRig rig;
        QCOMPARE(rig.state.cmbPort.List(rig.state.cmbPort.ListIndex()), QByteArray("40"));
        rig.startWith({ "bob" });
        QCOMPARE(rows(rig.state.Ip), (QByteArrayList { "198.51.100.7", "192.0.2.1" }));
        QCOMPARE(rows(rig.state.connection), (QByteArrayList { "0", "1" }));
        QCOMPARE(rig.console.online, QStringLiteral("2"));
        rig.engine.cmdStop_Click();
        QVERIFY(!rig.server.listening);
        for (const ListModel* list : { &rig.state.Users, &rig.state.Users2, &rig.state.Ip, &rig.state.connection })
            QCOMPARE(list->ListCount(), 0);
        QCOMPARE(rig.console.online, QStringLiteral("2"));
        QCOMPARE(rig.console.status, notRunning);
        QCOMPARE(rig.console.buttons, Buttons(true, false, true));
        QCOMPARE(rig.state.Messages.ListCount(), 1);
        rig.console.txtNickname = QStringLiteral("op2");
        rig.engine.cmdStart_Click();
        QCOMPARE(rows(rig.state.Users2), QByteArrayList { "op2" });
        QCOMPARE(rig.server.connectClient(), 2);
    }

    // Yields, transcripts and roster rows of a greeting, a probe, joins and a
    // chat line; the bytes on the wire are the loopback test's.
    void greetingJoinAndChat()
    {
        EngineRig rig;
        rig.startWith({});
        QCOMPARE(rig.server.yieldsOf([&] { rig.server.connectClient(); }), 1);
        QCOMPARE(rig.server.yieldsOf([&] { rig.server.receive(1, "SCAN"); }), 0);
        QCOMPARE(rig.state.Log.ListCount() + rig.console.flashes, 0);
        rig.server.connectClient();
        QCOMPARE(rig.server.yieldsOf([&] { rig.server.receive(1, "USER:ann"); }), 2 * (2 + 2));
        QCOMPARE(rows(rig.state.Users2), (QByteArrayList { "op", "ann" }));
        QCOMPARE(std::pair(rig.state.Users.ItemData(1), rig.state.Users2.ItemData(1)), std::pair(1, 1));
        for (const ListModel* transcript : { &rig.state.Messages, &rig.state.Log }) {
            QCOMPARE(rows(*transcript), QByteArrayList { "User Entered The Chat: ann" });
            QCOMPARE(transcript->ListIndex(), 0);
        }
        rig.server.receive(2, "USER");
        QCOMPARE(rows(rig.state.Users).last(), QByteArray());

        rig.server.connectClient();
        rig.server.states[2] = SlotArray::sckClosing;
        rig.server.clearInboxes();
        QCOMPARE(rig.server.yieldsOf([&] { rig.server.receive(1, "scan the room"); }), 2);
        QCOMPARE(rig.server.inboxes.mid(1), (Inboxes { { "scan the room" }, {}, { "scan the room" } }));
        QCOMPARE(rig.console.flashes, 1);
        for (const ListModel* transcript : { &rig.state.Messages, &rig.state.Log }) {
            QCOMPARE(rows(*transcript).last(), QByteArray("scan the room"));
            QCOMPARE(transcript->ListIndex(), transcript->ListCount() - 1);
        }

        rig.state.connectie = 32767; // slot numbers go on past it
        rig.server.receive(rig.server.connectClient(), "USER:late");
        QCOMPARE(rows(rig.state.connection).last(), QByteArray("32768"));
        QCOMPARE(rig.state.Users.ItemData(3), 32768);
    }

    // Only the first row of a slot that joined twice goes; the others are sent
    // the roster with two yields per row; the closed slot is sent nothing.
    void departureOfSlotThatJoinedTwice()
    {
        EngineRig rig;
        rig.startWith({ "ann", "bob" });
        rig.server.receive(1, "USER:ann2");
        rig.server.clearInboxes();
        QCOMPARE(rig.server.yieldsOf([&] { rig.server.closePeer(1); }), 2 + 3 * 2);
        const QByteArrayList left { "op", "bob", "ann2" };
        QCOMPARE(rows(rig.state.Users), left);
        QCOMPARE(rows(rig.state.Users2), left);
        QCOMPARE(rows(rig.state.Ip), (QByteArrayList { "198.51.100.7", "192.0.2.2", "192.0.2.1" }));
        QCOMPARE(rows(rig.state.connection), (QByteArrayList { "0", "2", "1" }));
        QCOMPARE(rig.console.online, QStringLiteral("3"));
        QCOMPARE(rig.server.inboxes.mid(1), (Inboxes { {}, rosterBroadcast("QUIT", left) }));
        QCOMPARE(rig.state.Log.ListCount(), 3);
        rig.engine.cmdStop_Click();
        rig.server.closePeer(2);
        QCOMPARE(rig.console.online, QStringLiteral("0"));
    }

    // A broadcast takes its bound when it starts and looks at each slot and
    // row at its turn: a client that connects meanwhile is not sent it, a slot
    // that closes is passed over, and rows that vanish are not sent (nor read
    // past the roster's end) though their yields still happen.
    void broadcastSeesEachSlotAtItsTurn()
    {
        EngineRig rig;
        rig.startWith({ "ann", "bob", "cy", "dan" });
        rig.server.onYield = [&] {
            if (rig.state.connectie == 4)
                rig.server.connectClient();
            if (rig.server.inboxes.at(2).size() == 3 && rig.server.State(3) == SlotArray::sckConnected) {
                rig.server.states[3] = SlotArray::sckClosing; // its close event is yet to come
                rig.engine.cmdStop_Click(); // empties the roster after "USER:op" to slot 2
            }
        };
        // The greeting: 1; slot 2: 2 + 4 rows x 2; slot 4: 2.
        QCOMPARE(rig.server.yieldsOf([&] { rig.server.closePeer(1); }), 1 + 10 + 2);
        QCOMPARE(rig.server.inboxes.mid(1),
            (Inboxes { {}, { "NEWLIST", "QUIT", "USER:op" }, {}, { "NEWLIST", "QUIT" }, { "NICK" } }));
    }

    // However many connections have come and gone, a join, a chat line, a
    // departure and an operator line cost what they cost with only the open ones.
    void closedSlotsCostNothing()
    {
        const auto traffic = [](int closedSlots) {
            EngineRig rig;
            rig.startWith({});
            for (int i = 0; i < closedSlots; ++i)
                rig.server.closePeer(rig.server.connectClient());
            rig.server.clearInboxes();
            const int yields = rig.server.yieldsOf([&] {
                const int ann = rig.server.connectClient();
                rig.server.receive(ann, "USER:ann");
                rig.server.receive(ann, "hello");
                rig.server.closePeer(ann);
                rig.console.txtMessage = QStringLiteral("hi");
                rig.engine.cmdSend_Click();
            });
            const QList<QByteArrayList>& inboxes = rig.server.inboxes;
            return std::pair(std::accumulate(inboxes.begin(), inboxes.end(), QByteArrayList()), yields);
        };
        QCOMPARE(traffic(10000), traffic(0));
    }

    void longNicknameIsCut()
    {
        const QByteArray kept = QByteArray(63, 'n') + '\xff';
        EngineRig rig;
        rig.startWith({ kept + QByteArray(256 * 1024, 'x') });
        rig.server.receive(1, "USER:bob");
        QCOMPARE(std::pair(rig.state.Users.List(1), rig.state.Users2.List(1)), std::pair(kept, kept));
        QCOMPARE(rig.state.Log.List(0), "User Entered The Chat: " + kept);
        QCOMPARE(rig.server.inboxes.at(1), rosterBroadcast("NEWUSER:bob", { "op", kept, "bob" }));
    }

    // The operator's line goes to every connected slot and into both
    // transcripts, and empties the message box; the log's selection stays.
    void operatorLine()
    {
        EngineRig rig;
        rig.startWith({ "ann" });
        rig.console.txtMessage = QStringLiteral("hi");
        QCOMPARE(rig.server.yieldsOf([&] { rig.engine.cmdSend_Click(); }), 1);
        QCOMPARE(std::pair(rows(rig.state.Messages).last(), rows(rig.state.Log).last()), std::pair(QByteArray("op:  hi"), QByteArray("op:  hi")));
        QCOMPARE(std::pair(rig.state.Messages.ListIndex(), rig.state.Log.ListIndex()), std::pair(1, 0));
        QVERIFY(rig.console.txtMessage.isEmpty());
        QCOMPARE(rig.console.flashes, 0);
        QCOMPARE(rig.server.yieldsOf([&] { rig.engine.cmdSend_Click(); }), 0); // nothing to send
        rig.console.txtNickname.clear();
        rig.console.txtMessage = QStringLiteral(" ");
        rig.engine.cmdSend_Click();
        QCOMPARE(rows(rig.state.Log).mid(1), (QByteArrayList { "op:  hi", ":   " }));
    }

    // Send pressed again while its own loop yields runs in full; the first run
    // then finds the message box empty and sends the bare prefix to the rest.
    void sendPressedAgainWhileYielding()
    {
        EngineRig rig;
        rig.startWith({ "a", "b" });
        rig.console.txtMessage = QStringLiteral("hi");
        bool pressed = false;
        rig.server.onYield = [&] {
            if (!std::exchange(pressed, true))
                rig.engine.cmdSend_Click();
        };
        rig.engine.cmdSend_Click();
        QCOMPARE(rig.server.inboxes.mid(1), (Inboxes { { "op:  hi", "op:  hi" }, { "op:  hi", "op:  " } }));
        QCOMPARE(rows(rig.state.Log).mid(2), (QByteArrayList { "op:  hi", "op:  hi" }));
    }
};

QTEST_GUILESS_MAIN(TestRelayEngine)
#include "tst_relay_engine.moc"
