#include "loopback.h"
#include "web_gateway.h"

#include <QHostInfo>
#include <QWebSocket>
#include <QtTest>

#include <numeric>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The slot array's end of one web client's socket pair, as the test plays
// the slot array: what it has read, and whether it has read the end.
struct SlotEnd {
    int fd;
    sockaddr_in6 remote;
    QByteArrayList packets;
    bool closed = false;

    SlotEnd(int end, const sockaddr_in6& from)
        : fd(end)
        , remote(from)
    {
    }
    SlotEnd(const SlotEnd&) = delete;
    SlotEnd& operator=(const SlotEnd&) = delete;
    ~SlotEnd() { closeEnd(); }
    void closeEnd()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    // Reads what is waiting, each packet whole; bounded by what was sent.
    void readWaiting()
    {
        while (fd >= 0 && !closed) {
            const ssize_t size = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
            if (size < 0)
                return;
            QByteArray packet(size, Qt::Uninitialized);
            closed = ::recv(fd, packet.data(), size_t(size), MSG_DONTWAIT) <= 0;
            if (!closed)
                packets.append(packet);
        }
    }
    bool send(const QByteArray& packet)
    {
        return ::send(fd, packet.constData(), size_t(packet.size()), MSG_NOSIGNAL) == packet.size();
    }
};

// The web port open on a port the kernel chose, each client it hands over
// kept as a SlotEnd. The ends outlive the gateway.
struct Served {
    std::vector<std::unique_ptr<SlotEnd>> slotEnds;
    WebGateway gateway { [this](int fd, const sockaddr_in6& remote) {
        slotEnds.push_back(std::make_unique<SlotEnd>(fd, remote));
    } };

    Served() { QVERIFY(!gateway.open(0)); }
    QString hostAndPort() const { return QStringLiteral("127.0.0.1:%1").arg(gateway.port()); }
    // Reads every slot until `done` holds.
    bool readUntil(const std::function<bool()>& done)
    {
        return QTest::qWaitFor(
            [&] {
                for (const auto& slot : slotEnds)
                    slot->readWaiting();
                return done();
            },
            timeoutMs);
    }
};

// A browser's WebSocket on the chat, from a page of the gateway, and what it
// has been sent.
struct WebClient {
    QWebSocket socket;
    QByteArrayList received;
    bool handedOver = false;

