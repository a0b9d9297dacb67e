#include "fake_console.h"
#include "fake_slot_array.h"
#include "relay_engine.h"
#include "rows.h"

#include <QTest>

#include <functional>
#include <numeric>
#include <tuple>

namespace {

// The engine on the two fakes, loaded as the window loads it.
struct EngineRig {
    ServerState state;
    FakeSlotArray server;
    FakeConsole console;
    RelayEngine engine { state, server, console };

    EngineRig() { engine.Form_Load(); }
    // Started as "op", with these clients joined on slots 1, 2, ... and nothing sent yet.
    void startWith(const QByteArrayList& nicknames)
    {
        console.txtNickname = QStringLiteral("op");
        engine.cmdStart_Click();
        for (const QByteArray& name : nicknames)
            server.receive(server.connectClient(), "USER:" + name);
        server.clearInboxes();
    }
};

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
        QTest::addColumn<QString>("typed"); // null: the row "40" is selected
        QTest::addColumn<int>("bindError");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("box");
        const auto row = [](const char* name, const char* nickname, const char* typed,
                             int bindError, int port, const QString& box) {
            QTest::newRow(name) << QString::fromLatin1(nickname) << QString::fromLatin1(typed)
                                << bindError << port << box;
        };
        const QString refused = QStringLiteral("No Port Assigned! or No Nickname Assigned");
        const QString notBound
            = QStringLiteral("Cannot start the server on port %1: Some system error.");
        row("12 characters", "abcdefghijkl", nullptr, 0, 40, {});
        row("13 characters", "abcdefghijklm", nullptr, 0, 40, refused);
        row("blanks only", "   ", nullptr, 0, 40, {});
        row("no nickname", "", nullptr, 0, 40, refused);
        row("typed nothing", "op", "", 0, 0, refused);
        row("typed 5000", "op", "5000", 0, 5000, {});
        row("typed 65535", "op", "65535", 0, 65535, {});
        row("typed 65536", "op", "65536", 0, 0, refused);
        row("typed -80", "op", "-80", 0, 0, refused);
        row("in use", "op", nullptr, EADDRINUSE, 40, notBound.arg(40));
        row("high port refused", "op", "5000", EACCES, 5000, notBound.arg(5000));
        row("low port refused", "op", nullptr, EACCES, 40,
            notBound.arg(40)
                + QStringLiteral(" Ports below 1024 need administrator rights: install the"
                                 " quenvar-chat-server package, which grants them to the program,"
                                 " or type a port of 1024 or above."));
    }
    void start()
    {
        QFETCH(QString, nickname);
        QFETCH(QString, typed);
        QFETCH(int, bindError);
        QFETCH(int, port);
        QFETCH(QString, box);
        EngineRig rig;
        if (!typed.isNull())
            rig.state.cmbPort.setListIndex(-1);
        rig.console.typedPort = typed;
        rig.console.txtNickname = nickname;
        rig.server.bindError = { bindError, QStringLiteral("Some system error") };
        rig.engine.cmdStart_Click();
        const bool started = box.isEmpty();
        QCOMPARE(rig.console.caption, QStringLiteral("Quenvar Chat Server - ") + nickname);
        QCOMPARE(rig.state.port, port);
        QCOMPARE(
            rig.console.boxes, started ? QStringList() : QStringList { "Quenvar Chat|" + box });
        QCOMPARE(rig.server.listening, started);
        QCOMPARE(rig.console.status.first, QLatin1String(started ? "Running" : "Not Running"));
        QCOMPARE(rig.console.status.second, started ? colourGreen : colourRed);
        const QByteArrayList operatorRow { nickname.toLatin1() + " 198.51.100.7 0" };
        QCOMPARE(roster(rig.state), started ? operatorRow : QByteArrayList());
        QCOMPARE(rig.console.buttons,
            started ? Buttons(false, true, false) : Buttons(true, !bindError, true));
    }

    // Every message of a greeting or a broadcast is followed by a yield; a
    // chat line flashes the window. A slot is one user: joining again renames
    // its row, in place, and its departure leaves none; a connection that
    // never joined leaves without a word.
    void session()
    {
        EngineRig rig;
        rig.startWith({ "ann" });
        rig.server.connectClient(); // never answers, and is sent every broadcast all the same
        rig.console.txtMessage = QStringLiteral("hi");
        const std::pair<const char*, std::function<void()>> steps[] = {
            { "greeting", [&] { rig.server.connectClient(); } },
            { "join", [&] { rig.server.receive(3, "USER:bob"); } },
            { "chat line", [&] { rig.server.receive(1, "scan the room"); } },
            { "operator line", [&] { rig.engine.cmdSend_Click(); } },
            { "nothing to send", [&] { rig.engine.cmdSend_Click(); } },
            { "second join", [&] { rig.server.receive(1, "USER:ann2"); } },
        };
        for (const auto& [what, step] : steps) {
            const qsizetype sent = rig.server.sent();
            QVERIFY2(rig.server.yieldsOf(step) == rig.server.sent() - sent, what);
        }
        rig.server.receive(1, "SCANNER");
        QCOMPARE(rig.server.inboxes.at(1).last(), "OK");
        QCOMPARE(rig.console.flashes, 1);
        QCOMPARE(rig.server.inboxes.at(2).mid(rig.server.inboxes.at(2).size() - 5),
            rosterBroadcast("NEWUSER:ann2", { "op", "ann2", "bob" }));
        QCOMPARE(rows(rig.state.Log).last(), "User Entered The Chat: ann2");
        QCOMPARE(roster(rig.state),
            (QByteArrayList { "op 198.51.100.7 0", "ann2 192.0.2.1 1", "bob 192.0.2.3 3" }));

        rig.server.clearInboxes();
        QCOMPARE(rig.server.yieldsOf([&] { rig.server.closePeer(2); }), 0);
        QCOMPARE(rig.server.inboxes, Inboxes(4));
        rig.server.closePeer(1);
        QCOMPARE(roster(rig.state), (QByteArrayList { "op 198.51.100.7 0", "bob 192.0.2.3 3" }));
        QCOMPARE(rig.console.online, QStringLiteral("2"));
        QCOMPARE(rig.server.inboxes.mid(1),
            (Inboxes { {}, {}, rosterBroadcast("QUIT", { "op", "bob" }) }));
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
            if (rig.server.inboxes.at(2).size() == 3 && rig.state.Users.ListCount() > 0) {
                rig.server.states[3] = SlotArray::sckClosing; // its close event is yet to come
                rig.engine.cmdStop_Click(); // empties the roster after "USER:op" to slot 2
            }
        };
        rig.server.closePeer(1);
        QCOMPARE(rig.server.inboxes.mid(1),
            (Inboxes {
                {}, { "NEWLIST", "QUIT", "USER:op" }, {}, { "NEWLIST", "QUIT" }, { "NICK" } }));
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
            const Inboxes& sent = rig.server.inboxes;
            return std::pair(std::accumulate(sent.begin(), sent.end(), QByteArrayList()), yields);
        };
        QCOMPARE(traffic(10000), traffic(0));
    }

    void longNicknameIsCut()
    {
        const QByteArray kept = QByteArray(63, 'n') + '\xff';
        EngineRig rig;
        rig.startWith({ kept + QByteArray(256 * 1024, 'x') });
        rig.server.receive(rig.server.connectClient(), "USER:bob");
        QCOMPARE(roster(rig.state).at(1), kept + " 192.0.2.1 1");
        QCOMPARE(rig.state.Log.List(0), "User Entered The Chat: " + kept);
        QCOMPARE(rig.server.inboxes.at(1), rosterBroadcast("NEWUSER:bob", { "op", kept, "bob" }));
    }
};

QTEST_GUILESS_MAIN(TestRelayEngine)
#include "tst_relay_engine.moc"
