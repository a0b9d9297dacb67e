#include "access_rules.h"
#include "loopback.h"
#include "operator_console.h"
#include "relay_engine.h"
#include "resource_limit.h"
#include "rows.h"
#include "rules_file.h"
#include "slot_array.h"

#include <QtTest>

#include <functional>
#include <tuple>

#include <unistd.h>

namespace {

// The engine with the slot array and the window scripted: what it hands
// each slot and asks of the window is kept in plain fields, and a test runs
// events, from inside the engine's yields too, as the real event loop would.
class EngineRig final : public SlotArray, public OperatorConsole {
public:
    EngineRig() { engine.Form_Load(); }
    // Started, with these clients joined on slots 1, 2, ... and nothing sent yet.
    void startWith(const QByteArrayList& nicknames)
    {
        engine.cmdStart_Click();
        for (const QByteArray& name : nicknames)
            receive(connectClient(), "USER:" + name);
        inboxes.fill({});
    }

    // Events, as the real array raises them.
    int connectClient()
    {
        emit connectionRequest(0, 0);
        return int(states.size()) - 1;
    }
    void receive(int index, const QByteArray& text)
    {
        input = text;
        emit dataArrival(index, text.size());
    }
    void closePeer(int index)
    {
        states[index] = sckClosing;
        emit peerClosed(index);
    }

    Failure Bind(int, quint16) override { return bindError; }
    Failure Listen(int) override { return {}; }
    void Close(int) override { }
    Failure Load(int) override { return {}; }
    Failure Accept(int index, qint32) override
    {
        states.resize(std::max(states.size(), qsizetype(index) + 1));
        inboxes.resize(states.size());
        states[index] = sckConnected;
        return {};
    }
    Failure SendData(int index, const QByteArray& text) override { return hand(index, { text }); }
    Failure SendRoster(int index, const RosterBroadcast& roster) override
    {
        return hand(index, QByteArrayList { roster.start, roster.event } + roster.rows->rows);
    }
    Failure hand(int index, const QByteArrayList& messages)
    {
        ++handedOver;
        inboxes[index] += messages;
        return {};
    }
    QByteArray GetData(int) override { return std::exchange(input, {}); }
    int State(int index) const override
    {
        ++looks;
        return states.value(index, sckClosed);
    }
    QString RemoteHostIP(int index) const override { return "192.0.2." + QString::number(index); }
    QString LocalIP(int) const override { return QStringLiteral("198.51.100.7"); }
    void Disconnect(int) override { }
    int nextConnected(int after) const override
    {
        return std::max(0, int(states.indexOf(sckConnected, after + 1)));
    }
    void runInTurn(const QObject*, std::function<void()> command) override { command(); }
    void DoEvents() override { onYield(); }

    void setCaption(const QString& text) override { caption = text; }
    QString nickname() const override { return txtNickname; }
    QString message() const override { return txtMessage; }
    void setMessage(const QString& text) override { txtMessage = text; }
    QString portText() const override { return typedPort; }
    void setPortEnabled(bool enabled) override { std::get<2>(buttons) = enabled; }
    void setStartEnabled(bool enabled) override { std::get<0>(buttons) = enabled; }
    void setStopEnabled(bool enabled) override { std::get<1>(buttons) = enabled; }
    void setStatus(const QString& text, quint32 colour) override { status = { text, colour }; }
    void setOnline(const QString&) override { }
    void showMessageBox(const QString& text, const QString& title, Icon) override
    {
        boxes.append(title + u'|' + text);
    }
    void flash() override { ++flashes; }

    // The slot array: each slot's state and every message it was handed, and
    // how many sends (a roster broadcast's as one), yields and looks at a
    // slot's state the engine made.
    QList<int> states { sckClosed };
    QList<QByteArrayList> inboxes { {} };
    QByteArray input;
    Failure bindError;
    int handedOver = 0, yields = 0;
    mutable int looks = 0;
    std::function<void()> onYield = [this] { ++yields; }; // a test may run events instead
    // The window.
    QString caption, txtNickname = QStringLiteral("op"), txtMessage, typedPort;
    std::tuple<bool, bool, bool> buttons { true, true, true }; // Start, Stop, the port box
    std::pair<QString, quint32> status;
    QStringList boxes; // title|text
    int flashes = 0;

