#include "loopback.h"
#include "socket_slot_array.h"
#include "token_bucket.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

constexpr int timeoutMs = 10000;

// Listens on a free port and accepts every connection into the next slot, as
// the engine does; returns the port.
quint16 listenAndAccept(SocketSlotArray& array)
{
    QObject::connect(&array, &SlotArray::connectionRequest, &array, [&array](int, qint32 request) {
        array.Load(array.lastSlot() + 1);
        array.Accept(array.lastSlot(), request);
    });
    const quint16 port = freePort();
    array.Bind(0, port);
    array.Listen(0);
    return port;
}

Client accepted(SocketSlotArray& array, quint16 port)
{
    const int before = array.lastSlot();
    Client client = connectClient(port);
    return QTest::qWaitFor([&] { return array.lastSlot() > before; }, timeoutMs) ? std::move(client) : nullptr;
}

} // namespace

class TestSocketSlotArray : public QObject {
    Q_OBJECT

private slots:
    // Output that a client does not read piles up to the cap; past it the
    // client is cut off and loses what was queued, no more than twice the cap.
    void clientThatStopsReadingIsCutOff()
    {
        SocketSlotArray server;
        const quint16 port = listenAndAccept(server);
        constexpr qsizetype cap = 256 * 1024;
        server.setOutputCap(cap);
        Client idle = accepted(server, port);
        Client reader = accepted(server, port);
        QVERIFY(idle && reader);
        idle->setReadBufferSize(1);
        QSignalSpy closes(&server, &SlotArray::peerClosed);
        const QByteArray message(1024, 'x');
        qint64 handedOver = 0;
        qint64 refused = 0;
        // The kernel's buffers take a few MiB before the cap is reached.
        for (int i = 0; i < 64 * 1024 && server.State(1) == SlotArray::sckConnected; ++i) {
            (server.SendData(1, message) ? refused : handedOver) += message.size();
            if (i % 16 == 0) {
                QVERIFY(!server.SendData(2, message));
                server.DoEvents();
            }
        }
        QVERIFY(handedOver > cap);
        QTRY_COMPARE_WITH_TIMEOUT(closes.size(), 1, timeoutMs);
        QCOMPARE(closes.at(0).at(0).toInt(), 1);
        QCOMPARE(server.nextConnected(0), 2);
        idle->setReadBufferSize(0);
        QTRY_COMPARE_WITH_TIMEOUT(idle->state(), QAbstractSocket::UnconnectedState, timeoutMs);
        const qint64 dropped = handedOver + refused - idle->bytesAvailable();
        QVERIFY2(dropped > cap && dropped <= 2 * cap, qPrintable(QString::number(dropped)));
    }

    // Every descriptor comes back and no closed connection keeps an entry.
    void manyConnectCloseCycles()
    {
        SocketSlotArray server;
        const quint16 port = listenAndAccept(server);
        QSignalSpy closes(&server, &SlotArray::peerClosed);
        const int descriptors = openDescriptors();
        for (int cycle = 0; cycle < 100; ++cycle) {
            std::vector<Client> clients(100);
            for (Client& client : clients)
                client = connectClient(port);
            QVERIFY(QTest::qWaitFor([&] { return server.openConnections() == 100; }, timeoutMs));
            clients.clear();
            QVERIFY(QTest::qWaitFor([&] { return closes.size() == 100 * (cycle + 1); }, timeoutMs));
        }
        QCOMPARE(server.openConnections(), 0);
        QCOMPARE(openDescriptors(), descriptors);
    }

    // Every handler yields, and many clients have data waiting: without a cap
    // the handlers would nest once per waiting client.
    void yieldNestingIsCapped()
    {
        SocketSlotArray server;
        const quint16 port = listenAndAccept(server);
        std::vector<Client> clients;
        for (int i = 0; i < 3 * SocketSlotArray::maxYieldDepth; ++i)
            clients.push_back(accepted(server, port));
        int depth = 0;
        int deepest = 0;
        int handled = 0;
        connect(&server, &SlotArray::dataArrival, this, [&](int index) {
            server.GetData(index);
            ++handled;
            deepest = std::max(deepest, ++depth);
            server.DoEvents();
            --depth;
        });
        for (Client& client : clients)
            client->write("hello");
        QTRY_COMPARE_WITH_TIMEOUT(handled, int(clients.size()), timeoutMs);
        QVERIFY2(deepest > 1 && deepest <= SocketSlotArray::maxYieldDepth + 1, qPrintable(QString::number(deepest)));
    }

    // A yield need not look for events every time, but a window event and a
    // new connection raised while a handler sends and yields are handled
    // before the handler is done.
    void eventsRunDuringLongBroadcast()
    {
        SocketSlotArray server;
        const quint16 port = listenAndAccept(server);
        Client reader = accepted(server, port);
        bool timerRan = false;
        Client newcomer;
        int sent = 0;
        for (; sent < 200000 && !(timerRan && server.lastSlot() == 2); ++sent) {
            server.SendData(1, "x");
            server.DoEvents();
            if (sent == 100) {
                QTimer::singleShot(0, this, [&] { timerRan = true; });
                newcomer = connectClient(port);
            }
        }
        QVERIFY2(sent < 200000, "the events waited for the broadcast to end");
    }

    // 1,000 bytes a second, bursts of 4,000, on a clock the test moves.
    void tokenBucket()
    {
        using namespace std::chrono_literals;
        TokenBucket::Clock::time_point now;
        TokenBucket bucket({ 1000, 4000 }, now);
        bucket.spend(bucket.available(now));
        QCOMPARE(bucket.timeUntil(500, now), std::chrono::nanoseconds(500ms));
        // A client that takes exactly the rate in small steps is never short nor ahead.
        for (int step = 0; step < 1000; ++step) {
            now += 3ms;
            QCOMPARE(bucket.available(now), 3);
            bucket.spend(3);
        }
        now += 24h; // a long idle refills no more than the burst
        QCOMPARE(bucket.available(now), 4000);
        QCOMPARE(bucket.timeUntil(4000, now), std::chrono::nanoseconds(0));
    }
};

QTEST_GUILESS_MAIN(TestSocketSlotArray)
#include "tst_socket_slot_array.moc"
