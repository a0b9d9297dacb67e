#include "fake_console.h"
#include "fake_slot_array.h"
#include "relay_engine.h"
#include "server_state.h"

#include <QTest>

#include <utility>

namespace {

struct Rig {
    ServerState state;
    FakeSlotArray server;
    FakeConsole console;
    RelayEngine engine { state, server, console };

    Rig() { engine.Form_Load(); }

    void start(const QString& nickname = QStringLiteral("op"))
    {
        console.txtNickname = nickname;
        engine.cmdStart_Click();
    }
    QByteArrayList roster(const ListModel& list) const
    {
        QByteArrayList rows;
        for (int i = 0; i < list.ListCount(); ++i)
            rows.append(list.List(i));
        return rows;
    }
    // Connects and joins a client; returns its slot with its inbox emptied.
    int join(const QByteArray& nickname)
    {
        const int index = server.connectClient();
        server.receive(index, "USER:" + nickname);
        return index;
    }
    void clearInboxes()
    {
        for (auto& endpoint : server.endpoints)
            endpoint.sent.clear();
    }
    // Started as "op" with these clients joined on slots 1, 2, ..., and
    // nothing sent yet.
    void startWith(const QByteArrayList& nicknames)
    {
        start();
        for (const QByteArray& name : nicknames)
            join(name);
        clearInboxes();
    }
};

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
    void startUpValues();
    void startValidation_data();
    void startValidation();
    void startStopStart();
    void portTakenFails_data();
    void portTakenFails();
    void typedPort_data();
    void typedPort();

    void greetingAndProbe();
    void joinSendsRosterToEverySlot();
    void joinRecordsTheArrivingSlot();
    void chatRelayedToConnectedSlotsOnly();
    void departureRebroadcastsRoster();
    void departureOfSlotThatJoinedTwice();
    void joinDuringBroadcastIsNotSeenByIt();
    void broadcastWhoseRosterShrinks();
    void slotClosingDuringBroadcastIsSkippedAtItsTurn();
    void closedSlotsCostNothing();
    void longNicknameIsCut_data();
    void longNicknameIsCut();
    void operatorLine();
    void sendPressedAgainWhileYielding();
};

void TestRelayEngine::startUpValues()
{
    Rig rig;
    QCOMPARE(rig.state.cmbPort.ListCount(), 100);
    QCOMPARE(rig.state.cmbPort.List(0), QByteArray("1"));
    QCOMPARE(rig.state.cmbPort.List(99), QByteArray("100"));
    QCOMPARE(rig.state.cmbPort.List(rig.state.cmbPort.ListIndex()), QStringLiteral("40"));
    QCOMPARE(rig.console.status, QStringLiteral("Not Running"));
    QCOMPARE(rig.console.statusColour, colourRed);
    QCOMPARE(rig.state.connectie, 0);
    QCOMPARE(rig.state.Users.ListCount(), 0);
    QVERIFY(rig.console.online.isEmpty());
    QVERIFY(rig.console.startEnabled && rig.console.stopEnabled);
    QVERIFY(!rig.server.listening);
}

void TestRelayEngine::startValidation_data()
{
    QTest::addColumn<QString>("nickname");
    QTest::addColumn<int>("portRow");
    QTest::addColumn<bool>("starts");
    QTest::newRow("12 characters") << QStringLiteral("abcdefghijkl") << 39 << true;
    QTest::newRow("13 characters") << QStringLiteral("abcdefghijklm") << 39 << false;
    QTest::newRow("blanks only") << QStringLiteral("   ") << 39 << true;
    QTest::newRow("empty") << QString() << 39 << false;
    QTest::newRow("no port") << QStringLiteral("op") << -1 << false;
}

void TestRelayEngine::startValidation()
{
    QFETCH(QString, nickname);
    QFETCH(int, portRow);
    QFETCH(bool, starts);
    Rig rig;
    rig.state.cmbPort.setListIndex(portRow);
    rig.start(nickname);

    QCOMPARE(rig.console.caption, QStringLiteral("Quenvar Chat Server - ") + nickname);
    QCOMPARE(rig.server.listening, starts);
    QCOMPARE(rig.state.Users.ListCount(), starts ? 1 : 0);
    QCOMPARE(rig.state.port, portRow < 0 ? 0 : portRow + 1);
    if (starts) {
        QVERIFY(rig.console.boxes.isEmpty());
        QCOMPARE(rig.server.boundPort, quint16(portRow + 1));
        QCOMPARE(rig.console.status, QStringLiteral("Running"));
        QCOMPARE(rig.console.statusColour, colourGreen);
        QVERIFY(!rig.console.startEnabled && rig.console.stopEnabled && !rig.console.portEnabled);
    } else {
        QCOMPARE(rig.console.boxes.size(), 1);
        QCOMPARE(rig.console.boxes[0].text, QStringLiteral("No Port Assigned! or No Nickname Assigned"));
        QCOMPARE(rig.console.boxes[0].title, QStringLiteral("Quenvar Chat"));
        QCOMPARE(rig.console.boxes[0].icon, Console::Icon::Critical);
        QCOMPARE(rig.console.status, QStringLiteral("Not Running"));
        QVERIFY(rig.console.startEnabled && rig.console.stopEnabled && rig.console.portEnabled);
    }
}

