#include "loopback_client.h"
#include "socket_slot_array.h"
#include "token_bucket.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int timeoutMs = 10000;

// Accepts every connection into the next slot, as the engine does.
struct AcceptingArray {
    SocketSlotArray server;
    quint16 port = freePort();

    AcceptingArray()
    {
        QObject::connect(&server, &SlotArray::connectionRequest, &server, [this](int, qint32 request) {
            const int index = server.lastSlot() + 1;
            server.Load(index);
            server.Accept(index, request);
        });
    }
    bool listen() { return !server.Bind(0, port) && !server.Listen(0); }
    // Connects a client and waits until the server has accepted it.
    std::unique_ptr<LoopbackClient> connectClient()
    {
        const int before = server.lastSlot();
        auto client = std::make_unique<LoopbackClient>(port);
        if (!QTest::qWaitFor([&] { return server.lastSlot() > before; }, timeoutMs))
            return nullptr;
        return client;
    }
};

QByteArray allBytes()
{
    QByteArray bytes;
    for (int b = 0; b < 256; ++b)
        bytes.append(char(b));
    return bytes;
}

} // namespace

class TestSocketSlotArray : public QObject {
    Q_OBJECT

private slots:
    void acceptSendAndReceiveEveryByte();
    void operationsOnSlotsThatAreNotConnected();
    void resetCountsAsClose();
    void clientThatStopsReadingIsCutOff();
    void manyConnectCloseCycles();
    void portInUse();
    void privilegedPortRefused();
    void restartWhileClientsStayConnected();
    void yieldNestingIsCapped();
    void tokenBucket();
    void eventsRunDuringLongBroadcast();
};

void TestSocketSlotArray::acceptSendAndReceiveEveryByte()
{
    AcceptingArray rig;
    QVERIFY(rig.listen());
    QCOMPARE(rig.server.State(0), int(SlotArray::sckListening));
    auto client = rig.connectClient();
    QVERIFY(client);
    QCOMPARE(rig.server.State(1), int(SlotArray::sckConnected));
    QCOMPARE(rig.server.RemoteHostIP(1), QStringLiteral("127.0.0.1"));
    QVERIFY(!rig.server.LocalIP(0).isEmpty());

    QVERIFY(!rig.server.SendData(1, allBytes()));
    QTRY_COMPARE_WITH_TIMEOUT(client->received(), allBytes(), timeoutMs);

    QSignalSpy arrivals(&rig.server, &SlotArray::dataArrival);
    client->send(allBytes());
    QTRY_VERIFY_WITH_TIMEOUT(!arrivals.isEmpty(), timeoutMs);
    QByteArray bytes;
    QTRY_VERIFY_WITH_TIMEOUT((bytes += rig.server.GetData(1)).size() == 256, timeoutMs);
    QCOMPARE(bytes, allBytes());
    QVERIFY(rig.server.GetData(1).isEmpty());
}

void TestSocketSlotArray::operationsOnSlotsThatAreNotConnected()
{
    SocketSlotArray server;
    QCOMPARE(server.SendData(0, "x").code, ENOTCONN);
    QCOMPARE(server.SendData(5, "x").code, ENOTCONN);
    QVERIFY(server.GetData(5).isEmpty());
    QCOMPARE(server.State(5), int(SlotArray::sckClosed));
    QVERIFY(server.Accept(0, 12345)); // no such request
    QVERIFY(!server.Load(1));
    QVERIFY(server.Load(1)); // slots are created once
    QVERIFY(server.Listen(0)); // not bound
    server.DoEvents();
}

void TestSocketSlotArray::resetCountsAsClose()
{
    AcceptingArray rig;
    QVERIFY(rig.listen());
    QSignalSpy closes(&rig.server, &SlotArray::peerClosed);
    auto client = rig.connectClient();
    QVERIFY(client);
    client->reset();
    QTRY_COMPARE_WITH_TIMEOUT(closes.size(), 1, timeoutMs);
    // The slot keeps its number and nothing else.
    QCOMPARE(rig.server.State(1), int(SlotArray::sckClosed));
    QCOMPARE(rig.server.openConnections(), 0);
    QCOMPARE(rig.server.nextConnected(0), 0);
    QVERIFY(rig.server.Load(1)); // not created again
    // Sending to the gone peer fails; it does not end the process.
    QVERIFY(rig.server.SendData(1, "anyone there?"));
}

