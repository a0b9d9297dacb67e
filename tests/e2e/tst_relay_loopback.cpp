#include "loopback_server.h"

#include <QElapsedTimer>
#include <QTest>

#include <memory>
#include <vector>

namespace {

constexpr int timeoutMs = LoopbackServer::timeoutMs;

QByteArray roster(const char* event, std::initializer_list<const char*> nicknames)
{
    QByteArray bytes = QByteArray("NEWLIST") + event;
    for (const char* name : nicknames)
        bytes += QByteArray("USER:") + name;
    return bytes;
}

bool waitForAll(std::vector<std::unique_ptr<LoopbackClient>>& clients, const QByteArray& expected)
{
    return QTest::qWaitFor([&] {
        for (auto& client : clients) {
            if (client->received().size() < expected.size())
                return false;
        }
        return true;
    }, timeoutMs);
}

} // namespace

class TestRelayLoopback : public QObject {
    Q_OBJECT

private slots:
    void greetingAndProbes();
    void joinVariants();
    void chatLineReachesEveryClientByteForByte();
    void departureRebroadcastsRoster();
    void operatorLineReachesEveryClient();
    void stopRefusesNewConnectionsAndKeepsClients();
    void megabyteMessage();
    void resetInMiddleOfBroadcast();
    void manyClientsFlooding();
    void probesLeaveNothingBehind();
    void floodIsThrottledNotLost();
};

void TestRelayLoopback::greetingAndProbes()
{
    LoopbackServer server;
    QCOMPARE(server.console.status, QStringLiteral("Running"));
    auto client = server.connect();
    QVERIFY(client);
    client->send("SCAN");
    QTRY_COMPARE_WITH_TIMEOUT(client->received(), QByteArray("OK"), timeoutMs);
    client->clearReceived();
    client->send("SCANNER");
    QTRY_COMPARE_WITH_TIMEOUT(client->received(), QByteArray("OK"), timeoutMs);
    client->clearReceived();
    client->send("scan");
    QTRY_COMPARE_WITH_TIMEOUT(client->received(), QByteArray("scan"), timeoutMs);
    QCOMPARE(server.rows(server.state.Log), QByteArrayList { "scan" });
    QCOMPARE(server.state.Users.ListCount(), 1);
}