void TestRelayEngine::startStopStart()
{
    Rig rig;
    rig.start(QStringLiteral("op"));
    QCOMPARE(rig.roster(rig.state.Users), QByteArrayList { "op" });
    QCOMPARE(rig.roster(rig.state.Users2), QByteArrayList { "op" });
    QCOMPARE(rig.roster(rig.state.Ip), QByteArrayList { "198.51.100.7" });
    QCOMPARE(rig.roster(rig.state.connection), QByteArrayList { "0" });
    QCOMPARE(rig.state.Users.ItemData(0), 0);
    QCOMPARE(rig.console.online, QStringLiteral("1"));
    rig.join("bob");
    QCOMPARE(rig.console.online, QStringLiteral("2"));

    rig.engine.cmdStop_Click();
    QVERIFY(!rig.server.listening);
    for (const ListModel* list : { &rig.state.Users, &rig.state.Users2, &rig.state.Ip, &rig.state.connection })
        QCOMPARE(list->ListCount(), 0);
    QCOMPARE(rig.console.online, QStringLiteral("2")); // a stop leaves the count as it was
    QCOMPARE(rig.console.status, QStringLiteral("Not Running"));
    QVERIFY(rig.console.startEnabled && !rig.console.stopEnabled && rig.console.portEnabled);
    QCOMPARE(rig.state.Messages.ListCount(), 1);

    rig.start(QStringLiteral("op2"));
    QCOMPARE(rig.roster(rig.state.Users), QByteArrayList { "op2" });
    QCOMPARE(rig.state.connectie, 1);
    QCOMPARE(rig.server.connectClient(), 2);
}

void TestRelayEngine::portTakenFails_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("namesAdministrator");
    QTest::newRow("in use") << int(EADDRINUSE) << false;
    QTest::newRow("privileged") << int(EACCES) << true;
}

void TestRelayEngine::portTakenFails()
{
    QFETCH(int, code);
    QFETCH(bool, namesAdministrator);
    Rig rig;
    rig.server.bindError = { code, QStringLiteral("Some system error") };
    rig.start();

    QCOMPARE(rig.console.boxes.size(), 1);
    const QString text = rig.console.boxes[0].text;
    QVERIFY2(text.contains(QStringLiteral("port 40")) && text.contains(QStringLiteral("Some system error")), qPrintable(text));
    QCOMPARE(text.contains(QStringLiteral("administrator")), namesAdministrator);
    QCOMPARE(text.contains(QStringLiteral("install the quenvar-chat-server package")), namesAdministrator);
    QCOMPARE(text.contains(QStringLiteral("type a port of 1024 or above")), namesAdministrator);
    QCOMPARE(rig.console.boxes[0].icon, Console::Icon::Critical);
    QVERIFY(rig.console.startEnabled && !rig.console.stopEnabled && rig.console.portEnabled);
    QCOMPARE(rig.console.status, QStringLiteral("Not Running"));
    QCOMPARE(rig.state.Users.ListCount(), 0);

    rig.server.bindError = {};
    rig.start();
    QVERIFY(rig.server.listening);
}

void TestRelayEngine::typedPort_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("port");
    QTest::newRow("high port") << QStringLiteral("5000") << 5000;
    QTest::newRow("highest") << QStringLiteral("65535") << 65535;
    QTest::newRow("too high") << QStringLiteral("65536") << 0;
    QTest::newRow("zero") << QStringLiteral("0") << 0;
    QTest::newRow("not a number") << QStringLiteral("abc") << 0;
    QTest::newRow("trailing text") << QStringLiteral("80x") << 0;
    QTest::newRow("signed") << QStringLiteral("-80") << 0;
    QTest::newRow("empty") << QString() << 0;
}

void TestRelayEngine::typedPort()
{
    QFETCH(QString, typed);
    QFETCH(int, port);
    Rig rig;
    rig.state.cmbPort.setListIndex(-1); // typing into the box leaves no row selected
    rig.console.typedPort = typed;
    rig.start();
    QCOMPARE(rig.state.port, port);
    QCOMPARE(rig.server.listening, port != 0);
}