    explicit WebClient(Served& served)
        : socket(QLatin1String("http://") + served.hostAndPort())
    {
        QObject::connect(&socket, &QWebSocket::binaryMessageReceived,
            [this](const QByteArray& message) { received.append(message); });
        const size_t before = served.slotEnds.size();
        socket.open(QUrl(QStringLiteral("ws://%1/chat").arg(served.hostAndPort())));
        handedOver = QTest::qWaitFor(
            [&] { return served.slotEnds.size() > before && isOpen(); }, timeoutMs);
    }
    bool isOpen() const { return socket.state() == QAbstractSocket::ConnectedState; }
    bool waitClosed()
    {
        return QTest::qWaitFor(
            [&] { return socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
    }
};

// The whole answer to `request`, which the gateway sends and then closes.
QByteArray exchange(quint16 port, const QByteArray& request)
{
    Client client = connectClient(port);
    client->write(request);
    const bool closed = QTest::qWaitFor(
        [&] { return client->state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
    return closed ? client->readAll() : QByteArray();
}

// A browser's request to open the chat's WebSocket.
QByteArray upgradeRequest(const QString& host, const QString& origin)
{
    return "GET /chat HTTP/1.1\r\nHost: " + host.toLatin1()
        + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
        + (origin.isNull() ? QByteArray() : "Origin: " + origin.toLatin1() + "\r\n") + "\r\n";
}

// The first line of the answer to an upgrade request from a page at
// `origin` sent to `host`; the connection stays open when it upgrades.
QByteArray upgradeAnswer(quint16 port, const QString& host, const QString& origin)
{
    Client client = connectClient(port);
    client->write(upgradeRequest(host, origin));
    const bool answered = QTest::qWaitFor(
        [&] {
            return client->canReadLine() || client->state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs);
    return answered ? client->readLine().trimmed() : QByteArray();
}

// A browser on a small receive window that reads only when told to, over a
// descriptor Qt does not read behind the test's back.
struct SilentBrowser {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    qint64 received = 0;

    explicit SilentBrowser(Served& served)
    {
        const int small = 8192;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        const sockaddr_in server { AF_INET, htons(served.gateway.port()),
            { htonl(INADDR_LOOPBACK) }, {} };
        const QByteArray request = upgradeRequest(
            served.hostAndPort(), QStringLiteral("http://") + served.hostAndPort());
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0
            && ::send(fd, request.constData(), size_t(request.size()), 0) == request.size())
            readUntil(-1); // the answer, whose length it does not count
    }
    ~SilentBrowser() { ::close(fd); }
    // Reads until `bytes` more have come in, or with -1, an answer's head.
    bool readUntil(qint64 bytes)
    {
        QByteArray head;
        const qint64 goal = received + bytes;
        return QTest::qWaitFor(
            [&] {
                char buffer[65536];
                for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
                    bytes < 0 ? void(head.append(buffer, n)) : void(received += n);
                return bytes < 0 ? head.contains("\r\n\r\n") : received >= goal;
            },
            timeoutMs);
    }
};

// Sends `packet` into the slot's end until `bytes` are taken, or for 1,000
// turns of the event loop; returns how many bytes were taken.
qint64 offer(SlotEnd& slot, const QByteArray& packet, qint64 bytes)
{
    qint64 taken = 0;
    for (int turn = 0; turn < 1000 && taken < bytes; ++turn) {
        while (taken < bytes && slot.send(packet))
            taken += packet.size();
        QCoreApplication::processEvents();
    }
    return taken;
}

QByteArray allByteValues()
{
    QByteArray bytes(256, Qt::Uninitialized);
    std::iota(bytes.begin(), bytes.end(), char(0));
    return bytes;
}

QByteArray pageFile(const char* name)
{
    QFile file(QLatin1String(":/web/page/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestWebGateway : public QObject {
    Q_OBJECT

private slots:
    void answers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("statusLine");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");

        const QByteArray page = pageFile("index.html");
        const QByteArray html = "text/html; charset=utf-8";
        const QByteArray text = "text/plain; charset=utf-8";
        QTest::newRow("the page") << QByteArray("GET / HTTP/1.1\r\nHost: a\r\n\r\n")
                                  << QByteArray("HTTP/1.1 200 OK") << html << page;
        QTest::newRow("the page by name, with a query")
            << QByteArray("GET /index.html?x=1 HTTP/1.1\r\nHost: a\r\n\r\n")
            << QByteArray("HTTP/1.1 200 OK") << html << page;
        QTest::newRow("its head only") << QByteArray("HEAD / HTTP/1.1\r\nHost: a\r\n\r\n")
                                       << QByteArray("HTTP/1.1 200 OK") << html << QByteArray();
        QTest::newRow("bare line feeds")
            << QByteArray("GET / HTTP/1.0\n\n") << QByteArray("HTTP/1.1 200 OK") << html << page;
        QTest::newRow("another path")
            << QByteArray("GET /admin HTTP/1.1\r\n\r\n") << QByteArray("HTTP/1.1 404 Not Found")
            << text << QByteArray("Not Found\n");
        QTest::newRow("out of the folder")
            << QByteArray("GET /../page/index.html HTTP/1.1\r\n\r\n")
            << QByteArray("HTTP/1.1 404 Not Found") << text << QByteArray("Not Found\n");
        QTest::newRow("another method")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n")
            << QByteArray("HTTP/1.1 405 Method Not Allowed") << text
            << QByteArray("Method Not Allowed\n");
        QTest::newRow("no version")
            << QByteArray("GET /\r\n\r\n") << QByteArray("HTTP/1.1 400 Bad Request") << text
            << QByteArray("Bad Request\n");
        QTest::newRow("a field without a colon")
            << QByteArray("GET / HTTP/1.1\r\nHost a\r\n\r\n")
            << QByteArray("HTTP/1.1 400 Bad Request") << text << QByteArray("Bad Request\n");
        QTest::newRow("two hosts")
            << QByteArray("GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n")
            << QByteArray("HTTP/1.1 400 Bad Request") << text << QByteArray("Bad Request\n");
        QTest::newRow("binary") << QByteArray("\x16\x03\x01\x02\0\x01\0\r\n\r\n", 11)
                                << QByteArray("HTTP/1.1 400 Bad Request") << text
                                << QByteArray("Bad Request\n");
        QTest::newRow("the chat without an upgrade")
            << QByteArray("GET /chat HTTP/1.1\r\nHost: a\r\n\r\n")
            << QByteArray("HTTP/1.1 426 Upgrade Required") << text
            << QByteArray("Upgrade Required\n");
    }
    void answers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, statusLine);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QVERIFY(!body.isEmpty() || request.startsWith("HEAD"));

        Served served;
        const QByteArray answer = exchange(served.gateway.port(), request);
        const qsizetype headEnd = answer.indexOf("\r\n\r\n");
        QVERIFY2(headEnd > 0, answer.constData());
        const QByteArrayList head = answer.left(headEnd).split('\n');
        QCOMPARE(head.first().trimmed(), statusLine);
        const auto field = [&](const QByteArray& name) {
            for (const QByteArray& line : head)
                if (line.toLower().startsWith(name.toLower() + ": "))
                    return line.mid(name.size() + 2).trimmed();
            return QByteArray();
        };
        QCOMPARE(field("Content-Type"), contentType);
        QCOMPARE(field("X-Content-Type-Options"), QByteArray("nosniff"));
        const QByteArray described = request.startsWith("HEAD") ? pageFile("index.html") : body;
        QCOMPARE(field("Content-Length").toLongLong(), described.size());
        QCOMPARE(answer.mid(headEnd + 4), body);
        if (statusLine.contains("200"))
            QVERIFY(field("Content-Security-Policy").startsWith("default-src 'self'"));
        QVERIFY(served.slotEnds.empty());
    }

    // A crowd of idle connections pushes out the oldest, while the page is
    // still served.
    void waitingIsBounded()
    {
        Served served;
        const quint16 port = served.gateway.port();
        std::vector<Client> idle;
        for (int i = 0; i <= HttpExchanges::capacity; ++i) {
            idle.push_back(connectClient(port));
            QVERIFY(QTest::qWaitFor(
                [&] { return idle.back()->state() == QAbstractSocket::ConnectedState; },
                timeoutMs));
        }
        QVERIFY(QTest::qWaitFor(
            [&] { return idle.front()->state() == QAbstractSocket::UnconnectedState; }, timeoutMs));
        QVERIFY(exchange(port, "GET / HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200 OK"));
        QCOMPARE(idle.back()->state(), QAbstractSocket::ConnectedState);
    }

    void origins_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("origin");
        QTest::addColumn<bool>("upgrades");

        const QString ip = QStringLiteral("127.0.0.1:%1");
        const QString name = QHostInfo::localHostName() + QStringLiteral(":%1");
        QTest::newRow("its own page") << ip << QStringLiteral("http://") + ip << true;
        QTest::newRow("its own page, as localhost in capitals")
            << QStringLiteral("LOCALHOST:%1") << QStringLiteral("http://localhost:%1") << true;
        QTest::newRow("its own page, by IPv6")
            << QStringLiteral("[::1]:%1") << QStringLiteral("http://[::1]:%1") << true;
        QTest::newRow("its own page, by the machine's name")
            << name << QStringLiteral("http://") + name << true;
        QTest::newRow("a foreign page") << ip << QStringLiteral("http://evil.example") << false;
        QTest::newRow("its page over https") << ip << QStringLiteral("https://") + ip << false;
        QTest::newRow("its address on another port")
            << ip << QStringLiteral("http://127.0.0.1:1") << false;
        QTest::newRow("no origin") << ip << QString() << false;
        QTest::newRow("a name re-pointed at this machine")
            << QStringLiteral("evil.example:%1") << QStringLiteral("http://evil.example:%1")
            << false;
        QTest::newRow("the machine's name inside another")
            << QHostInfo::localHostName() + QStringLiteral(".evil.example:%1")
            << QStringLiteral("http://") + QHostInfo::localHostName()
                + QStringLiteral(".evil.example:%1")
            << false;
    }
    void origins()
    {
        QFETCH(QString, host);
        QFETCH(QString, origin);
        QFETCH(bool, upgrades);

        Served served;
        const QString port = QString::number(served.gateway.port());
        const QByteArray answer = upgradeAnswer(served.gateway.port(),
            QString(host).replace(QStringLiteral("%1"), port),
            QString(origin).replace(QStringLiteral("%1"), port));
        QCOMPARE(answer,
            upgrades ? QByteArray("HTTP/1.1 101 Switching Protocols")
                     : QByteArray("HTTP/1.1 403 Forbidden"));
        QCOMPARE(served.slotEnds.size(), size_t(upgrades));
    }

    // Each message is one packet one way and one WebSocket message the
    // other, whatever its bytes and up to the bound.
    void messagesStayApart()
    {
        Served served;
        WebClient ann(served);
        QVERIFY(ann.handedOver);
        QCOMPARE(served.slotEnds.size(), size_t(1));
        SlotEnd& slot = *served.slotEnds.front();
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(&slot.remote.sin6_addr), 16),
            QByteArray::fromHex("00000000000000000000ffff7f000001"));
        QCOMPARE(ntohs(slot.remote.sin6_port), ann.socket.localPort());

        const QByteArrayList fromBrowser { "USER:ann", allByteValues(),
            QByteArray(WebClientBridge::messageLimit, 'm'), QByteArray("caf\xe9") };
        ann.socket.sendBinaryMessage(QByteArray()); // nothing to send on
        for (const QByteArray& message : fromBrowser.mid(0, 3))
            ann.socket.sendBinaryMessage(message);
        ann.socket.sendTextMessage(QString::fromLatin1(fromBrowser.last()));
        QVERIFY(served.readUntil([&] { return slot.packets.size() >= fromBrowser.size(); }));
        QCOMPARE(slot.packets, fromBrowser);

        // Packets bigger than the pair's default buffer are sent as the slot
        // array sends them, after widening it.
        const int wide = 1 << 20;
        QVERIFY(::setsockopt(slot.fd, SOL_SOCKET, SO_SNDBUF, &wide, sizeof wide) == 0);
        const QByteArrayList toBrowser { "NEWLIST", "NEWUSER:ann", "USER:op", "USER:ann",
            allByteValues(), QByteArray(300 * 1024, 'r') };
        for (const QByteArray& packet : toBrowser)
            QVERIFY(slot.send(packet));
        QVERIFY(
            QTest::qWaitFor([&] { return ann.received.size() >= toBrowser.size(); }, timeoutMs));
        QCOMPARE(ann.received, toBrowser);
    }

