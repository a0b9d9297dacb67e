#include "address_ledger.h"
#include "fair_share.h"
#include "handler_gate.h"
#include "listener.h"
#include "loopback.h"
#include "socket_slot_array.h"

#include <QtTest>

#include <atomic>
#include <bit>
#include <list>
#include <numeric>
#include <thread>

#include <arpa/inet.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// The server's end of the connection from a client's port, among this
// process's sockets; -1 when there is none.
int serverEnd(quint16 clientPort)
{
    // Any other descriptor fails getpeername(), or has another peer port.
    for (const QString& fd : openFiles().keys()) {
        sockaddr_in6 peer {};
        socklen_t size = sizeof peer;
        if (::getpeername(fd.toInt(), reinterpret_cast<sockaddr*>(&peer), &size) == 0
            && ntohs(peer.sin6_port) == clientPort)
            return fd.toInt();
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
    QFile info("/proc/self/fdinfo/" + openFiles().key(QStringLiteral("anon_inode:[eventpoll]")));
    const QRegularExpression entry(QString("^tfd:\\s+%1\\s+events:\\s+([0-9a-f]+)").arg(fd),
        QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = entry.match(
        info.open(QIODevice::ReadOnly) ? QString::fromLatin1(info.readAll()) : QString());
    return match.hasMatch() ? match.captured(1).toUInt(nullptr, 16) : 0;
}

// The slot array listening, accepting every connection into the next slot as
// the engine does, and recording what each slot's handler reads, before any
// handler of the test's. Its output's clock is the test's.
struct Served {
    ReservedPort reserved;
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    SocketSlotArray server;
    QByteArrayList read = QByteArrayList(1);

    Served()
    {
        server.setOutputClock([this] { return now; });
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
        const bool opened = QTest::qWaitFor([&] { return server.lastSlot() > last; }, timeoutMs);
        return opened ? std::move(client) : nullptr;
    }
};

// A client on small socket buffers that reads, or does not, in a thread of
// its own, so that it reads while the server's thread is busy relaying.
struct Reader {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int slot = 0;
    std::atomic<qint64> received = 0;
    std::thread thread;

    explicit Reader(Served& s, bool reads = true)
    {
        const int small = 4096;
        const timeval patience { timeoutMs / 1000, 0 };
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        sockaddr_in server { AF_INET, htons(s.reserved.port), { htonl(INADDR_LOOPBACK) }, {} };
        const int last = s.server.lastSlot();
        if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0
            || !QTest::qWaitFor([&] { return s.server.lastSlot() > last; }, timeoutMs))
            return;
        slot = s.server.lastSlot();
        if (reads)
            thread = std::thread([this] {
                char buffer[4096];
                for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
                    received += n;
            });
    }
    ~Reader()
    {
        ::shutdown(fd, SHUT_RDWR);
        if (thread.joinable())
            thread.join();
        ::close(fd);
    }
};

// The segments with data the client's socket has received.
quint32 dataSegmentsIn(const QTcpSocket& client)
{
    tcp_info info {};
    socklen_t size = sizeof info;
    ::getsockopt(int(client.socketDescriptor()), IPPROTO_TCP, TCP_INFO, &info, &size);
    return info.tcpi_data_segs_in;
}

// The IPv6 address `text` names, an IPv4-mapped one included.
in6_addr ipv6(const char* text)
{
    return std::bit_cast<in6_addr>(QHostAddress(QLatin1String(text)).toIPv6Address());
}

// A roster of `rows` sent on `event`.
RosterBroadcast roster(const char* event, const QByteArrayList& rows)
{
    return RosterBroadcast { "NEWLIST", event,
        std::make_shared<RosterRows>(RosterRows { rows, rows.join().size() }) };
}

// The slot array's parts without its sockets: an epoll set that refuses
// every watch, budgets of 1,000 bytes and messages, and a clock of the test's.
struct Policies {
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    EpollWatches watches { -1 };
    AddressLedger ledger { { 1000, 1000 }, { 1000, 1000 } };
    // What open slots are watched in and count their unsent output in, and
    // the socket of openSlot(), which its slot owns: all outlive the table.
    EpollWatches input, output;
    qsizetype unsent = 0;
    int socket = -1;
    SlotTable table;
    HandlerGate gate { [this] { return now; } };
    GreetingQueue greetings { ledger, [](const Arrival&) {} };
    Listener listener { watches, ledger, greetings, 16 };
    FairShare fairShare { ledger, table, gate, greetings, [this] { return now; } };

    // Held for the test's length.
    AddressLedger::Account& account(const char* address) { return ledger.hold(ipv6(address), now); }

    // Slot 1 over an unconnected socket, from 127.0.0.2, watched in the
    // epoll sets above, which take every watch.
    ClientConnection* openSlot()
    {
        socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ClientConnection& connection = table.open(
            1, socket, 1, sockaddr_in6 {}, account("::ffff:127.0.0.2"), input, output, unsent);
        return connection.updateWatch() ? nullptr : &connection;
    }
};

} // namespace