void TestRelayEngine::greetingAndProbe()
{
    Rig rig;
    rig.start();
    const int slot = rig.server.connectClient();
    QCOMPARE(slot, 1);
    QCOMPARE(rig.state.connectie, 1);
    QCOMPARE(rig.server.sentTo(1), QByteArrayList { "NICK" });
    QCOMPARE(rig.server.yields, 1);

    rig.server.receive(1, "SCANNER");
    QCOMPARE(rig.server.sentTo(1), (QByteArrayList { "NICK", "OK" }));
    QCOMPARE(rig.server.yields, 1); // no yield after "OK"
    QCOMPARE(rig.state.Users.ListCount(), 1);
    QCOMPARE(rig.state.Log.ListCount(), 0);
    QCOMPARE(rig.console.flashes, 0);

    // Slot numbers go on past 32,767.
    rig.state.connectie = 32767;
    QCOMPARE(rig.server.connectClient(), 32768);
    rig.server.receive(32768, "USER:late");
    QCOMPARE(rig.state.connection.List(1), QByteArray("32768"));
    QCOMPARE(rig.state.Users.ItemData(1), 32768);
}

void TestRelayEngine::joinSendsRosterToEverySlot()
{
    Rig rig;
    rig.start(QStringLiteral("op"));
    rig.join("ann");
    rig.server.connectClient(); // never answers: still sent every broadcast
    rig.clearInboxes();
    const int yieldsBefore = rig.server.yields;

    rig.server.receive(1, "USERxbob");
    const QByteArrayList expected = rosterBroadcast("NEWUSER:bob", { "op", "ann", "bob" });
    QCOMPARE(rig.server.sentTo(1), expected);
    QCOMPARE(rig.server.sentTo(2), expected);
    QCOMPARE(rig.server.yields - yieldsBefore, 2 * 5);
    QCOMPARE(rig.roster(rig.state.Users), (QByteArrayList { "op", "ann", "bob" }));
    QCOMPARE(rig.roster(rig.state.Users2), (QByteArrayList { "op", "ann", "bob" }));
    for (ListModel* transcript : { &rig.state.Messages, &rig.state.Log }) {
        QCOMPARE(rig.roster(*transcript),
            (QByteArrayList { "User Entered The Chat: ann", "User Entered The Chat: bob" }));
        QCOMPARE(transcript->ListIndex(), 1);
    }
    QCOMPARE(rig.console.online, QStringLiteral("3"));
    QCOMPARE(rig.console.flashes, 0);

    rig.server.receive(2, "USER");
    QCOMPARE(rig.state.Users.List(3), QString());
}

// The address and connection number are those of the slot the join came on,
// even when other clients connected since.
void TestRelayEngine::joinRecordsTheArrivingSlot()
{
    Rig rig;
    rig.start();
    rig.server.connectClient();
    rig.server.connectClient();
    rig.server.connectClient();
    rig.server.receive(2, "USER:bob");
    QCOMPARE(rig.state.Ip.List(1), QByteArray("192.0.2.2"));
    QCOMPARE(rig.state.connection.List(1), QByteArray("2"));
    QCOMPARE(rig.state.Users.ItemData(1), 2);
    QCOMPARE(rig.state.Users2.ItemData(1), 2);
}

void TestRelayEngine::chatRelayedToConnectedSlotsOnly()
{
    Rig rig;
    rig.start();
    rig.join("ann");
    rig.join("bob");
    rig.join("cy");
    rig.server.endpoints[2].state = SlotArray::sckClosing;
    rig.clearInboxes();
    const int yieldsBefore = rig.server.yields;

    rig.server.receive(1, "ann: scan the room");
    QCOMPARE(rig.server.sentTo(1), QByteArrayList { "ann: scan the room" });
    QCOMPARE(rig.server.sentTo(2), QByteArrayList {});
    QCOMPARE(rig.server.sentTo(3), QByteArrayList { "ann: scan the room" });
    QCOMPARE(rig.server.yields - yieldsBefore, 2);
    QCOMPARE(rig.console.flashes, 1);
    QCOMPARE(rig.state.Log.List(rig.state.Log.ListCount() - 1), QStringLiteral("ann: scan the room"));
    QCOMPARE(rig.state.Messages.ListIndex(), rig.state.Messages.ListCount() - 1);

    rig.server.receive(1, "scan"); // lower case is chat
    QCOMPARE(rig.console.flashes, 2);
}