    // While a browser does not read, the pair is not read either, so what the
    // slot array sends waits there, under its caps; it all follows once the
    // browser reads.
    void unreadOutputStaysInTheSlotArray()
    {
        Served served;
        SilentBrowser browser(served);
        QVERIFY(QTest::qWaitFor([&] { return served.slotEnds.size() == 1; }, timeoutMs));
        SlotEnd& slot = *served.slotEnds.front();

        const QByteArray packet(WebClientBridge::messageLimit, 'o');
        const qint64 offered = 16 << 20;
        const qint64 taken = offer(slot, packet, offered);
        QCOMPARE_LT(taken, offered / 2);

        // Each packet is one frame: its data and a 10-byte header.
        const qint64 frameBytes = packet.size() + 10;
        QVERIFY(browser.readUntil(taken / packet.size() * frameBytes));
    }

    // A browser that does not read still lets go of its end of the pair when
    // the slot array closes the slot.
    void closedWhileNotReading()
    {
        Served served;
        SilentBrowser browser(served);
        QVERIFY(QTest::qWaitFor([&] { return served.slotEnds.size() == 1; }, timeoutMs));
        SlotEnd& slot = *served.slotEnds.front();
        QCOMPARE_LT(offer(slot, QByteArray(WebClientBridge::messageLimit, 'o'), 16 << 20), 8 << 20);

        const int descriptorsOpen = openDescriptors();
        slot.closeEnd();
        // The slot's end, the bridge's end and the browser's connection.
        QTRY_VERIFY_WITH_TIMEOUT(openDescriptors() <= descriptorsOpen - 3, timeoutMs);
    }