class TestSocketSlotArray : public QObject {
    Q_OBJECT

private slots:
    // Output that a client does not read piles up to the cap; past it, once
    // its socket has taken nothing for a while, the client is cut off and
    // loses what was queued, no more than twice the cap, while one that reads
    // is not. Past the ceiling on all unsent output, the clients that take
    // nothing and hold most are cut off until it fits, each under its cap. A
    // client that sends its last line and closes fails the next write to it;
    // what it sent is still handled, before its departure.
    void writesThatFail()
    {
        Served s;
        constexpr qsizetype cap = 256 * 1024;
        s.server.setOutputCap(cap);
        // Out of the way until the cap has been tried on its own.
        s.server.setOutputCeiling(8 * cap);
        // Every yield ends a turn, so that what the reader is sent goes out.
        s.server.setYieldIntervals(0us, 0us);
        Client idle = s.connect(), reader = s.connect(), most = s.connect(), less = s.connect();
        QVERIFY(idle && reader && most && less);
        for (Client* client : { &idle, &most, &less })
            (*client)->setReadBufferSize(1);
        // Each departure, with what its slot's handler had read by then.
        QList<std::pair<int, QByteArray>> departures;
        QObject::connect(&s.server, &SlotArray::peerClosed, &s.server,
            [&](int index) { departures.emplaceBack(index, s.read.at(index)); });
        const QByteArray message(1024, 'x');
        qint64 sent = 0;
        // The kernel's buffers take a few MiB before a cap is reached.
        const auto sendUntil = [&](int slot, const std::function<bool()>& done) {
            for (int i = 0; i < 64 * 1024 && !done(); ++i, s.now += 100ms) {
                sent += s.server.SendData(slot, message) ? 0 : message.size();
                if (i % 16 == 0) {
                    QVERIFY(!s.server.SendData(2, message));
                    s.server.DoEvents();
                }
            }
        };
        sendUntil(1, [&] { return s.server.State(1) != SlotArray::sckConnected; });
        idle->setReadBufferSize(0);
        QTRY_COMPARE_WITH_TIMEOUT(idle->state(), QAbstractSocket::UnconnectedState, timeoutMs);
        const qint64 dropped = sent + message.size() - idle->bytesAvailable();
        QCOMPARE_GT(dropped, cap);
        QCOMPARE_LE(dropped, 2 * cap);

        s.server.setOutputCeiling(3 * cap / 2);
        sendUntil(3, [&] { return s.server.queuedOutput() > 3 * cap / 4; });
        sendUntil(4, [&] { return s.server.State(3) != SlotArray::sckConnected; });
        QCOMPARE(std::pair(s.server.State(3), s.server.State(4)),
            std::pair(int(SlotArray::sckClosed), int(SlotArray::sckConnected)));

        Client leaver = s.connect();
        QVERIFY(leaver);
        pollfd reset { serverEnd(leaver->localPort()), 0, 0 };
        leaver->write("bye");
        QVERIFY(leaver->waitForBytesWritten(timeoutMs));
        leaver->close();
        // Its closed socket answers what it is sent with a reset, waited for
        // without the server reading; the next write fails.
        QVERIFY(!s.server.SendData(5, "NEWLIST"));
        QCOMPARE(::poll(&reset, 1, timeoutMs), 1);
        QVERIFY(s.server.SendData(5, "NEWUSER:ann"));
        QCOMPARE(s.server.State(5), int(SlotArray::sckClosing));
        // Only the idle client, the one holding most and the leaver depart.
        QTRY_COMPARE_WITH_TIMEOUT(departures,
            (QList<std::pair<int, QByteArray>> { { 1, "" }, { 3, "" }, { 5, "bye" } }), timeoutMs);
    }

