#include "address_ledger.h"
#include "listener.h"
#include "loopback.h"
#include "socket_slot_array.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>

namespace {

using namespace std::chrono_literals;

constexpr int timeoutMs = 20000;

in6_addr ipv4(const char* dotted)
{
    in6_addr address {};
    address.s6_addr[10] = address.s6_addr[11] = 0xff;
    inet_pton(AF_INET, dotted, &address.s6_addr[12]);
    return address;
}

// The slot array listening, accepting every connection into the next slot as
// the engine does, and where asked, recording what each slot's handler reads.
struct Served {
    ReservedPort reserved;
    SocketSlotArray server;
    QByteArrayList read = QByteArrayList(1);

    explicit Served(bool recordReads = false)
    {
        if (recordReads)
            QObject::connect(&server, &SlotArray::dataArrival, &server,
                [this](int index) { read[index] += server.GetData(index); });
        QObject::connect(
            &server, &SlotArray::connectionRequest, &server, [this](int, qint32 request) {
                server.Load(server.lastSlot() + 1);
                server.Accept(server.lastSlot(), request);
                read.append(QByteArray());
            });
        server.Bind(0, reserved.port);
        server.Listen(0);
    }
    // Its slot exists when this returns.
    Client connect(const char* from = "127.0.0.1")
    {
        Client client = connectClient(reserved.port, from);
        const int last = server.lastSlot();
        return QTest::qWaitFor([&] { return server.lastSlot() > last; }, timeoutMs)
            ? std::move(client)
            : nullptr;
    }
};

} // namespace