    ServerState state;
    RelayEngine engine { state, *this, *this };
};

// The store's rows read one by one, where reading them in steps agrees.
QByteArrayList storedRows(const TranscriptStore& store)
{
    QByteArrayList rows;
    for (qint64 i = store.first(); i < store.count(); ++i)
        rows.append(store.row(i).value_or("(unreadable)"));
    qsizetype agreeing = 0; // rows read in steps, up to the first that differs (-1)
    for (qint64 next = 0; next >= 0 && next < store.count() && agreeing >= 0;)
        next = store.readSome(next, store.count(), [&](QByteArrayView row) {
            agreeing = agreeing >= 0 && row == rows.value(agreeing) ? agreeing + 1 : -1;
        });
    return agreeing == rows.size() ? rows : QByteArrayList { "(read in steps, they differ)" };
}

// The row that says the oldest rows make way for new ones.
bool isDropNote(const QByteArray& row)
{
    return row.startsWith("The transcripts have reached");
}

// Rows of every kind: every byte value, none, a megabyte, and many short
// ones, so that some are on disk and the last still wait in memory.
QByteArrayList rowsOfEveryKind()
{
    QByteArrayList rows { QByteArray(256, Qt::Uninitialized), {}, QByteArray(1024 * 1024, '\xe9') };
    for (int i = 0; i < 256; ++i)
        rows[0][i] = char(i);
    for (int i = 0; i < 20000; ++i)
        rows.append("line " + QByteArray::number(i));
    return rows;
}

} // namespace