    // A client that breaks a bound is cut off, nothing of the offending
    // message reaches the chat, and another client chats on.
    void cutOff_data()
    {
        QTest::addColumn<QByteArrayList>("binary");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QWebSocketProtocol::CloseCode>("closeCode");
        QTest::addColumn<bool>("somethingArrives");

        QTest::newRow("a message over the bound")
            << QByteArrayList { QByteArray(WebClientBridge::messageLimit + 1, 'x') } << QString()
            << QWebSocketProtocol::CloseCodeTooMuchData << false;
        QTest::newRow("text beyond Latin-1") << QByteArrayList() << QStringLiteral("10 \u20ac")
                                             << QWebSocketProtocol::CloseCodeWrongDatatype << false;
        QTest::newRow("sending faster than the server reads")
            << QByteArrayList(2 * WebClientBridge::queueLimit / WebClientBridge::messageLimit,
                   QByteArray(WebClientBridge::messageLimit, 'f'))
            << QString() << QWebSocketProtocol::CloseCodePolicyViolated << true;
    }
    void cutOff()
    {
        QFETCH(QByteArrayList, binary);
        QFETCH(QString, text);
        QFETCH(QWebSocketProtocol::CloseCode, closeCode);
        QFETCH(bool, somethingArrives);

        Served served;
        WebClient bob(served);
        WebClient offender(served);
        QVERIFY(bob.handedOver && offender.handedOver);
        SlotEnd& bobsSlot = *served.slotEnds[0];
        SlotEnd& offendersSlot = *served.slotEnds[1];

        for (const QByteArray& message : binary)
            offender.socket.sendBinaryMessage(message);
        if (!text.isNull())
            offender.socket.sendTextMessage(text);
        QVERIFY(offender.waitClosed());
        QCOMPARE(offender.socket.closeCode(), closeCode);
        // The slot array sees the departure, after whatever was let through.
        QVERIFY(QTest::qWaitFor(
            [&] {
                offendersSlot.readWaiting();
                return offendersSlot.closed;
            },
            timeoutMs));
        QCOMPARE(!offendersSlot.packets.isEmpty(), somethingArrives);

        bob.socket.sendBinaryMessage("still here");
        QVERIFY(bobsSlot.send("hello bob"));
        QVERIFY(served.readUntil([&] { return !bobsSlot.packets.isEmpty(); }));
        QCOMPARE(bobsSlot.packets, QByteArrayList { "still here" });
        QVERIFY(QTest::qWaitFor([&] { return !bob.received.isEmpty(); }, timeoutMs));
        QCOMPARE(bob.received, QByteArrayList { "hello bob" });
    }