void TestRelayLoopback::joinVariants()
{
    LoopbackServer server;
    auto bob = server.connect();
    QVERIFY(bob);
    bob->send("USER:bob");
    QTRY_COMPARE_WITH_TIMEOUT(bob->received(), roster("NEWUSER:bob", { "op", "bob" }), timeoutMs);
    bob->clearReceived();

    auto second = server.connect();
    QVERIFY(second);
    second->send("USERxbob");
    const QByteArray afterSecond = roster("NEWUSER:bob", { "op", "bob", "bob" });
    QTRY_COMPARE_WITH_TIMEOUT(second->received(), afterSecond, timeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(bob->received(), afterSecond, timeoutMs);

    auto anonymous = server.connect();
    QVERIFY(anonymous);
    anonymous->send("USER");
    QTRY_COMPARE_WITH_TIMEOUT(anonymous->received(), roster("NEWUSER:", { "op", "bob", "bob", "" }), timeoutMs);
    QCOMPARE(server.rows(server.state.Users), (QByteArrayList { "op", "bob", "bob", "" }));
    QCOMPARE(server.rows(server.state.Ip), (QByteArrayList { server.state.Ip.List(0), "127.0.0.1", "127.0.0.1", "127.0.0.1" }));
    QCOMPARE(server.rows(server.state.connection), (QByteArrayList { "0", "1", "2", "3" }));
    QCOMPARE(server.console.online, QStringLiteral("4"));
}

void TestRelayLoopback::chatLineReachesEveryClientByteForByte()
{
    LoopbackServer server;
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (const char* name : { "ann", "bob", "cy" }) {
        clients.push_back(server.join(name));
        QVERIFY(clients.back());
    }
    for (auto& client : clients)
        client->clearReceived();
    const QByteArray line("ann: \x00\x01 caf\xe9 \x80\xff end", 19);
    clients[0]->send(line);
    QVERIFY(waitForAll(clients, line));
    for (auto& client : clients)
        QCOMPARE(client->received(), line);
    QCOMPARE(server.state.Log.List(server.state.Log.ListCount() - 1), line);
    QCOMPARE(server.state.Messages.List(server.state.Messages.ListCount() - 1), line);
    QCOMPARE(server.console.flashes, 1);
}

void TestRelayLoopback::departureRebroadcastsRoster()
{
    LoopbackServer server;
    auto ann = server.join("ann");
    auto bob = server.join("bob");
    QVERIFY(ann && bob);
    bob->clearReceived();
    ann->close();
    QTRY_COMPARE_WITH_TIMEOUT(bob->received(), roster("QUIT", { "op", "bob" }), timeoutMs);
    QCOMPARE(server.rows(server.state.Users), (QByteArrayList { "op", "bob" }));
    QCOMPARE(server.console.online, QStringLiteral("2"));
}

void TestRelayLoopback::operatorLineReachesEveryClient()
{
    LoopbackServer server;
    auto ann = server.join("ann");
    auto silent = server.connect(); // never joined: still a slot
    QVERIFY(ann && silent);
    ann->clearReceived();
    server.console.txtMessage = QStringLiteral("hi");
    server.engine.cmdSend_Click();
    QTRY_COMPARE_WITH_TIMEOUT(ann->received(), QByteArray("op:  hi"), timeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(silent->received(), QByteArray("op:  hi"), timeoutMs);
}

void TestRelayLoopback::stopRefusesNewConnectionsAndKeepsClients()
{
    LoopbackServer server;
    auto ann = server.join("ann");
    QVERIFY(ann);
    server.engine.cmdStop_Click();
    QVERIFY(LoopbackClient(server.port).pump());
    ann->send("still chatting");
    QTRY_COMPARE_WITH_TIMEOUT(ann->received(), QByteArray("still chatting"), timeoutMs);

    server.engine.cmdStart_Click();
    QCOMPARE(server.state.Users.ListCount(), 1);
    auto next = server.connect();
    QVERIFY(next);
    QCOMPARE(server.state.connectie, 2);
}

void TestRelayLoopback::megabyteMessage()
{
    LoopbackServer server;
    auto sender = server.join("big");
    auto other = server.join("other");
    QVERIFY(sender && other);
    sender->clearReceived();
    QByteArray message(1024 * 1024, 'm');
    for (qsizetype i = 0; i < message.size(); i += 997)
        message[i] = char(i % 256);
    sender->send(message);
    QTRY_VERIFY_WITH_TIMEOUT(sender->allSent() && other->received().size() == message.size(), timeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(sender->received().size(), message.size(), timeoutMs);
    QCOMPARE(other->received(), message);
    QCOMPARE(sender->received(), message);
    QCOMPARE(server.chatLogged(), message);
}

// A client that resets while a roster broadcast is under way costs only its
// own messages; the others get theirs in full.
void TestRelayLoopback::resetInMiddleOfBroadcast()
{
    LoopbackServer server;
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < 20; ++i) {
        clients.push_back(server.join("user" + QByteArray::number(i)));
        QVERIFY(clients.back());
    }
    bool resetDone = false;
    auto newcomer = server.connect();
    QVERIFY(newcomer);
    // Reset client 10 as soon as the broadcast has reached client 5.
    newcomer->send("USER:late");
    QVERIFY(QTest::qWaitFor([&] {
        if (!resetDone && clients[5]->received().contains("NEWUSER:late")) {
            clients[10]->reset();
            resetDone = true;
        }
        return resetDone && clients[19]->received().count("USER:") >= 22 + 1;
    }, timeoutMs));
    QTRY_COMPARE_WITH_TIMEOUT(server.state.Users.ListCount(), 21, timeoutMs);
    auto after = server.join("after");
    QVERIFY(after);
}

// Fifty clients send as fast as they can for a bounded time while reading
// what comes back; the server keeps serving, and a newcomer is served after.
void TestRelayLoopback::manyClientsFlooding()
{
    LoopbackServer server;
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < 50; ++i) {
        clients.push_back(server.join("f" + QByteArray::number(i)));
        QVERIFY(clients.back());
    }
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    constexpr int maxLinesEach = 100;
    for (int round = 0; round < maxLinesEach && clock.elapsed() < 3000; ++round) {
        for (auto& client : clients) {
            client->send("flood line " + QByteArray::number(round));
            client->clearReceived();
            ++sent;
        }
        QTest::qWait(1);
    }
    QVERIFY(QTest::qWaitFor([&] {
        for (auto& client : clients) {
            client->pump();
            client->clearReceived();
        }
        return server.state.Log.ListCount() >= 50;
    }, timeoutMs));
    auto newcomer = server.join("newcomer");
    QVERIFY(newcomer);
    newcomer->send("hello");
    QTRY_VERIFY_WITH_TIMEOUT(newcomer->hasReceived("hello"), timeoutMs);
    QVERIFY(sent > 0);
}

// Clients looking for servers come and go by the thousand: the slot array
// keeps entries for open connections only, every descriptor comes back, and
// the joined client is sent every departure's roster.
void TestRelayLoopback::probesLeaveNothingBehind()
{
    LoopbackServer server;
    auto ann = server.join("ann");
    QVERIFY(ann);
    const int descriptors = openDescriptors();
    constexpr int cycles = 20000;
    constexpr int batch = 200;
    const QByteArray departure = roster("QUIT", { "op", "ann" });
    for (int done = 0; done < cycles; done += batch) {
        std::vector<std::unique_ptr<LoopbackClient>> probes;
        for (int i = 0; i < batch; ++i) {
            probes.push_back(std::make_unique<LoopbackClient>(server.port));
            probes.back()->send("SCAN");
        }
        QVERIFY(waitForAll(probes, "NICKOK"));
        probes.clear();
        // Departures handled inside each other's yields interleave their messages.
        QVERIFY(QTest::qWaitFor([&] { return ann->received().size() == batch * departure.size(); }, timeoutMs));
        QCOMPARE(ann->received().count("QUIT"), batch);
        QCOMPARE(ann->received().count("USER:ann"), batch);
        ann->clearReceived();
    }
    QCOMPARE(server.state.connectie, cycles + 1);
    QCOMPARE(server.slots_.openConnections(), 1);
    QCOMPARE(openDescriptors(), descriptors);
    QVERIFY(stillServed(*ann, "ann: still here"));
}

// A client over its input budget is read later, not cut off: every byte of
// its flood reaches the others in order, another client's short line
// overtakes what the flooder has not been granted yet, and the throttled
// socket does not keep the event loop busy.
void TestRelayLoopback::floodIsThrottledNotLost()
{
    LoopbackServer server;
    constexpr qint64 rate = 4 * 1024 * 1024;
    constexpr qint64 burst = 256 * 1024;
    server.slots_.setInputBudget({ rate, burst });
    auto flooder = server.join("flood");
    auto other = server.join("other");
    auto reader = server.join("reader");
    QVERIFY(flooder && other && reader);
    other->clearReceived();

    QByteArray flood(8 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < flood.size(); ++i)
        flood[i] = char(0x80 + i % 127);
    const QByteArray line("other: a short line");
    // Every client reads what it is sent, the flooder too, as it writes.
    const auto readingUntil = [&](auto done) {
        return QTest::qWaitFor([&] {
            flooder->pump();
            other->pump();
            return done();
        }, timeoutMs);
    };
    flooder->send(flood);
    QVERIFY(readingUntil([&] { return reader->received().size() > burst; }));
    // Over its budget, the flooder's unread bytes do not wake the loop:
    // yielding for 50 ms (some thousand socket passes) finds next to nothing.
    const qint64 eventsBefore = server.slots_.readyEvents();
    QElapsedTimer yielding;
    yielding.start();
    for (int pass = 0; pass < 1000000 && yielding.elapsed() < 50; ++pass)
        server.slots_.DoEvents();
    const qint64 events = server.slots_.readyEvents() - eventsBefore;
    QVERIFY2(events < 100, qPrintable(QString::number(events)));
    other->send(line);
    QVERIFY(readingUntil([&] { return reader->hasReceived(line); }));
    QVERIFY(reader->received().size() < flood.size());
    QVERIFY(readingUntil([&] { return reader->received().size() == flood.size() + line.size(); }));
    QByteArray relayed = reader->received();
    relayed.remove(relayed.indexOf(line), line.size());
    QVERIFY(relayed == flood);
    QVERIFY(readingUntil([&] { return other->received().size() == flood.size() + line.size(); }));
    QCOMPARE(server.state.Users.ListCount(), 4);
    QCOMPARE(server.chatLogged().size(), flood.size() + line.size());
}

QTEST_GUILESS_MAIN(TestRelayLoopback)
#include "tst_relay_loopback.moc"
