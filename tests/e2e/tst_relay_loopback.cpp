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
    QCOMPARE(server.rows(server.state.Log), QStringList { "scan" });
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
    QCOMPARE(server.rows(server.state.Users), (QStringList { "op", "bob", "bob", "" }));
    QCOMPARE(server.rows(server.state.Ip), (QStringList { server.state.Ip.List(0), "127.0.0.1", "127.0.0.1", "127.0.0.1" }));
    QCOMPARE(server.rows(server.state.connection), (QStringList { "0", "1", "2", "3" }));
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
    QCOMPARE(server.state.Log.List(server.state.Log.ListCount() - 1).toLatin1(), line);
    QCOMPARE(server.state.Messages.List(server.state.Messages.ListCount() - 1).toLatin1(), line);
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
    QCOMPARE(server.rows(server.state.Users), (QStringList { "op", "bob" }));
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

QTEST_GUILESS_MAIN(TestRelayLoopback)
#include "tst_relay_loopback.moc"