class TestRelay : public QObject {
    Q_OBJECT

private slots:
    // A start needs a nickname of 1 to 12 characters and a port from 1 to
    // 65535, selected or typed, that can be bound; one refused says why and
    // leaves the service stopped, the roster empty.
    void start_data()
    {
        QTest::addColumn<QString>("nickname");
        QTest::addColumn<QString>("typed"); // null: the row "40" is selected
        QTest::addColumn<int>("bindError");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("box"); // empty: started
        const auto row = [](const char* name, const char* nickname, const char* typed,
                             int bindError, int port, const QString& box) {
            QTest::newRow(name) << QString(nickname) << QString(typed) << bindError << port << box;
        };
        const QString refused = QStringLiteral("No Port Assigned! or No Nickname Assigned");
        const QString notBound = "Cannot start the server on port 40: Some system error.";
        row("12 characters", "abcdefghijkl", nullptr, 0, 40, {});
        row("13 characters", "abcdefghijklm", nullptr, 0, 40, refused);
        row("blanks only", "   ", nullptr, 0, 40, {});
        row("typed nothing", "op", "", 0, 0, refused);
        row("typed 65535", "op", "65535", 0, 65535, {});
        row("typed 65536", "op", "65536", 0, 0, refused);
        row("typed -80", "op", "-80", 0, 0, refused);
        row("in use", "op", nullptr, EADDRINUSE, 40, notBound);
        row("low port refused", "op", nullptr, EACCES, 40,
            notBound
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
        rig.typedPort = typed;
        rig.txtNickname = nickname;
        rig.bindError = { bindError, QStringLiteral("Some system error") };
        rig.engine.cmdStart_Click();
        const bool started = box.isEmpty();
        QCOMPARE(rig.caption, "Quenvar Chat Server - " + nickname);
        QCOMPARE(rig.state.port, port);
        QCOMPARE(rig.boxes, started ? QStringList() : QStringList { "Quenvar Chat|" + box });
        QCOMPARE(rig.status,
            std::pair(started ? QStringLiteral("Running") : QStringLiteral("Not Running"),
                started ? colourGreen : colourRed));
        QCOMPARE(roster(rig.state).join(), started ? nickname.toLatin1() + " 198.51.100.7 0" : "");
        QCOMPARE(rig.buttons,
            started ? std::tuple(false, true, false) : std::tuple(true, !bindError, true));
    }

    // Every message handed over (a roster broadcast's as one) is followed by
    // a yield. Messages are told apart by their first four characters, case
    // and all: a join's nickname starts at the sixth and is cut to 64 bytes,
    // and a chat line flashes the window. A slot is one user: joining again
    // renames its row, in place, and its departure leaves none; a connection
    // that never joined leaves without a word.
    void session()
    {
        const QByteArray cut = QByteArray(63, 'n') + '\xff';
        EngineRig rig;
        rig.startWith({ "ann" });
        rig.connectClient(); // never answers, and is sent every broadcast all the same
        rig.txtMessage = QStringLiteral("hi");
        const std::pair<const char*, std::function<void()>> steps[] = {
            { "greeting", [&] { rig.connectClient(); } },
            { "join", [&] { rig.receive(3, "USERxbob"); } },
            { "chat line", [&] { rig.receive(1, "scan the room"); } },
            { "short chat line", [&] { rig.receive(1, "USE"); } },
            { "chat line, NUL first", [&] { rig.receive(1, QByteArray("\0USER", 5)); } },
            { "operator line", [&] { rig.engine.cmdSend_Click(); } },
            { "nothing to send", [&] { rig.engine.cmdSend_Click(); } },
            { "second join", [&] { rig.receive(1, "USER:" + cut + QByteArray(256 * 1024, 'x')); } },
        };
        for (const auto& [what, step] : steps) {
            const int yields = rig.yields - rig.handedOver;
            step();
            QVERIFY2(rig.yields - rig.handedOver == yields, what);
        }
        rig.receive(1, "SCANNER");
        QCOMPARE(rig.inboxes.at(1).last(), "OK");
        QCOMPARE(rig.flashes, 3);
        QCOMPARE(
            rig.inboxes.at(2).last(5), rosterBroadcast("NEWUSER:" + cut, { "op", cut, "bob" }));
        QCOMPARE(rows(rig.state.Log).last(), "User Entered The Chat: " + cut);
        QCOMPARE(roster(rig.state),
            (QByteArrayList { "op 198.51.100.7 0", cut + " 192.0.2.1 1", "bob 192.0.2.3 3" }));

        rig.inboxes.fill({});
        rig.yields = 0;
        rig.closePeer(2);
        QCOMPARE(std::pair(rig.yields, rig.inboxes), std::pair(0, QList<QByteArrayList>(4)));
        rig.closePeer(1);
        QCOMPARE(roster(rig.state), (QByteArrayList { "op 198.51.100.7 0", "bob 192.0.2.3 3" }));
        QCOMPARE(rig.inboxes.mid(1),
            (QList<QByteArrayList> { {}, {}, rosterBroadcast("QUIT", { "op", "bob" }) }));

        // However many connections have come and gone, a join, a chat line, a
        // departure and an operator line look only at the open ones.
        for (int i = 0; i < 10000; ++i)
            rig.closePeer(rig.connectClient());
        rig.looks = rig.yields = rig.handedOver = 0;
        rig.receive(rig.connectClient(), "USER:cy");
        rig.receive(3, "hello");
        rig.closePeer(3);
        rig.txtMessage = QStringLiteral("hi");
        rig.engine.cmdSend_Click();
        QCOMPARE_LT(rig.looks + rig.handedOver + rig.yields, 100);
    }

    // A broadcast takes its bound when it starts and looks at each slot at
    // its turn: a client that connects meanwhile is not sent it, a slot that
    // closes is passed over, and each is sent the roster as it stands then.
    void broadcastSeesEachSlotAtItsTurn()
    {
        EngineRig rig;
        rig.startWith({ "ann", "bob", "cy", "dan" });
        rig.onYield = [&] {
            if (rig.state.connectie == 4)
                rig.connectClient();
            if (!rig.inboxes.at(2).isEmpty() && rig.state.Users.ListCount() > 0) {
                rig.states[3] = SlotArray::sckClosing; // its close event is yet to come
                rig.engine.cmdStop_Click(); // empties the roster once slot 2 has it
            }
        };
        rig.closePeer(1);
        QCOMPARE(rig.inboxes.mid(1),
            (QList<QByteArrayList> { {}, rosterBroadcast("QUIT", { "op", "bob", "cy", "dan" }), {},
                { "NEWLIST", "QUIT" }, { "NICK" } }));
    }

    // Rows come back as they went in: from disk, from the buffer not yet
    // written, whole, cut short or in steps. Where the files cannot be made or
    // stop taking rows, rows are kept in memory from then on, said once, and
    // none is lost that the cap keeps. The files have no name in the folder,
    // a row they have lost reads as failed, not as another row, and nothing
    // is left open once the store has gone.
    void rowsComeBackAsWritten_data()
    {
        QTest::addColumn<qint64>("fileSizeLimit"); // 0: none
        QTest::addColumn<qint64>("cap"); // 0: all rows fit
        QTest::addColumn<QString>("failure"); // empty: none
        QTest::newRow("on disk") << 0LL << 0LL << QString();
        QTest::newRow("the folder cannot be made") << 0LL << 0LL << "cannot be created";
        // The megabyte row is written, the short ones after it are not.
        QTest::newRow("the disk fills") << 1100 * 1024LL << 0LL << "cannot be written";
        QTest::newRow("the disk fills, under a cap") << 16LL << 256 * 1024LL << "cannot be written";
    }
    void rowsComeBackAsWritten()
    {
        QFETCH(qint64, fileSizeLimit);
        QFETCH(qint64, cap);
        QFETCH(QString, failure);
        const bool folderMade = failure != "cannot be created";
        QTemporaryDir dir;
        QFile blocker(dir.filePath(QStringLiteral("a-file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        const int descriptors = openDescriptors();
        const QByteArray savedTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(blocker.fileName() + QStringLiteral("/tmp")));
        auto store = std::make_unique<TranscriptStore>(
            folderMade ? dir.path() : blocker.fileName() + "/transcripts");
        qputenv("TMPDIR", savedTmp);
        store->setCap(cap ? cap : TranscriptStore::defaultCap);
        QSignalSpy failures(store.get(), &TranscriptStore::storageFailed);
        const QByteArrayList rows = rowsOfEveryKind();
        QByteArrayList buffered;
        withLimit(RLIMIT_FSIZE, fileSizeLimit ? rlim_t(fileSizeLimit) : RLIM_INFINITY, [&] {
            for (const QByteArray& row : rows)
                store->append(row);
            buffered = storedRows(*store);
            store->flush();
        });
        QCOMPARE(failures.size(), folderMade && !failure.isEmpty() ? 1 : 0);
        const QString why = store->failure().text;
        QVERIFY2(failure.isEmpty() ? why.isEmpty() : why.contains(failure), qPrintable(why));
        QByteArrayList kept = storedRows(*store);
        QCOMPARE(kept, buffered);
        if (cap) {
            kept.removeIf(isDropNote);
            QCOMPARE_LE(kept.join().size(), cap);
            QVERIFY(!kept.isEmpty() && kept == rows.last(kept.size()));
        } else {
            QCOMPARE(kept, rows);
            QCOMPARE(store->row(2, 3), "\xe9\xe9\xe9");
            QCOMPARE(store->row(rows.size()), std::nullopt);
        }
        if (folderMade && !cap) { // the first rows are on disk
            QCOMPARE(
                QDir(dir.path()).entryList(QDir::Files), QStringList { QStringLiteral("a-file") });
            for (const auto& [fd, target] : openFiles().asKeyValueRange())
                QVERIFY(!target.startsWith(dir.path())
                    || ::truncate(qPrintable("/proc/self/fd/" + fd), 0) == 0);
            QCOMPARE(store->row(0), std::nullopt);
            QCOMPARE(store->readSome(0, store->count(), [](QByteArrayView) {}), -1);
        }
        store.reset();
        QCOMPARE(openDescriptors(), descriptors);
    }

    // Past its cap the store drops its oldest rows and gives their disk space
    // back; one row says so, once. A view loses the rows dropped, its
    // selection staying on its row.
    void oldestRowsMakeWay()
    {
        QTemporaryDir dir;
        TranscriptStore store(dir.path());
        constexpr qint64 cap = 1024 * 1024;
        store.setCap(cap);
        TranscriptView view(store);
        for (int i = 0; i < 1600; ++i) {
            store.append(QByteArray(1000, 'x') + QByteArray::number(i));
            if (i == 1100)
                view.setListIndex(view.ListCount() - 1);
        }
        store.flush();
        QCOMPARE(view.List(view.ListIndex()), QByteArray(1000, 'x') + "1100");
        QCOMPARE_LE(store.sizeOnDisk(), cap + TranscriptStore::flushBytes);
        QByteArrayList kept = storedRows(store);
        QCOMPARE(kept.removeIf(isDropNote), 1);
        QCOMPARE_LE(kept.join().size(), cap);
        QCOMPARE(kept.last(), QByteArray(1000, 'x') + "1599");
        QCOMPARE(kept.last().mid(1000).toInt() - kept.first().mid(1000).toInt() + 1, kept.size());
    }

    // A network reads back as it is kept, and holds the addresses it should:
    // a rule in IPv4 form holds the IPv4-mapped addresses a dual-stack
    // listener reports. What is not a network is refused.
    void network_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("kept"); // empty: refused
        QTest::addColumn<QStringList>("inside");
        QTest::addColumn<QStringList>("outside");
        const auto row = [](const char* text, const char* kept, const QStringList& inside = {},
                             const QStringList& outside = {}) {
            QTest::newRow(text) << QString(text) << QString(kept) << inside << outside;
        };
        row("192.0.2.0/24", "192.0.2.0/24", { "192.0.2.200", "::ffff:192.0.2.9" }, { "192.0.3.1" });
        row("192.0.2.77/24", "192.0.2.0/24", { "192.0.2.1" });
        row("192.0.2.7", "192.0.2.7/32", { "192.0.2.7" }, { "192.0.2.8" });
        row("::ffff:10.1.2.3", "10.1.2.3/32", { "10.1.2.3" });
        row("2001:DB8:1:2::7/64", "2001:db8:1:2::/64", { "2001:db8:1:2:ffff::1" },
            { "2001:db8:1:3::1" });
        row("::/0", "::/0", { "192.0.2.1" });
        row("0.0.0.0/0", "0.0.0.0/0", {}, { "2001:db8::1" });
        for (const char* refused :
            { "10.0.0.0/33", "fd00::/129", "10.0.0.0/", "10.0.0.0/+8", "localhost", "10.1/8" })
            row(refused, "");
    }
    void network()
    {
        QFETCH(QString, text);
        QFETCH(QString, kept);
        QFETCH(QStringList, inside);
        QFETCH(QStringList, outside);
        const std::optional<Network> network = Network::parse(text);
        QCOMPARE(network ? network->text() : QString(), kept);
        for (const QString& address : inside + outside)
            QCOMPARE(network && network->contains(*Network::parseAddress(address)),
                inside.contains(address));
    }

    // On an injected clock: a ban refuses until its time, counts what it
    // refuses, reports it once, and lets the address back when it expires;
    // the allow-list admits only its networks. A ban's reach from an address
    // is the address, or its /24 or /64. The file: what the window writes is
    // read back the same, but for bans that have expired; a wrong line is
    // refused with its number, and the rules in force stay.
    void accessRules()
    {
        using enum Network::Scope;
        QDateTime now = QDateTime(QDate(2026, 12, 10), QTime(4, 0), Qt::UTC);
        AccessRules rules([&] { return now; }), read([&] { return now; });
        const auto admit
            = [&](const QString& ip) { return rules.admit(*Network::parseAddress(ip)); };
        QSignalSpy pending(&rules, &AccessRules::refusalPending);
        rules.ban(*Network::around(u"192.0.2.77", Neighbourhood), now.addSecs(3600));
        QVERIFY(!admit("192.0.2.5") && !admit("::ffff:192.0.2.6") && admit("192.0.3.5"));
        QCOMPARE(pending.count(), 1);
        QCOMPARE(rules.bans().front().refused, 2);
        QCOMPARE(rules.takeRefusalReport(),
            QList<QByteArray> { "Refused 2 connections from 192.0.2.0/24 in the last minute." });
        QVERIFY(rules.takeRefusalReport().isEmpty());
        now = now.addSecs(3600);
        QVERIFY(admit("192.0.2.5") && rules.bans().empty());

        rules.setStartAllowed({ *Network::parse(u"10.0.0.0/8") });
        QVERIFY(admit("10.9.9.9") && !admit("192.0.2.5"));
        QCOMPARE(rules.takeRefusalReport(),
            QList<QByteArray> {
                "Refused 1 connection from outside the allow-list in the last minute." });

        rules.ban(*Network::around(u"2001:db8:1:2:3::4", Address), now.addDays(7));
        rules.ban(*Network::around(u"2001:db8::4:5", Neighbourhood), QDateTime());
        rules.ban(*Network::parse(u"198.51.100.1"), now.addSecs(-1));
        const QTemporaryDir folder;
        const RulesFile file(folder.filePath(QStringLiteral("sub/access-rules")));
        QVERIFY(!file.save(rules));
        QFile written(file.path());
        QVERIFY(written.open(QIODevice::Append));
        written.write("allow 10.0.0.0/8 the office\n198.51.100.0/24 never a comment\n");
        written.close();
        QVERIFY(!file.load(read));
        const QByteArray kept = AccessRules().text()
            + "allow 10.0.0.0/8\n2001:db8:1:2:3::4/128 2026-12-17T05:00:00Z\n"
              "2001:db8::/64 never\n198.51.100.0/24 never a comment\n";
        QCOMPARE(read.text(), kept);

        const std::pair<QByteArray, QString> wrongFiles[] = {
            { "# a comment\n\n192.0.2.0/24 tomorrow\n", "line 3: 'tomorrow' is neither" },
            { "192.0.2.0/24\n", "line 1: a ban needs a network and an expiry" },
        };
        for (const auto& [wrong, why] : wrongFiles) {
            QVERIFY(written.open(QIODevice::WriteOnly | QIODevice::Truncate));
            written.write(wrong);
            written.close();
            const Failure failure = file.load(read);
            QVERIFY2(failure.text.startsWith(why), qPrintable(failure.text));
            QCOMPARE(read.text(), kept);
        }
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