    // Clients that read are never cut off, however much of a long line they
    // still have to take: a relay's yields write what their sockets take
    // meanwhile, and past the cap or the ceiling only a client that has made
    // no progress for a while is cut off, never one that reads. Over the
    // ceiling nothing is read until it is back under.
    void readersAreNeverCutOff()
    {
        Served s;
        constexpr qsizetype cap = 64 * 1024;
        s.server.setOutputCap(cap);
        s.server.setOutputCeiling(cap);
        Client talker = s.connect();
        std::list<Reader> readers;
        for (int i = 0; i < 6; ++i)
            QVERIFY(readers.emplace_back(s).slot > 0);
        Reader hoarder(s, false);
        QVERIFY(talker && hoarder.slot > 0);
        QSignalSpy closes(&s.server, &SlotArray::peerClosed);
        const QByteArray line(64 * cap, 'x');
        for (int relay = 0; relay < 2; ++relay)
            for (int slot = 2; slot <= s.server.lastSlot(); ++slot) {
                (void)s.server.SendData(slot, line);
                s.server.DoEvents();
            }
        talker->write("hi");
        QTRY_VERIFY_WITH_TIMEOUT(atServer(talker->localPort()) & POLLIN, timeoutMs);
        for (Reader& reader : readers)
            QTRY_COMPARE_WITH_TIMEOUT(reader.received.load(), 2 * line.size(), timeoutMs);
        QCOMPARE(std::pair(int(closes.size()), s.read.at(1)), std::pair(0, QByteArray()));

        s.now += 1min;
        QVERIFY(!s.server.SendData(readers.front().slot, "tail"));
        QTRY_COMPARE_WITH_TIMEOUT(closes.size(), 1, timeoutMs);
        QCOMPARE(closes.at(0).at(0).toInt(), hoarder.slot);
        QTRY_COMPARE_WITH_TIMEOUT(readers.front().received.load(), 2 * line.size() + 4, timeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(s.read.at(1), "hi", timeoutMs);
    }

    // A client over its input budget is read later, not cut off. With a
    // budget that never refills, it is read up to its burst and then held,
    // while another client is read as before and the held socket does not
    // keep the loop busy. With one that refills, every byte arrives in order.
    //
    // One address holds so many connections at most, those greeted and those
    // waiting together; past it a connection is closed unanswered, while
    // another address is served, and once one of its own has gone, a new one
    // is taken. The access rules are asked at the door: a refused address
    // costs no request, and a ban made while a connection waits to be greeted
    // closes it unanswered when its turn comes. A stop while waiting
    // connections are greeted closes the rest.
    void limitsPerAddress()
    {
        Served s;
        constexpr qsizetype burst = 64 * 1024;
        s.server.setBudgets({ 0, burst }, SocketSlotArray::defaultSendBudget);
        Client held = s.connect("127.0.0.8");
        s.server.setBudgets({ 8 * burst, burst }, SocketSlotArray::defaultSendBudget);
        Client refilled = s.connect("127.0.0.9"), other = s.connect("127.0.0.10");
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

        // A peer that vanished without a word is found two minutes after its
        // last sign of life: probes after a minute of silence, six of them ten
        // seconds apart, and output left unacknowledged as long is given up.
        const auto option = [fd = serverEnd(other->localPort())](int level, int name) {
            int value = -1;
            socklen_t size = sizeof value;
            ::getsockopt(fd, level, name, &value, &size);
            return value;
        };
        QCOMPARE(QList<int>({ option(SOL_SOCKET, SO_KEEPALIVE), option(IPPROTO_TCP, TCP_KEEPIDLE),
                     option(IPPROTO_TCP, TCP_KEEPINTVL), option(IPPROTO_TCP, TCP_KEEPCNT),
                     option(IPPROTO_TCP, TCP_USER_TIMEOUT) }),
            QList<int>({ 1, 60, 10, 6, 120'000 }));

        refilled->write(flood);
        QTRY_COMPARE_WITH_TIMEOUT(s.read.at(2), flood, timeoutMs);

        // Slots 1 to 3 stay open, each from an address of its own.
        s.server.setConnectionsPerAddress(2);
        QSignalSpy requests(&s.server, &SlotArray::connectionRequest);
        Client a1 = s.connect("127.0.0.2"), a2 = s.connect("127.0.0.2");
        Client a3 = connectClient(s.reserved.port, "127.0.0.2");
        QTRY_COMPARE_WITH_TIMEOUT(a3->state(), QAbstractSocket::UnconnectedState, timeoutMs);
        QVERIFY(a1 && a2 && s.connect("127.0.0.3"));
        a1->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(s.server.State(4), int(SlotArray::sckClosed), timeoutMs);
        QVERIFY(s.connect("127.0.0.2"));

        // Each greeting spends what its address may send for a while, for
        // good from 127.0.0.4, so that the next connection of each waits.
        QObject::connect(&s.server, &SlotArray::connectionRequest, &s.server, [&] {
            QVERIFY(!s.server.SendData(s.server.lastSlot(), "NICK"));
            if (requests.size() == 9)
                s.server.Close(0);
        });
        s.server.setBudgets(SocketSlotArray::defaultInputBudget, { 0, 1 });
        Client b1 = s.connect("127.0.0.4"), b2 = connectClient(s.reserved.port, "127.0.0.4"),
               b3 = connectClient(s.reserved.port, "127.0.0.4");
        QTRY_COMPARE_WITH_TIMEOUT(b3->state(), QAbstractSocket::UnconnectedState, timeoutMs);
        QCOMPARE(std::pair(int(requests.size()), s.server.waitingConnections()), std::pair(5, 1));
        // A greeting a second from 127.0.0.7: its second connection waits.
        AccessRules rules;
        s.server.setAccessRules(rules);
        s.server.setBudgets(SocketSlotArray::defaultInputBudget, { 1, 1 });
        Client e1 = s.connect("127.0.0.7"), e2 = connectClient(s.reserved.port, "127.0.0.7");
        QVERIFY(e1);
        QTRY_COMPARE_WITH_TIMEOUT(s.server.waitingConnections(), 2, timeoutMs);
        rules.ban(*Network::parse(u"127.0.0.7"), QDateTime());
        QTRY_COMPARE_WITH_TIMEOUT(e2->state(), QAbstractSocket::UnconnectedState, timeoutMs);
        QCOMPARE(e2->readAll(), QByteArray());
        QVERIFY(!greetedFrom(s.reserved.port, "127.0.0.7"));
        // 127.0.0.8 to .10 above, and .2, .4 and .7.
        QCOMPARE(std::pair(int(requests.size()), s.server.knownAddresses()), std::pair(6, 6));
        s.server.setBudgets(SocketSlotArray::defaultInputBudget, { 20, 1 });
        QVERIFY(s.connect("127.0.0.5") && s.connect("127.0.0.6"));
        Client c2 = connectClient(s.reserved.port, "127.0.0.5"),
               d2 = connectClient(s.reserved.port, "127.0.0.6");
        QTRY_VERIFY_WITH_TIMEOUT(s.server.waitingConnections() == 0
                && (c2->state() == QAbstractSocket::UnconnectedState
                    || d2->state() == QAbstractSocket::UnconnectedState),
            timeoutMs);
        QCOMPARE(requests.size(), 9);
    }

    // A cheap handler's yield runs nothing: what arrives waits its turn. A
    // costly handler's (more than two messages a client) runs what waits
    // from cheap addresses, one handler deep: the one it runs reads nothing
    // more. Its own address's next message and departures wait for the loop.
    void yieldsRunWhatIsWaiting()
    {
        Served s;
        s.server.setYieldIntervals(0us, 0us);
        Client a = s.connect("127.0.0.2"), b = s.connect("127.0.0.3"), d = s.connect("127.0.0.4"),
               leaver = s.connect("127.0.0.5");
        QVERIFY(a && b && d && leaver);
        int depth = 0;
        QList<std::pair<QByteArray, int>> handled; // what, and how deep in handlers
        const auto yieldUntil = [&](const std::function<bool()>& done) {
            for (QDeadlineTimer deadline(timeoutMs); !done() && !deadline.hasExpired();)
                s.server.DoEvents();
            s.server.DoEvents();
        };
        connect(
            &s.server, &SlotArray::peerClosed, this, [&] { handled.emplaceBack("closed", depth); });
        connect(&s.server, &SlotArray::dataArrival, this, [&](int index) {
            const QByteArray message = std::exchange(s.read[index], {});
            handled.append({ message, depth++ });
            if (message == "a") {
                for (int i = 0; i < 3 * s.server.openConnections(); ++i)
                    QVERIFY(!s.server.SendData(index, "x"));
                b->write("b");
                a->write("again");
                const quint16 leaverPort = leaver->localPort();
                leaver->disconnectFromHost();
                yieldUntil([&] {
                    return handled.size() == 3 && (atServer(leaverPort) & POLLRDHUP)
                        && (atServer(a->localPort()) & POLLIN);
                });
            } else if (message == "b") {
                d->write("d");
                yieldUntil([&] { return atServer(d->localPort()) & POLLIN; });
            }
            --depth;
        });
        for (Client* client : { &a, &d, &leaver })
            (*client)->write("hi");
        QTRY_COMPARE_WITH_TIMEOUT(handled.size(), 3, timeoutMs);
        handled.clear();
        b->write("b");
        QTRY_COMPARE_WITH_TIMEOUT(handled.size(), 2, timeoutMs);
        QCOMPARE(handled, (QList<std::pair<QByteArray, int>> { { "b", 0 }, { "d", 0 } }));
        handled.clear();
        a->write("a");
        QTRY_COMPARE_WITH_TIMEOUT(handled.size(), 5, timeoutMs);
        std::sort(handled.begin() + 3, handled.end());
        QCOMPARE(handled,
            (QList<std::pair<QByteArray, int>> {
                { "a", 0 }, { "b", 1 }, { "d", 1 }, { "again", 0 }, { "closed", 0 } }));
    }

    // While the loop keeps up, each message to a client goes out on its own,
    // so that the client reads them apart; a roster's too. Once a turn has
    // taken a millisecond and input waits after it, what a client is sent in
    // the next turn goes out in one write at its end. A stream too large for
    // the kernel to take at once goes out in parts as the client reads, byte
    // for byte and in order, beside another client's messages. Rosters that
    // wait for a client to read give way: it is sent every start and event,
    // and of the rows only the newest roster's, unless something else was
    // sent after them.
    void outputApartUntilBehind()
    {
        Served s;
        s.server.setOutputCap(64 * 1024 * 1024);
        Client a = s.connect(), b = s.connect(), c = s.connect();
        QVERIFY(a && b && c);
        // A's side of the stream: each part's size, as it is sent.
        QByteArrayList parts;
        QByteArray toA;
        for (int i = 0; i < 5000; ++i) {
            parts.append(QByteArray(1 + i * 37 % 3000, Qt::Uninitialized));
            std::iota(parts.last().begin(), parts.last().end(), char(i));
            toA += QByteArray::number(parts.last().size());
        }
        connect(&s.server, &SlotArray::dataArrival, this, [&](int index) {
            const QByteArray message = std::exchange(s.read[index], {});
            if (message == "turn") {
                for (const char* part : { "one", "two", "three" })
                    QVERIFY(!s.server.SendData(2, part));
                QVERIFY(!s.server.SendRoster(2, roster("NEWUSER:ann", { "USER:op", "USER:ann" })));
            } else if (message == "long turn") {
                s.now += 2ms;
                QVERIFY(c->write("turn") && c->waitForBytesWritten(timeoutMs));
                QTRY_VERIFY_WITH_TIMEOUT(atServer(c->localPort()) & POLLIN, timeoutMs);
            } else if (message == "stream") {
                for (const QByteArray& part : parts) {
                    QVERIFY(!s.server.SendData(2, part));
                    QVERIFY(!s.server.SendData(1, QByteArray::number(part.size())));
                }
            }
        });
        const QByteArray turn = "onetwothreeNEWLISTNEWUSER:annUSER:opUSER:ann";
        const quint32 segments = dataSegmentsIn(*b);
        a->write("turn");
        QVERIFY(receives(*b, turn));
        QCOMPARE(dataSegmentsIn(*b) - segments, 7u);

        a->write("long turn");
        QVERIFY(receives(*b, turn));
        QCOMPARE(dataSegmentsIn(*b) - segments, 8u);

        a->write("stream");
        QVERIFY(receives(*b, parts.join()));
        QVERIFY(receives(*a, toA));

        c->setReadBufferSize(1);
        const QByteArray blob(8 * 1024 * 1024, 'b');
        QVERIFY(!s.server.SendData(3, blob));
        QVERIFY(!s.server.SendRoster(3, roster("NEWUSER:ann", { "USER:op", "USER:ann" })));
        QVERIFY(
            !s.server.SendRoster(3, roster("NEWUSER:bob", { "USER:op", "USER:ann", "USER:bob" })));
        QVERIFY(!s.server.SendData(3, "hello"));
        QVERIFY(!s.server.SendRoster(3, roster("QUIT", { "USER:op", "USER:bob" })));
        QVERIFY(!s.server.SendRoster(3, roster("QUIT", { "USER:op" })));
        c->setReadBufferSize(0);
        QVERIFY(receives(*c,
            blob
                + "NEWLISTNEWUSER:annNEWLISTNEWUSER:bobUSER:opUSER:annUSER:bobhello"
                  "NEWLISTQUITNEWLISTQUITUSER:op"));
    }

    // Inside a yield, only an address that has been cheap is read: served
    // before, not twice in a row costly (more than two messages a client),
    // not busy lately, and not being handled. The loop reads any address
    // within its budget.
    void readPolicy_data()
    {
        QTest::addColumn<int>("depth");
        QTest::addColumn<QList<qint64>>("costs"); // of the messages handled, oldest first
        QTest::addColumn<int>("handling");
        QTest::addColumn<qint64>("spent"); // of a burst of 1,000 bytes
        QTest::addColumn<bool>("read");
        const auto row = [](const char* name, int depth, QList<qint64> costs, int handling,
                             qint64 spent, bool read) {
            QTest::newRow(name) << depth << costs << handling << spent << read;
        };
        row("the loop reads a new address", 0, {}, 0, 0, true);
        row("the loop reads a busy one", 0, { 100, 100 }, 1, 600, true);
        row("an address over budget is held", 0, { 0, 0 }, 0, 2000, false);
        row("a cheap address is read in a yield", 1, { 0, 0 }, 0, 0, true);
        row("one costly message is forgiven", 1, { 0, 100 }, 0, 0, true);
        row("two costly ones wait", 1, { 100, 100 }, 0, 0, false);
        row("a new address waits", 1, {}, 0, 0, false);
        row("one being handled waits", 1, { 0, 0 }, 1, 0, false);
        row("a busy one waits", 1, { 0, 0 }, 0, 600, false);
    }
    void readPolicy()
    {
        QFETCH(int, depth);
        QFETCH(QList<qint64>, costs);
        QFETCH(int, handling);
        QFETCH(qint64, spent);
        QFETCH(bool, read);
        Policies p;
        AddressLedger::Account& account = p.account("::ffff:127.0.0.2");
        for (const qint64 cost : costs) {
            const HandlerGate::Handling arrival(p.gate, &account, true);
            AddressLedger::charge(&account, cost);
        }
        for (int i = 0; i < handling; ++i)
            AddressLedger::beginHandling(account);
        AddressLedger::spendBytes(account, spent);
        std::optional<HandlerGate::Yield> yield;
        if (depth > 0)
            yield.emplace(p.gate);
        QCOMPARE(p.fairShare.mayRead(account), read);
    }

    // A connection cut off has its departure raised by the loop, never inside
    // a yield; one that epoll cannot stop watching would keep the loop busy if
    // held back, so it is cut off. What a yield held back, a read or a
    // departure, waits only for the loop where its address may be served; one
    // over its budget waits for the budget, on the clock.
    void heldBackWork_data()
    {
        QTest::addColumn<bool>("departure"); // or a read held back
        QTest::addColumn<int>("depth");
        QTest::addColumn<qint64>("spent"); // of a burst of 1,000 bytes
        QTest::addColumn<bool>("epollRefuses");
        QTest::addColumn<int>("raised");
        QTest::addColumn<bool>("waits"); // for the loop's next turn
        QTest::newRow("a departure raised by the loop") << true << 0 << 0LL << false << 1 << false;
        QTest::newRow("one in a yield") << true << 1 << 0LL << false << 0 << true;
        QTest::newRow("one over budget") << true << 0 << 2000LL << false << 0 << false;
        QTest::newRow("a read held in a yield") << false << 1 << 0LL << false << 0 << true;
        QTest::newRow("one over budget in a yield") << false << 1 << 2000LL << false << 0 << false;
        QTest::newRow("one epoll keeps watching") << false << 0 << 0LL << true << 1 << false;
    }
    void heldBackWork()
    {
        QFETCH(bool, departure);
        QFETCH(int, depth);
        QFETCH(qint64, spent);
        QFETCH(bool, epollRefuses);
        QFETCH(int, raised);
        QFETCH(bool, waits);
        Policies p;
        ClientConnection* connection = p.openSlot();
        QVERIFY(connection);
        // From here on the set's descriptor is no epoll instance: every change is refused.
        if (epollRefuses)
            QCOMPARE(::dup2(p.socket, p.input.descriptor()), p.input.descriptor());
        AddressLedger::spendBytes(connection->account, spent);
        std::optional<HandlerGate::Yield> yield;
        if (depth > 0)
            yield.emplace(p.gate);
        if (departure)
            p.fairShare.cutOff(1);
        else
            QCOMPARE(p.fairShare.holdBack(1, *connection), !epollRefuses);
        const auto due = p.fairShare.takeDueDepartures();
        yield.reset();
        QCOMPARE(
            std::pair(int(due.size()), p.fairShare.waitsForTheLoop()), std::pair(raised, waits));
        QCOMPARE(p.table.openCount(), departure || epollRefuses ? 0 : 1);
        p.now += 10s;
        QCOMPARE(p.fairShare.waitsForTheLoop(), raised == 0);
    }

    // Connections from one machine share its account: an IPv4 address, an
    // IPv6 address on the server's own networks (link-local, or within an
    // interface's prefix), and beyond them an IPv6 /64.
    void accountPerMachine_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("second");
        QTest::addColumn<bool>("shared");
        const auto row = [](const char* name, const char* first, const char* second, bool shared) {
            QTest::newRow(name) << QByteArray(first) << QByteArray(second) << shared;
        };
        row("link-local", "fe80::1", "fe80::2", false);
        row("on-link /64", "2001:db8:1:1::a", "2001:db8:1:1::b", false);
        row("on-link /48", "2001:db8:2:1::a", "2001:db8:2:2::a", false);
        row("off-link, one /64", "2001:db8:1:2::1", "2001:db8:1:2:a:b:c:d", true);
        row("off-link, two /64s", "2001:db8:1:2::1", "2001:db8:1:3::1", false);
        row("IPv4-mapped", "::ffff:192.168.1.2", "::ffff:192.168.1.3", false);
        row("IPv4-mapped, one host", "::ffff:192.168.1.2", "::ffff:192.168.1.2", true);
    }
    void accountPerMachine()
    {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QFETCH(bool, shared);
        Policies p;
        p.ledger.setLocalNetworks(
            LocalNetworks({ { ipv6("2001:db8:1:1::1"), 64 }, { ipv6("2001:db8:2::1"), 48 } }));
        QCOMPARE(&p.account(first.constData()) == &p.account(second.constData()), shared);
    }

    // An account is forgotten once nothing holds it and it owes nothing.
    // A listener that shares the ledger says when its epoll set refuses it.
    // Past the deepest nesting a yield does nothing, whatever waits.
    void ledgerListenerAndGate()
    {
        Policies p;
        // Held twice: the same address's account is shared (accountPerMachine).
        AddressLedger::Account& a = p.account("::ffff:127.0.0.2");
        p.account("::ffff:127.0.0.2");
        AddressLedger::spendBytes(a, 500);
        p.ledger.release(a, p.now);
        p.ledger.release(a, p.now);
        QCOMPARE(p.ledger.forgetSettled(p.now), 1); // unheld, but it still owes
        p.now += 1s;
        QCOMPARE(p.ledger.forgetSettled(p.now), 0);
        QCOMPARE(p.ledger.size(), 0);

        QVERIFY(!p.listener.bind(0));
        QCOMPARE(p.listener.listen().code, EBADF);
        QCOMPARE(p.listener.state(), int(SlotArray::sckOpen));

        // The clock has moved on, so a yield under the cap would check sockets.
        std::list<HandlerGate::Yield> nested;
        while (p.gate.yieldDepth() < HandlerGate::maxYieldDepth)
            nested.emplace_back(p.gate);
        for (int i = 0; i < 16; ++i)
            QVERIFY(!p.gate.yieldWork());
    }
};

QTEST_GUILESS_MAIN(TestSocketSlotArray)
#include "tst_socket_slot_array.moc"