void TestRelayEngine::departureRebroadcastsRoster()
{
    Rig rig;
    rig.start(QStringLiteral("op"));
    rig.join("ann");
    rig.join("bob");
    rig.clearInboxes();
    const int yieldsBefore = rig.server.yields;

    rig.server.closePeer(1);
    QCOMPARE(rig.roster(rig.state.Users), (QByteArrayList { "op", "bob" }));
    QCOMPARE(rig.roster(rig.state.Ip), (QByteArrayList { "198.51.100.7", "192.0.2.2" }));
    QCOMPARE(rig.roster(rig.state.connection), (QByteArrayList { "0", "2" }));
    QCOMPARE(rig.console.online, QStringLiteral("2"));
    QCOMPARE(rig.server.sentTo(1), QByteArrayList {}); // its sends fail and are skipped
    QCOMPARE(rig.server.sentTo(2), rosterBroadcast("QUIT", { "op", "bob" }));
    QCOMPARE(rig.server.yields - yieldsBefore, 2 + 2 * 2); // slot 2 only
    QCOMPARE(rig.state.Log.ListCount(), 2);

    rig.engine.cmdStop_Click();
    rig.server.closePeer(2);
    QCOMPARE(rig.console.online, QStringLiteral("0"));
}

void TestRelayEngine::departureOfSlotThatJoinedTwice()
{
    Rig rig;
    rig.start(QStringLiteral("op"));
    const int slot = rig.join("ann");
    rig.join("bob");
    rig.server.receive(slot, "USER:ann2");
    rig.server.closePeer(slot);
    QCOMPARE(rig.roster(rig.state.Users), (QByteArrayList { "op", "bob", "ann2" }));
    QCOMPARE(rig.roster(rig.state.Users2), (QByteArrayList { "op", "bob", "ann2" }));
    QCOMPARE(rig.roster(rig.state.connection), (QByteArrayList { "0", "2", "1" }));
}

void TestRelayEngine::joinDuringBroadcastIsNotSeenByIt()
{
    Rig rig;
    rig.start(QStringLiteral("op"));
    rig.join("ann");
    rig.clearInboxes();
    bool admitted = false;
    int late = 0;
    rig.server.onYield = [&](int) {
        if (!std::exchange(admitted, true))
            late = rig.server.connectClient();
    };
    rig.server.receive(1, "USER:bob");
    QCOMPARE(late, 2);
    QCOMPARE(rig.server.sentTo(late), QByteArrayList { "NICK" });
    QCOMPARE(rig.server.sentTo(1), rosterBroadcast("NEWUSER:bob", { "op", "ann", "bob" }));
}

// Rows that disappear while the broadcast yields are not sent, and nothing
// past the end of the roster is read.
void TestRelayEngine::broadcastWhoseRosterShrinks()
{
    Rig rig;
    rig.startWith({ "ann", "bob", "cy" });
    rig.server.onYield = [&](int) {
        if (rig.server.sentTo(2).size() == 3 && rig.state.Users.ListCount() > 0)
            rig.engine.cmdStop_Click(); // after "USER:op" to slot 2
    };
    const int yieldsBefore = rig.server.yields;
    rig.server.closePeer(1);
    QCOMPARE(rig.server.sentTo(2), (QByteArrayList { "NEWLIST", "QUIT", "USER:op" }));
    QCOMPARE(rig.server.sentTo(3), (QByteArrayList { "NEWLIST", "QUIT" }));
    // Slot 1 is closed and skipped; slot 2: 2 + 3 rows x 2, its vanished rows
    // yielding too; slot 3: 2.
    QCOMPARE(rig.server.yields - yieldsBefore, 8 + 2);
}

void TestRelayEngine::slotClosingDuringBroadcastIsSkippedAtItsTurn()
{
    Rig rig;
    rig.startWith({ "ann", "bob", "cy" });
    rig.server.onYield = [&](int) {
        if (rig.server.sentTo(1).size() == 1 && rig.server.State(2) == SlotArray::sckConnected)
            rig.server.endpoints[2].state = SlotArray::sckClosing; // its close event is yet to come
    };
    const int yieldsBefore = rig.server.yields;
    rig.engine.cmdSend_Click();
    rig.console.txtMessage = QStringLiteral("hi");
    rig.engine.cmdSend_Click();
    QCOMPARE(rig.server.sentTo(1), QByteArrayList { "op:  hi" });
    QCOMPARE(rig.server.sentTo(2), QByteArrayList {});
    QCOMPARE(rig.server.sentTo(3), QByteArrayList { "op:  hi" });
    QCOMPARE(rig.server.yields - yieldsBefore, 2);
}