void TestSocketSlotArray::clientThatStopsReadingIsCutOff()
{
    AcceptingArray rig;
    constexpr qsizetype cap = 256 * 1024;
    rig.server.setOutputCap(cap);
    QVERIFY(rig.listen());
    auto idle = rig.connectClient();
    auto reader = rig.connectClient();
    QVERIFY(idle && reader);
    QSignalSpy closes(&rig.server, &SlotArray::peerClosed);

    const QByteArray message(1024, 'x');
    qint64 handedOver = 0;
    qint64 refused = 0;
    qint64 toReader = 0;
    // The kernel's buffers take a few MiB before the cap is reached.
    for (int i = 0; i < 64 * 1024 && rig.server.State(1) == SlotArray::sckConnected; ++i) {
        if (rig.server.SendData(1, message))
            refused += message.size();
        else
            handedOver += message.size();
        if (i % 16 == 0) {
            QVERIFY(!rig.server.SendData(2, message));
            toReader += message.size();
            reader->pump();
            rig.server.DoEvents();
        }
    }
    QCOMPARE(rig.server.State(1), int(SlotArray::sckClosed));
    QCOMPARE(rig.server.nextConnected(0), 2);
    QVERIFY(handedOver > cap);
    QTRY_COMPARE_WITH_TIMEOUT(closes.size(), 1, timeoutMs);
    QCOMPARE(closes.at(0).at(0).toInt(), 1);
    QCOMPARE(rig.server.State(2), int(SlotArray::sckConnected));
    QTRY_COMPARE_WITH_TIMEOUT(reader->received().size(), toReader, timeoutMs);

    // What reached the kernel still arrives; what was queued above it when
    // the cap was passed is what the client loses: more than the cap, and
    // no more than twice the cap.
    QTRY_VERIFY_WITH_TIMEOUT(idle->pump(), timeoutMs);
    const qint64 dropped = handedOver + refused - idle->received().size();
    QVERIFY2(dropped > cap && dropped <= 2 * cap, qPrintable(QString::number(dropped)));
}

// Descriptors come back and a closed slot costs little, however many
// connections have come and gone.
void TestSocketSlotArray::manyConnectCloseCycles()
{
    AcceptingArray rig;
    QVERIFY(rig.listen());
    int closes = 0;
    connect(&rig.server, &SlotArray::peerClosed, this, [&] { ++closes; });
    const int descriptorsBefore = openDescriptors();
    const long memoryBefore = residentBytes();
    constexpr int cycles = 100000;
    constexpr int batch = 100;
    for (int done = 0; done < cycles; done += batch) {
        std::vector<std::unique_ptr<LoopbackClient>> clients;
        for (int i = 0; i < batch; ++i)
            clients.push_back(std::make_unique<LoopbackClient>(rig.port));
        QTRY_COMPARE_WITH_TIMEOUT(rig.server.lastSlot(), done + batch, timeoutMs);
        clients.clear();
        QTRY_COMPARE_WITH_TIMEOUT(closes, done + batch, timeoutMs);
    }
    const double bytesPerSlot = double(residentBytes() - memoryBefore) / cycles;
    qInfo("%d connect-close cycles: descriptors %d before, %d after; %.0f bytes per closed slot", cycles,
        descriptorsBefore, openDescriptors(), bytesPerSlot);
    QCOMPARE(openDescriptors(), descriptorsBefore);
    QVERIFY(bytesPerSlot < 1024);
    QCOMPARE(rig.server.openConnections(), 0);
}

void TestSocketSlotArray::portInUse()
{
    AcceptingArray first;
    QVERIFY(first.listen());
    SocketSlotArray second;
    const SlotError error = second.Bind(0, first.port);
    QCOMPARE(error.code, EADDRINUSE);
    QVERIFY(!error.text.isEmpty());
    second.Close(0);
    QVERIFY(!second.Bind(0, freePort()));
}

