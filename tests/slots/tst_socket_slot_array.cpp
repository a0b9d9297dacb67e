#include "address_ledger.h"
#include "listener.h"
#include "loopback.h"
#include "socket_slot_array.h"

#include <QtTest>

#include <numeric>

#include <arpa/inet.h>
#include <poll.h>

namespace {

using namespace std::chrono_literals;

// The server's end of the connection from a client's port, found among this
// process's descriptors, as poll() finds it: POLLIN while bytes
// wait unread, POLLRDHUP once the client has closed.
short atServer(quint16 clientPort)
{
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in6 peer {};
        socklen_t size = sizeof peer;
        pollfd end { fd, POLLIN | POLLRDHUP, 0 };
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0
            && ntohs(peer.sin6_port) == clientPort)
            return ::poll(&end, 1, 0) == 1 ? end.revents : 0;
    }
    return 0;
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
        QCOMPARE_GT(dropped, cap);
        QCOMPARE_LE(dropped, 2 * cap);
    }

    // A handler's yield runs what is waiting from cheap addresses, one
    // handler deep: the one it runs reads nothing more. Departures and the
    // messages of an address not served before, of one whose own message is
    // being handled, of one whose last two messages each cost more than two
    // messages a client (one such message is forgiven, as a join before chat
    // lines), and of one that has spent much lately, wait for the loop
    // itself. Yields from the window nest too, but only so deep.
    void yieldsRunWhatIsWaiting()
    {
        Served s;
        s.server.setBudgets({ 64, 64 * 1024 }, SocketSlotArray::defaultSendBudget);
        s.server.setYieldIntervals(0us, 0us);
        Client a = s.connect("127.0.0.2"), b = s.connect("127.0.0.3"), d = s.connect("127.0.0.4"),
               fresh = s.connect("127.0.0.5"), costly = s.connect("127.0.0.6"),
               busy = s.connect("127.0.0.7"), leaver = s.connect("127.0.0.8");
        QVERIFY(a && b && d && fresh && costly && busy && leaver);
        int depth = 0;
        QList<std::pair<QByteArray, int>> handled; // what, and how deep in handlers
        const auto handledBytes = [&] {
            return std::accumulate(handled.begin(), handled.end(), qsizetype(0),
                [](qsizetype sum, const auto& h) { return sum + h.first.size(); });
        };
        const auto yieldUntil = [&](const std::function<bool()>& done) {
            QDeadlineTimer deadline(timeoutMs);
            while (!done() && !deadline.hasExpired())
                s.server.DoEvents();
            s.server.DoEvents();
        };
        const auto waiting
            = [](QTcpSocket* client) { return atServer(client->localPort()) & POLLIN; };
        // What a's handler has clients send besides b's, none of it to be read inside.
        const std::pair<QTcpSocket*, QByteArray> held[]
            = { { a.get(), "again" }, { fresh.get(), "fresh" }, { costly.get(), "costly again" },
                  { busy.get(), "busy again" } };
        connect(&s.server, &SlotArray::peerClosed, this, [&] {
            handled.append({ "closed", depth });
        });
        connect(&s.server, &SlotArray::dataArrival, this, [&](int index) {
            const QByteArray message = s.server.GetData(index);
            handled.append({ message, depth++ });
            if (message == "costly") {
                for (int i = 0; i < 100; ++i)
                    s.server.SendData(index, "x");
            } else if (message == "a") {
                b->write("b");
                for (const auto& [client, bytes] : held)
                    client->write(bytes);
                const quint16 leaverPort = leaver->localPort();
                leaver->disconnectFromHost();
                yieldUntil([&] {
                    return handled.size() == 3 && (atServer(leaverPort) & POLLRDHUP)
                        && std::all_of(std::begin(held), std::end(held),
                            [&](const auto& h) { return waiting(h.first); });
                });
            } else if (message == "b") {
                d->write("d");
                yieldUntil([&] { return waiting(d.get()); });
            }
            --depth;
        });
        for (Client* client : { &a, &d, &leaver })
            (*client)->write("hi");
        busy->write(QByteArray(60000, 'k')); // its refill takes a quarter of an hour
        b->write("costly"); // once only, as a join before chat lines
        costly->write("costly");
        QTRY_COMPARE_WITH_TIMEOUT(handledBytes(), 60018, timeoutMs);
        costly->write("costly");
        QTRY_COMPARE_WITH_TIMEOUT(handledBytes(), 60024, timeoutMs);
        handled.clear();
        a->write("a");
        QTRY_COMPARE_WITH_TIMEOUT(handled.size(), 8, timeoutMs);
        std::sort(handled.begin() + 3, handled.end());
        QCOMPARE(handled,
            (QList<std::pair<QByteArray, int>> { { "a", 0 }, { "b", 1 }, { "d", 1 }, { "again", 0 },
                { "busy again", 0 }, { "closed", 0 }, { "costly again", 0 }, { "fresh", 0 } }));

        int windowDepth = 0, deepest = 0, posted = 0;
        std::function<void()> yieldingEvent = [&] {
            deepest = std::max(deepest, ++windowDepth);
            if (++posted < 2 * SocketSlotArray::maxYieldDepth)
                QTimer::singleShot(0, this, yieldingEvent);
            s.server.DoEvents();
            --windowDepth;
        };
        yieldingEvent();
        QTRY_COMPARE_WITH_TIMEOUT(posted, 2 * SocketSlotArray::maxYieldDepth, timeoutMs);
        QCOMPARE(deepest, SocketSlotArray::maxYieldDepth + 1);
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
        QCOMPARE_LT(s.server.readyEvents() - events, 100);

        refilled->write(flood);
        QTRY_COMPARE_WITH_TIMEOUT(s.read.at(2).size(), flood.size(), timeoutMs);
        QCOMPARE(s.read.at(2), flood);
    }

    // Connections from one address share its account, which earns its budget
    // back at the budget's rate, after a debt, and no more than the burst; it
    // is forgotten once nothing holds it and it owes nothing. A listener
    // that shares the ledger says when its epoll descriptor refuses it.
    void ledgerAndListener()
    {
        AddressLedger::Clock::time_point now;
        AddressLedger ledger({ 1000, 4000 }, { 100, 1000 });
        in6_addr address {};
        inet_pton(AF_INET6, "::ffff:127.0.0.2", &address);
        AddressLedger::Account& a = ledger.hold(address, now);
        QCOMPARE(&ledger.hold(address, now), &a);
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

        Listener listener(-1, ledger, [](const Arrival&) {});
        QVERIFY(!listener.bind(0));
        QCOMPARE(listener.listen().code, EBADF);
        QCOMPARE(listener.state(), int(SlotArray::sckOpen));
    }
};

QTEST_GUILESS_MAIN(TestSocketSlotArray)
#include "tst_socket_slot_array.moc"