class TestSocketSlotArray : public QObject {
    Q_OBJECT

private slots:
    // Output that a client does not read piles up to the cap; past it the
    // client is cut off and loses what was queued, no more than twice the cap,
    // while one that reads is not.
    void clientThatStopsReadingIsCutOff()
    {
        Served s;
        constexpr qsizetype cap = 256 * 1024;
        s.server.setOutputCap(cap);
        Client idle = s.connect();
        Client reader = s.connect();
        QVERIFY(idle && reader);
        idle->setReadBufferSize(1);
        QSignalSpy closes(&s.server, &SlotArray::peerClosed);
        const QByteArray message(1024, 'x');
        qint64 sent = 0;
        // The kernel's buffers take a few MiB before the cap is reached.
        for (int i = 0; i < 64 * 1024 && s.server.State(1) == SlotArray::sckConnected; ++i) {
            s.server.SendData(1, message);
            sent += message.size();
            if (i % 16 == 0) {
                QVERIFY(!s.server.SendData(2, message));
                s.server.DoEvents();
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(closes.size(), 1, timeoutMs);
        QCOMPARE(closes.at(0).at(0).toInt(), 1);
        idle->setReadBufferSize(0);
        QTRY_COMPARE_WITH_TIMEOUT(idle->state(), QAbstractSocket::UnconnectedState, timeoutMs);
        const qint64 dropped = sent - idle->bytesAvailable();
        QVERIFY2(dropped > cap && dropped <= 2 * cap, qPrintable(QString::number(dropped)));
    }

    // With many clients' data waiting, every handler's yield runs the next
    // one: handlers nest, but only so deep. And where a yield looks for events
    // only now and then, a window event and a new connection raised while a
    // handler sends and yields are still handled before it is done.
    void yieldsRunWhatIsWaiting()
    {
        Served s;
        s.server.setYieldIntervals(0us, 0us);
        std::vector<Client> clients;
        for (int i = 0; i < 3 * SocketSlotArray::maxYieldDepth; ++i)
            clients.push_back(s.connect());
        int depth = 0;
        int deepest = 0;
        int handled = 0;
        connect(&s.server, &SlotArray::dataArrival, this, [&](int index) {
            s.server.GetData(index);
            ++handled;
            deepest = std::max(deepest, ++depth);
            s.server.DoEvents();
            --depth;
        });
        for (Client& client : clients) {
            client->write("hello");
            client->flush();
        }
        QTRY_COMPARE_WITH_TIMEOUT(handled, int(clients.size()), timeoutMs);
        QVERIFY2(deepest > 1 && deepest <= SocketSlotArray::maxYieldDepth + 1,
            qPrintable(QString::number(deepest)));

        s.server.setYieldIntervals(SocketSlotArray::defaultSocketCheckInterval,
            SocketSlotArray::defaultWindowPassInterval);
        bool timerRan = false;
        QTimer::singleShot(0, this, [&] { timerRan = true; });
        const int lastSlot = s.server.lastSlot();
        clients.push_back(connectClient(s.reserved.port));
        QDeadlineTimer deadline(timeoutMs);
        while (!(timerRan && s.server.lastSlot() > lastSlot) && !deadline.hasExpired()) {
            s.server.SendData(1, "x");
            s.server.DoEvents();
        }
        QVERIFY2(!deadline.hasExpired(), "the events waited for the handler to end");
    }

    // An address busy with costly messages waits for the loop itself: a
    // handler's yields run others' events, never its. Here one address
    // spends over half a second of its send budget; the next message it
    // sends becomes ready while another's handler yields, is held back, and
    // is handled once that handler is done.
    void busyAddressIsNotReadInsideAHandler()
    {
        Served s;
        s.server.setBudgets(SocketSlotArray::defaultInputBudget, { 10, 1000 });
        s.server.setYieldIntervals(0us, 0us);
        Client busy = s.connect("127.0.0.2");
        Client other = s.connect("127.0.0.3");
        QVERIFY(busy && other);
        int depth = 0;
        QList<std::pair<QByteArray, int>> handled; // what, and how deep in handlers
        connect(&s.server, &SlotArray::dataArrival, this, [&](int index) {
            const QByteArray message = s.server.GetData(index);
            handled.append({ message, depth++ });
            if (message == "costly") {
                for (int i = 0; i < 600; ++i)
                    s.server.SendData(2, "x");
            } else if (message == "hold") {
                busy->write("again");
                QDeadlineTimer deadline(timeoutMs);
                while (s.server.heldBackConnections() == 0 && handled.size() < 3
                    && !deadline.hasExpired())
                    s.server.DoEvents();
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

    // A client over its input budget is read later, not cut off. With a
    // budget that never refills, it is read up to its burst and then held,
    // while another client is read as before and the held socket does not
    // keep the loop busy. With one that refills, every byte arrives in order.
    void inputOverBudgetWaits()
    {
        Served s(true);
        constexpr qsizetype burst = 64 * 1024;
        s.server.setBudgets({ 0, burst }, SocketSlotArray::defaultSendBudget);
        Client held = s.connect("127.0.0.2");
        s.server.setBudgets({ 8 * burst, burst }, SocketSlotArray::defaultSendBudget);
        Client refilled = s.connect("127.0.0.3");
        Client other = s.connect("127.0.0.4");
        QVERIFY(held && refilled && other);
        QByteArray flood(8 * burst, Qt::Uninitialized);
        for (qsizetype i = 0; i < flood.size(); ++i)
            flood[i] = char(i % 251);
        held->write(flood);
        QTRY_COMPARE_WITH_TIMEOUT(s.server.heldBackConnections(), 1, timeoutMs);
        other->write("a short line");
        QTRY_COMPARE_WITH_TIMEOUT(s.read.at(3), "a short line", timeoutMs);
        QCOMPARE(s.read.at(1), flood.first(burst));
        const qint64 events = s.server.readyEvents();
        for (int pass = 0; pass < 1000; ++pass)
            QCoreApplication::processEvents();
        QVERIFY2(s.server.readyEvents() - events < 100,
            qPrintable(QString::number(s.server.readyEvents() - events)));

        refilled->write(flood);
        QTRY_COMPARE_WITH_TIMEOUT(s.read.at(2).size(), flood.size(), timeoutMs);
        QCOMPARE(s.read.at(2), flood);
    }

    // An epoll descriptor that refuses the listener is said, not passed over.
    void refusedEpollIsSaid()
    {
        AddressLedger ledger(
            SocketSlotArray::defaultInputBudget, SocketSlotArray::defaultSendBudget);
        Listener listener(-1, ledger, [](const Arrival&) {});
        const ReservedPort reserved;
        QVERIFY(!listener.bind(reserved.port));
        QCOMPARE(listener.listen().code, EBADF);
        QCOMPARE(listener.state(), int(SlotArray::sckOpen));
    }

    // Connections from one address share its account, which earns its budget
    // back at the budget's rate, after a debt, and no more than the burst; it
    // is forgotten once nothing holds it and it owes nothing.
    void addressLedger()
    {
        AddressLedger::Clock::time_point now;
        AddressLedger ledger({ 1000, 4000 }, { 100, 1000 });
        AddressLedger::Account& a = ledger.hold(ipv4("127.0.0.2"), now);
        QCOMPARE(&ledger.hold(ipv4("127.0.0.2"), now), &a);
        a.bytes.spend(4000 + 500);
        now += 500ms;
        QCOMPARE(a.bytes.available(now), 0);
        for (int step = 0; step < 1000; ++step, now += 3ms) {
            QCOMPARE(a.bytes.available(now), step == 0 ? 0 : 3);
            a.bytes.spend(a.bytes.available(now));
        }
        ledger.release(a, now);
        ledger.release(a, now);
        QCOMPARE(ledger.forgetSettled(now), 1); // unheld, but it still owes
        now += 24h;
        QCOMPARE(a.bytes.available(now), 4000);
        QCOMPARE(ledger.forgetSettled(now), 0);
        QCOMPARE(ledger.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSocketSlotArray)
#include "tst_socket_slot_array.moc"