// An ordinary user may not take port 40. Run as root, the bind is tried in a
// child process that has become the user nobody.
void TestSocketSlotArray::privilegedPortRefused()
{
    QFile unprivilegedStart(QStringLiteral("/proc/sys/net/ipv4/ip_unprivileged_port_start"));
    if (unprivilegedStart.open(QIODevice::ReadOnly) && unprivilegedStart.readAll().trimmed().toInt() <= 40)
        QSKIP("this system lets every user bind low ports");
    SocketSlotArray server;
    if (::geteuid() != 0) {
        QCOMPARE(server.Bind(0, 40).code, EACCES);
        return;
    }
    constexpr uid_t nobody = 65534;
    const pid_t child = ::fork();
    if (child == 0) {
        const bool dropped = ::setgid(nobody) == 0 && ::setuid(nobody) == 0;
        ::_exit(dropped && server.Bind(0, 40).code == EACCES ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
}

void TestSocketSlotArray::restartWhileClientsStayConnected()
{
    AcceptingArray rig;
    QVERIFY(rig.listen());
    auto client = rig.connectClient();
    QVERIFY(client);
    rig.server.Close(0);
    QCOMPARE(rig.server.State(0), int(SlotArray::sckClosed));
    QVERIFY(LoopbackClient(rig.port).pump()); // refused
    QVERIFY(rig.listen());
    QVERIFY(rig.connectClient());
    QVERIFY(!rig.server.SendData(1, "still here"));
    QTRY_COMPARE_WITH_TIMEOUT(client->received(), QByteArray("still here"), timeoutMs);
}

// Every handler yields, and many clients have data waiting: without a cap the
// handlers would nest once per waiting client.
void TestSocketSlotArray::yieldNestingIsCapped()
{
    AcceptingArray rig;
    QVERIFY(rig.listen());
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    constexpr int clientCount = 3 * SocketSlotArray::maxYieldDepth;
    for (int i = 0; i < clientCount; ++i) {
        clients.push_back(rig.connectClient());
        QVERIFY(clients.back());
    }
    int depth = 0;
    int deepest = 0;
    int handled = 0;
    connect(&rig.server, &SlotArray::dataArrival, this, [&](int index) {
        rig.server.GetData(index);
        ++handled;
        deepest = std::max(deepest, ++depth);
        rig.server.DoEvents();
        --depth;
    });
    for (auto& client : clients)
        client->send("hello");
    QTRY_COMPARE_WITH_TIMEOUT(handled, clientCount, timeoutMs);
    QVERIFY2(deepest > 1 && deepest <= SocketSlotArray::maxYieldDepth + 1, qPrintable(QString::number(deepest)));
}

// A yield need not look for events every time, but a window event and a new
// connection raised while a handler sends and yields are handled before the
// handler is done.
void TestSocketSlotArray::eventsRunDuringLongBroadcast()
{
    AcceptingArray rig;
    QVERIFY(rig.listen());
    auto reader = rig.connectClient();
    QVERIFY(reader);
    bool timerRan = false;
    std::unique_ptr<LoopbackClient> newcomer;
    constexpr int messages = 200000; // a broadcast to 200,000 slots, in bytes
    int sent = 0;
    for (; sent < messages && !(timerRan && rig.server.lastSlot() == 2); ++sent) {
        rig.server.SendData(1, "x");
        rig.server.DoEvents();
        if (sent == 100) {
            QTimer::singleShot(0, this, [&] { timerRan = true; });
            newcomer = std::make_unique<LoopbackClient>(rig.port);
        }
    }
    QVERIFY(timerRan);
    QCOMPARE(rig.server.lastSlot(), 2);
    QVERIFY2(sent < messages, "the events waited for the broadcast to end");
}

// The input budget on a clock the test moves: 1,000 bytes a second, bursts
// of 4,000.
void TestSocketSlotArray::tokenBucket()
{
    using namespace std::chrono_literals;
    const InputBudget budget { 1000, 4000 };
    const TokenBucket::Clock::time_point start;
    TokenBucket bucket(budget, start);

    QCOMPARE(bucket.available(start), 4000); // starts with a full burst
    bucket.spend(4000);
    QCOMPARE(bucket.available(start), 0);
    QCOMPARE(bucket.timeUntil(500, start), std::chrono::nanoseconds(500ms));
    QCOMPARE(bucket.available(start + 250ms), 250);

    // A client that takes exactly the rate, in many small steps, is never
    // short and never ahead.
    auto now = start + 250ms;
    bucket.spend(250);
    for (int step = 0; step < 1000; ++step) {
        now += 3ms;
        QCOMPARE(bucket.available(now), 3);
        bucket.spend(3);
    }

    // A long idle refills no more than the burst.
    now += 24h;
    QCOMPARE(bucket.available(now), 4000);
    QCOMPARE(bucket.timeUntil(4000, now), std::chrono::nanoseconds(0));
    bucket.spend(4000);
    QCOMPARE(bucket.available(now + 1s), 1000);

    // Many clients at once: each bucket is its own.
    std::vector<TokenBucket> clients(100, TokenBucket(budget, now));
    for (std::size_t i = 0; i < clients.size(); ++i)
        clients[i].spend(qint64(i) * 40);
    for (std::size_t i = 0; i < clients.size(); ++i)
        QCOMPARE(clients[i].available(now + 1ms), std::min<qint64>(4000, 4000 - qint64(i) * 40 + 1));
}

QTEST_GUILESS_MAIN(TestSocketSlotArray)
#include "tst_socket_slot_array.moc"
