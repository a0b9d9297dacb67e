#include "loopback.h"
#include "socket_slot_array.h"
#include "token_bucket.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>
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
        Client idle = connectClient(port);
        Client reader = connectClient(port);
        QTRY_COMPARE_WITH_TIMEOUT(server.lastSlot(), 2, timeoutMs); // accepted in that order
        idle->setReadBufferSize(1);
        QSignalSpy closes(&server, &SlotArray::peerClosed);
        const QByteArray message(1024, 'x');
        qint64 sent = 0;
        // The kernel's buffers take a few MiB before the cap is reached.
        for (int i = 0; i < 64 * 1024 && server.State(1) == SlotArray::sckConnected; ++i) {
            server.SendData(1, message);
            sent += message.size();
            if (i % 16 == 0) {
                QVERIFY(!server.SendData(2, message));
                server.DoEvents();
            }
        }
        QVERIFY(sent > cap);
        QTRY_COMPARE_WITH_TIMEOUT(closes.size(), 1, timeoutMs);
        QCOMPARE(closes.at(0).at(0).toInt(), 1);
        idle->setReadBufferSize(0);
        QTRY_COMPARE_WITH_TIMEOUT(idle->state(), QAbstractSocket::UnconnectedState, timeoutMs);
        const qint64 dropped = sent - idle->bytesAvailable();
        QVERIFY2(dropped > cap && dropped <= 2 * cap, qPrintable(QString::number(dropped)));
    }

    // Every handler yields: with many clients' data waiting, handlers nest,
    // but only so deep. And though a yield need not look for events every
    // time, a window event and a new connection raised while a handler sends
    // and yields are handled before the handler is done.
    void yieldsRunWhatIsWaiting()
    {
        SocketSlotArray server;
        const quint16 port = listenAndAccept(server);
        std::vector<Client> clients;
        for (int i = 0; i < 3 * SocketSlotArray::maxYieldDepth; ++i)
            clients.push_back(connectClient(port));
        QTRY_COMPARE_WITH_TIMEOUT(server.openConnections(), int(clients.size()), timeoutMs);
        int depth = 0;
        int deepest = 0;
        int handled = 0;
        connect(&server, &SlotArray::dataArrival, this, [&](int index) {
            server.GetData(index);
            ++handled;
            deepest = std::max(deepest, ++depth);
            QThread::usleep(100); // long enough for the yield to look for sockets again
            server.DoEvents();
            --depth;
        });
        for (Client& client : clients)
            client->write("hello");
        QTRY_COMPARE_WITH_TIMEOUT(handled, int(clients.size()), timeoutMs);
        QVERIFY2(deepest > 1 && deepest <= SocketSlotArray::maxYieldDepth + 1,
            qPrintable(QString::number(deepest)));

        bool timerRan = false;
        QTimer::singleShot(0, this, [&] { timerRan = true; });
        const int lastSlot = server.lastSlot();
        clients.push_back(connectClient(port));
        int sent = 0;
        for (; sent < 200000 && !(timerRan && server.lastSlot() > lastSlot); ++sent) {
            server.SendData(1, "x");
            server.DoEvents();
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
    }
};

QTEST_GUILESS_MAIN(TestSocketSlotArray)
#include "tst_socket_slot_array.moc"