// However many connections have come and gone, a join, a departure and an
// operator line cost what they cost with only the open ones.
void TestRelayEngine::closedSlotsCostNothing()
{
    const auto traffic = [](int closedSlots) {
        Rig rig;
        rig.start(QStringLiteral("op"));
        for (int i = 0; i < closedSlots; ++i)
            rig.server.closePeer(rig.server.connectClient());
        rig.clearInboxes();
        const int yieldsBefore = rig.server.yields;
        const int ann = rig.join("ann");
        rig.join("bob");
        rig.server.closePeer(ann);
        rig.console.txtMessage = QStringLiteral("hi");
        rig.engine.cmdSend_Click();
        int sends = 0;
        for (auto& endpoint : rig.server.endpoints)
            sends += int(endpoint.sent.size());
        return std::pair(sends, rig.server.yields - yieldsBefore);
    };
    QCOMPARE(traffic(10000), traffic(0));
}

void TestRelayEngine::longNicknameIsCut_data()
{
    QTest::addColumn<QByteArray>("nickname");
    QTest::addColumn<QByteArray>("kept");
    const QByteArray sixtyFour = QByteArray(63, 'n') + '\xe9';
    QTest::newRow("256 KiB") << sixtyFour + QByteArray(256 * 1024, 'x') << sixtyFour;
    QTest::newRow("exactly 64") << sixtyFour << sixtyFour;
    QTest::newRow("short, high bytes") << QByteArray("caf\xe9\xff") << QByteArray("caf\xe9\xff");
}

void TestRelayEngine::longNicknameIsCut()
{
    QFETCH(QByteArray, nickname);
    QFETCH(QByteArray, kept);
    Rig rig;
    rig.start(QStringLiteral("op"));
    const int slot = rig.join(nickname);
    QCOMPARE(rig.state.Users.List(1), kept);
    QCOMPARE(rig.state.Users2.List(1), kept);
    QCOMPARE(rig.state.Log.List(0), "User Entered The Chat: " + kept);
    QCOMPARE(rig.server.sentTo(slot).mid(1), rosterBroadcast("NEWUSER:" + kept, { "op", kept }));
}

void TestRelayEngine::operatorLine()
{
    Rig rig;
    rig.start(QStringLiteral("op"));
    rig.join("ann");
    rig.server.connectClient();
    rig.server.endpoints[1].state = SlotArray::sckClosing; // sent to all the same; the send fails
    rig.clearInboxes();

    rig.console.txtMessage = QStringLiteral("hi");
    rig.engine.cmdSend_Click();
    QCOMPARE(rig.server.sentTo(2), QByteArrayList { "op:  hi" });
    QCOMPARE(rig.state.Messages.List(1), QByteArray("op:  hi"));
    QCOMPARE(rig.state.Log.List(1), QByteArray("op:  hi"));
    QCOMPARE(rig.state.Messages.ListIndex(), 1);
    QCOMPARE(rig.state.Log.ListIndex(), 0); // the log's selection is not moved
    QVERIFY(rig.console.txtMessage.isEmpty());
    QCOMPARE(rig.console.flashes, 0);

    const int yieldsBefore = rig.server.yields;
    rig.engine.cmdSend_Click(); // nothing to send
    QCOMPARE(rig.server.yields, yieldsBefore);
    QCOMPARE(rig.state.Log.ListCount(), 2);

    rig.console.txtNickname.clear();
    rig.console.txtMessage = QStringLiteral(" ");
    rig.engine.cmdSend_Click();
    QCOMPARE(rig.state.Log.List(2), QByteArray(":   "));
}

// Send pressed again while its own loop yields runs in full; the first run
// then finds the message box empty and sends the bare prefix to the rest.
void TestRelayEngine::sendPressedAgainWhileYielding()
{
    Rig rig;
    rig.startWith({ "a", "b", "c" });
    rig.console.txtMessage = QStringLiteral("hi");
    bool pressed = false;
    rig.server.onYield = [&](int) {
        if (!std::exchange(pressed, true))
            rig.engine.cmdSend_Click();
    };
    rig.engine.cmdSend_Click();
    QCOMPARE(rig.server.sentTo(1), (QByteArrayList { "op:  hi", "op:  hi" }));
    QCOMPARE(rig.server.sentTo(2), (QByteArrayList { "op:  hi", "op:  " }));
    QCOMPARE(rig.server.sentTo(3), (QByteArrayList { "op:  hi", "op:  " }));
    QCOMPARE(rig.roster(rig.state.Log).mid(3), (QByteArrayList { "op:  hi", "op:  hi" }));
}

QTEST_GUILESS_MAIN(TestRelayEngine)
#include "tst_relay_engine.moc"