    // Whichever side closes first, the other is closed and nothing is left
    // open, also when both close at once.
    void departures_data()
    {
        QTest::addColumn<bool>("browserCloses");
        QTest::addColumn<bool>("serverCloses");

        QTest::newRow("the browser leaves") << true << false;
        QTest::newRow("the server closes the slot") << false << true;
        QTest::newRow("both at once") << true << true;
    }
    void departures()
    {
        QFETCH(bool, browserCloses);
        QFETCH(bool, serverCloses);

        Served served;
        const int descriptorsBefore = openDescriptors();
        {
            WebClient ann(served);
            QVERIFY(ann.handedOver);
            SlotEnd& slot = *served.slotEnds.front();
            if (browserCloses)
                ann.socket.close();
            if (serverCloses)
                slot.closeEnd();
            QVERIFY(ann.waitClosed());
            if (!browserCloses)
                QCOMPARE(ann.socket.closeCode(), QWebSocketProtocol::CloseCodeNormal);
            if (!serverCloses) {
                QVERIFY(served.readUntil([&] { return slot.closed; }));
                slot.closeEnd();
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), descriptorsBefore, timeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(
            served.gateway.findChildren<WebClientBridge*>().isEmpty(), timeoutMs);
    }
};

QTEST_GUILESS_MAIN(TestWebGateway)
#include "tst_web_gateway.moc"
