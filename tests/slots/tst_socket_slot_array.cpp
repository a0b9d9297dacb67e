#include "address_ledger.h"
#include "listener.h"
#include "loopback.h"
#include "socket_slot_array.h"

#include <QtTest>

#include <cstring>
#include <numeric>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// The server's end of the connection from a client's port, found among this
// process's descriptors; -1 when there is none.
int serverEnd(quint16 clientPort)
{
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in6 peer {};
        socklen_t size = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0
            && ntohs(peer.sin6_port) == clientPort)
            return fd;
    }
    return -1;
}

// That end as poll() finds it: POLLIN while bytes wait unread, POLLRDHUP once
// the client has closed.
short atServer(quint16 clientPort)
{
    pollfd end { serverEnd(clientPort), POLLIN | POLLRDHUP, 0 };
    return end.fd >= 0 && ::poll(&end, 1, 0) == 1 ? end.revents : 0;
}

// What the slot array's epoll instance watches `fd` for, as the kernel lists
// it; 0 when it is not watched.
quint32 watchedEvents(int fd)
{
    for (const QString& name : QDir("/proc/self/fd").entryList(QDir::System)) {
        char target[64] = {};
        const QByteArray link = "/proc/self/fd/" + name.toLatin1();
        if (::readlink(link.constData(), target, sizeof target - 1) < 0
            || std::strcmp(target, "anon_inode:[eventpoll]") != 0)
            continue;
        QFile info("/proc/self/fdinfo/" + name);
        if (!info.open(QIODevice::ReadOnly))
            return 0;
        const QRegularExpression entry(QString("^tfd:\\s+%1\\s+events:\\s+([0-9a-f]+)").arg(fd),
            QRegularExpression::MultilineOption);
        const QRegularExpressionMatch match = entry.match(QString::fromLatin1(info.readAll()));
        return match.hasMatch() ? match.captured(1).toUInt(nullptr, 16) : 0;
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
                QVERIFY(!server.Load(server.lastSlot() + 1));
                QVERIFY(!server.Accept(server.lastSlot(), request));
                read.append(QByteArray());
            });
        QVERIFY(!server.Bind(0, reserved.port));
        QVERIFY(!server.Listen(0));
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
    // while one that reads is not. Past the ceiling on all unsent output, the
    // clients holding most are cut off until it fits, each under its cap. A
    // client that sends its last line and closes fails the next write to it;
    // what it sent is still handled, before its departure.
    void writesThatFail()
    {
        Served s(true);
        constexpr qsizetype cap = 256 * 1024;
        s.server.setOutputCap(cap);
        s.server.setOutputCeiling(3 * cap / 2);
        // Every yield ends a turn, so that what the reader is sent goes out.
        s.server.setYieldIntervals(0us, 0us);
        Client idle = s.connect(), reader = s.connect(), most = s.connect(), less = s.connect();
        QVERIFY(idle && reader && most && less);
        for (Client* client : { &idle, &most, &less })
            (*client)->setReadBufferSize(1);
        QSignalSpy closes(&s.server, &SlotArray::peerClosed);
        const QByteArray message(1024, 'x');
        qint64 sent = 0;
        // The kernel's buffers take a few MiB before a cap is reached.
        const auto sendUntil = [&](int slot, const std::function<bool()>& done) {
            for (int i = 0; i < 64 * 1024 && !done(); ++i) {
                sent += s.server.SendData(slot, message) ? 0 : message.size();
                if (i % 16 == 0) {
                    QVERIFY(!s.server.SendData(2, message));
                    s.server.DoEvents();
                }
            }
        };
        sendUntil(1, [&] { return s.server.State(1) != SlotArray::sckConnected; });
        QTRY_COMPARE_WITH_TIMEOUT(closes.size(), 1, timeoutMs);
        QCOMPARE(closes.at(0).at(0).toInt(), 1);
        idle->setReadBufferSize(0);
        QTRY_COMPARE_WITH_TIMEOUT(idle->state(), QAbstractSocket::UnconnectedState, timeoutMs);
        const qint64 dropped = sent + message.size() - idle->bytesAvailable();
        QCOMPARE_GT(dropped, cap);
        QCOMPARE_LE(dropped, 2 * cap);

        sendUntil(3, [&] { return s.server.queuedOutput() > 3 * cap / 4; });
        sendUntil(4, [&] { return s.server.State(3) != SlotArray::sckConnected; });
        QCOMPARE(std::pair(s.server.State(3), s.server.State(4)),
            std::pair(int(SlotArray::sckClosed), int(SlotArray::sckConnected)));

        QByteArray readBeforeClose = "(not closed)";
        QObject::connect(&s.server, &SlotArray::peerClosed, &s.server,
            [&](int index) { readBeforeClose = s.read.at(index); });
        Client leaver = s.connect();
        QVERIFY(leaver);
        pollfd reset { serverEnd(leaver->localPort()), 0, 0 };
        leaver->write("bye");
        QVERIFY(leaver->waitForBytesWritten(timeoutMs));
        leaver->close();
        // Its closed socket answers what it is sent with a reset, waited for
        // without the server reading: a yield outside handlers reads nothing,
        // but ends the turn, and the write fails at the next one.
        QVERIFY(!s.server.SendData(5, "NEWLIST"));
        s.server.DoEvents();
        QCOMPARE(::poll(&reset, 1, timeoutMs), 1);
        QVERIFY(!s.server.SendData(5, "NEWUSER:ann"));
        s.server.DoEvents();
        QCOMPARE(s.server.State(5), int(SlotArray::sckClosing));
        QTRY_COMPARE_WITH_TIMEOUT(readBeforeClose, "bye", timeoutMs);
    }

    // One address holds so many connections at most, those greeted and those
    // waiting together; past it a connection is closed unanswered, while
    // another address is served, and once one of its own has gone, a new one
    // is taken. A stop while waiting connections are greeted closes the rest.
    void connectionsPerAddress()
    {
        Served s;
        s.server.setConnectionsPerAddress(2);
        QSignalSpy requests(&s.server, &SlotArray::connectionRequest);
        Client a1 = s.connect("127.0.0.2"), a2 = s.connect("127.0.0.2");
        Client a3 = connectClient(s.reserved.port, "127.0.0.2");
        QTRY_COMPARE_WITH_TIMEOUT(a3->state(), QAbstractSocket::UnconnectedState, timeoutMs);
        QVERIFY(a1 && a2 && s.connect("127.0.0.3"));
        a1->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(s.server.State(1), int(SlotArray::sckClosed), timeoutMs);
        QVERIFY(s.connect("127.0.0.2"));

        // Each greeting spends what its address may send for a while, for
        // good from 127.0.0.4, so that the next connection of each waits.
        QObject::connect(&s.server, &SlotArray::connectionRequest, &s.server, [&] {
            QVERIFY(!s.server.SendData(s.server.lastSlot(), "NICK"));
            if (requests.size() == 8)
                s.server.Close(0);
        });
        s.server.setBudgets(SocketSlotArray::defaultInputBudget, { 0, 1 });
        Client b1 = s.connect("127.0.0.4"), b2 = connectClient(s.reserved.port, "127.0.0.4"),
               b3 = connectClient(s.reserved.port, "127.0.0.4");
        QTRY_COMPARE_WITH_TIMEOUT(b3->state(), QAbstractSocket::UnconnectedState, timeoutMs);
        QCOMPARE(std::pair(int(requests.size()), s.server.waitingConnections()), std::pair(5, 1));
        s.server.setBudgets(SocketSlotArray::defaultInputBudget, { 20, 1 });
        QVERIFY(s.connect("127.0.0.5") && s.connect("127.0.0.6"));
        Client c2 = connectClient(s.reserved.port, "127.0.0.5"),
               d2 = connectClient(s.reserved.port, "127.0.0.6");
        QTRY_VERIFY_WITH_TIMEOUT(s.server.waitingConnections() == 0
                && (c2->state() == QAbstractSocket::UnconnectedState
                    || d2->state() == QAbstractSocket::UnconnectedState),
            timeoutMs);
        QCOMPARE(requests.size(), 8);
    }

    // A cheap handler's yield runs nothing: what arrives waits its turn. A
    // costly handler's (more than two messages a client) runs what is
    // waiting from cheap addresses, one handler deep: the one it runs reads
    // nothing more. Departures and the messages of an address not served
    // before, of one whose own message is being handled, of one whose last
    // two messages each cost more than two messages a client (one such
    // message is forgiven, as a join before chat lines), and of one that has
    // spent much lately, wait for the loop itself. Yields from the window
    // nest too, but only so deep.
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
                    QVERIFY(!s.server.SendData(index, "x"));
            } else if (message == "a") {
                for (int i = 0; i < 3 * s.server.openConnections(); ++i)
                    QVERIFY(!s.server.SendData(index, "x"));
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
        b->write("b");
        QTRY_COMPARE_WITH_TIMEOUT(handled.size(), 2, timeoutMs);
        QCOMPARE(handled, (QList<std::pair<QByteArray, int>> { { "b", 0 }, { "d", 0 } }));
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
            if (++posted < 2 * HandlerGate::maxYieldDepth)
                QTimer::singleShot(0, this, yieldingEvent);
            s.server.DoEvents();
            --windowDepth;
        };
        yieldingEvent();
        QTRY_COMPARE_WITH_TIMEOUT(posted, 2 * HandlerGate::maxYieldDepth, timeoutMs);
        QCOMPARE(deepest, HandlerGate::maxYieldDepth + 1);
    }

    // What a handler sends a client waits for the end of the turn, which
    // writes it out before the next turn starts. A stream too large for the
    // kernel to take at once goes out in parts as the client reads, byte for
    // byte and in order, beside another client's messages.
    void outputCoalescedPerTurn()
    {
        Served s;
        s.server.setOutputCap(64 * 1024 * 1024);
        Client a = s.connect(), b = s.connect();
        QVERIFY(a && b);
        QByteArrayList parts;
        for (int i = 0; i < 5000; ++i) {
            parts.append(QByteArray(1 + i * 37 % 3000, Qt::Uninitialized));
            for (qsizetype j = 0; j < parts.last().size(); ++j)
                parts.last()[j] = char(i + j);
        }
        QByteArray toA;
        qsizetype queuedInTurn = -1, queuedNextTurn = -1;
        connect(&s.server, &SlotArray::dataArrival, this, [&](int index) {
            const QByteArray message = s.server.GetData(index);
            if (message == "turn") {
                for (const char* part : { "one", "two", "three" })
                    QVERIFY(!s.server.SendData(2, part));
                queuedInTurn = s.server.queuedOutput();
            } else if (message == "next") {
                queuedNextTurn = s.server.queuedOutput();
            } else if (message == "stream") {
                for (const QByteArray& part : parts) {
                    QVERIFY(!s.server.SendData(2, part));
                    QVERIFY(!s.server.SendData(1, QByteArray::number(part.size())));
                }
            }
        });
        const auto receives = [](QTcpSocket& client, const QByteArray& bytes) {
            return QTest::qWaitFor(
                       [&] { return client.bytesAvailable() >= bytes.size(); }, timeoutMs)
                && client.readAll() == bytes;
        };
        a->write("turn");
        QVERIFY(receives(*b, "onetwothree"));
        a->write("next");
        QTRY_VERIFY_WITH_TIMEOUT(queuedNextTurn >= 0, timeoutMs);
        QCOMPARE(std::pair(queuedInTurn, queuedNextTurn), std::pair(qsizetype(11), qsizetype(0)));

        a->write("stream");
        QVERIFY(receives(*b, parts.join()));
        for (const QByteArray& part : parts)
            toA += QByteArray::number(part.size());
        QVERIFY(receives(*a, toA));
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
        QCOMPARE(watchedEvents(serverEnd(held->localPort())) & EPOLLIN, 0u);

        refilled->write(flood);
        QTRY_COMPARE_WITH_TIMEOUT(s.read.at(2).size(), flood.size(), timeoutMs);
        QCOMPARE(s.read.at(2), flood);
    }

    // Connections from one machine (an IPv4 address, an IPv6 /64) share its
    // account, which earns its budget back at the budget's rate, after a
    // debt, and no more than the burst; it is forgotten once nothing holds it
    // and it owes nothing. A listener
    // that shares the ledger says when its epoll descriptor refuses it.
    void ledgerAndListener()
    {
        AddressLedger::Clock::time_point now;
        AddressLedger ledger({ 1000, 4000 }, { 100, 1000 });
        const auto held = [&](const char* text) {
            in6_addr address {};
            inet_pton(AF_INET6, text, &address);
            return &ledger.hold(address, now);
        };
        AddressLedger::Account& a = *held("::ffff:127.0.0.2");
        QCOMPARE(held("::ffff:127.0.0.2"), &a);
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
        QCOMPARE(held("2001:db8:1:2::1"), held("2001:db8:1:2:a:b:c:d"));
        QVERIFY(held("2001:db8:1:2::1") != held("2001:db8:1:3::1"));

        EpollWatches refusing(-1);
        Listener listener(refusing, ledger, 1, [](const Arrival&) {});
        QVERIFY(!listener.bind(0));
        QCOMPARE(listener.listen().code, EBADF);
        QCOMPARE(listener.state(), int(SlotArray::sckOpen));
    }
};

QTEST_GUILESS_MAIN(TestSocketSlotArray)
#include "tst_socket_slot_array.moc"
