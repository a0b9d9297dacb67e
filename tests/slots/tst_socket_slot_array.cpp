#include "address_ledger.h"
#include "loopback.h"
#include "socket_slot_array.h"
#include "token_bucket.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <arpa/inet.h>

namespace {

constexpr int timeoutMs = 10000;

// Listens on a free port and accepts every connection into the next slot, as
// the engine does; returns the port.
in6_addr ipv4(const char* dotted)
{
    in6_addr address {};
    address.s6_addr[10] = address.s6_addr[11] = 0xff;
    inet_pton(AF_INET, dotted, &address.s6_addr[12]);
    return address;
}

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

    // An address busy with costly messages waits for the loop itself: a
    // handler's yields run others' events, never its. Here one address
    // spends over half a second of its send budget; the next message it
    // sends arrives while another's handler yields, and is handled only
    // once that handler is done.
    void busyAddressIsNotReadInsideAHandler()
    {
        SocketSlotArray server;
        server.setBudgets(SocketSlotArray::defaultInputBudget, { 10, 1000 });
        const quint16 port = listenAndAccept(server);
        Client busy = connectClient(port, "127.0.0.2");
        Client other = connectClient(port, "127.0.0.3");
        QTRY_COMPARE_WITH_TIMEOUT(server.lastSlot(), 2, timeoutMs);
        int depth = 0;
        QList<std::pair<QByteArray, int>> handled; // what, and how deep in handlers
        connect(&server, &SlotArray::dataArrival, this, [&](int index) {
            const QByteArray message = server.GetData(index);
            handled.append({ message, depth });
            ++depth;
            if (message == "costly") {
                for (int i = 0; i < 600; ++i)
                    server.SendData(2, "x");
            } else if (message == "hold") {
                busy->write("again");
                busy->flush();
                for (int pass = 0; pass < 100; ++pass) {
                    QThread::usleep(200);
                    server.DoEvents();
                }
            }
            --depth;
        });
        busy->write("costly");
        QTRY_COMPARE_WITH_TIMEOUT(handled.size(), 1, timeoutMs);
        other->write("hold");
        QTRY_COMPARE_WITH_TIMEOUT(handled.size(), 3, timeoutMs);
        QCOMPARE(handled,
            (QList<std::pair<QByteArray, int>> { { "costly", 0 }, { "hold", 0 }, { "again", 0 } }));
    }

    // Connections from one address share its account, which pays for what
    // is read and sent for it, earns its budget back over time, and is
    // forgotten once nothing holds it and its budgets are full again.
    void addressLedger()
    {
        using namespace std::chrono_literals;
        AddressLedger::Clock::time_point now;
        AddressLedger ledger({ 1000, 4000 }, { 100, 1000 });
        AddressLedger::Account& a = ledger.hold(ipv4("127.0.0.2"), now);
        AddressLedger::Account& b = ledger.hold(ipv4("127.0.0.3"), now);
        QCOMPARE(&ledger.hold(ipv4("127.0.0.2"), now), &a);
        QCOMPARE(ledger.size(), 2);

        a.messages.spend(1000 - 4); // a twentieth of a second's worth, 5, is needed to be read
        QVERIFY(!ledger.mayRead(a, now) && ledger.mayRead(b, now));
        now += 10ms;
        QVERIFY(ledger.mayRead(a, now));
        QVERIFY(ledger.isBusy(a, now) && !ledger.isBusy(b, now));
        b.bytes.spend(4000 - 49);
        QVERIFY(!ledger.mayRead(b, now));

        for (AddressLedger::Account* held : { &a, &a, &b })
            ledger.release(*held, now);
        QCOMPARE(ledger.forgetSettled(now), 2);
        now += 4s;
        QCOMPARE(ledger.forgetSettled(now), 1); // b's bytes are back, a's messages not yet
        now += 7s;
        QCOMPARE(ledger.forgetSettled(now), 0);
        QCOMPARE(ledger.size(), 0);
        AddressLedger::Account& c = ledger.hold(ipv4("127.0.0.4"), now);
        ledger.release(c, now);
        QCOMPARE(ledger.size(), 0); // nothing owed: forgotten at once
    }

    // With the server's budgets: an ordinary client, with 1,000 clients
    // connected and as many in the roster, joins once and sends a line a
    // second for an hour, and is never held back; one that sends all it may
    // gets no more than the burst and a tenth of the server's sending.
    void defaultBudgets()
    {
        using namespace std::chrono_literals;
        constexpr int clients = 1000;
        AddressLedger::Clock::time_point now;
        AddressLedger ledger(
            SocketSlotArray::defaultInputBudget, SocketSlotArray::defaultSendBudget);
        AddressLedger::Account& ordinary = ledger.hold(ipv4("127.0.0.2"), now);
        ordinary.messages.spend(clients * (2 + clients + 1));
        for (int second = 0; second < 3600; ++second) {
            now += 1s;
            QVERIFY(ledger.mayRead(ordinary, now));
            ordinary.bytes.spend(100);
            ordinary.messages.spend(clients);
        }
        AddressLedger::Account& greedy = ledger.hold(ipv4("127.0.0.3"), now);
        qint64 sent = 0;
        for (int ms = 0; ms < 100'000; ++ms, now += 1ms) {
            if (ledger.mayRead(greedy, now)) {
                greedy.messages.spend(clients);
                sent += clients;
            }
        }
        const Budget sends = SocketSlotArray::defaultSendBudget;
        QVERIFY2(sent <= sends.burst + 100 * sends.perSecond + clients,
            qPrintable(QString::number(sent)));
    }

    // 1,000 bytes a second, bursts of 4,000, on a clock the test moves.
    void tokenBucket()
    {
        using namespace std::chrono_literals;
        TokenBucket::Clock::time_point now;
        TokenBucket bucket({ 1000, 4000 }, now);
        bucket.spend(bucket.available(now) + 500); // into debt, paid off first
        now += 500ms;
        QCOMPARE(bucket.available(now), 0);
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
