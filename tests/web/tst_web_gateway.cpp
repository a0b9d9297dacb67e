#include "web_client.h"
#include "web_gateway.h"

#include <QHostInfo>
#include <QtTest>

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
    Q_DISABLE_COPY_MOVE(SlotEnd)
    ~SlotEnd() { closeEnd(); }
    void closeEnd()
    {
        if (fd >= 0)
            ::close(std::exchange(fd, -1));
    }
    // Reads each packet whole until `done` holds; bounded by what was sent.
    bool readUntil(const std::function<bool()>& done)
    {
        return QTest::qWaitFor(
            [&] {
                while (fd >= 0 && !closed) {
                    const ssize_t size
                        = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
                    if (size < 0)
                        break;
                    QByteArray packet(size, Qt::Uninitialized);
                    closed = ::recv(fd, packet.data(), size_t(size), MSG_DONTWAIT) <= 0;
                    if (!closed)
                        packets.append(packet);
                }
                return done();
            },
            timeoutMs);
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
    // A browser's client on the chat, once the gateway has handed it over;
    // none where it was not.
    std::unique_ptr<WebClient> join()
    {
        const size_t before = slotEnds.size();
        auto client = std::make_unique<WebClient>(hostAndPort());
        const bool handedOver = QTest::qWaitFor(
            [&] {
                return slotEnds.size() > before
                    && client->socket.state() == QAbstractSocket::ConnectedState;
            },
            timeoutMs);
        return handedOver ? std::move(client) : nullptr;
    }
};

// What the gateway answers `request`: all of it, once it closes, or only
// the first line, which an upgrade answers without closing.
QByteArray answer(quint16 port, const QByteArray& request, bool firstLine = false)
{
    Client client = connectClient(port);
    client->write(request);
    const bool answered = QTest::qWaitFor(
        [&] {
            return (firstLine && client->canReadLine())
                || client->state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs);
    return !answered ? QByteArray() : firstLine ? client->readLine() : client->readAll();
}

// A browser's request to open the chat's WebSocket.
QByteArray upgradeRequest(const QString& host, const QString& origin)
{
    return "GET /chat HTTP/1.1\r\nHost: " + host.toLatin1()
        + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
        + (origin.isNull() ? QByteArray() : "Origin: " + origin.toLatin1() + "\r\n") + "\r\n";
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

} // namespace

class TestWebGateway : public QObject {
    Q_OBJECT

private slots:
    // Each message is one packet one way and one WebSocket message the
    // other, whatever its bytes and up to the bound; the slot array is
    // told the browser's address.
    void messagesStayApart()
    {
        Served served;
        const auto ann = served.join();
        QVERIFY(ann);
        SlotEnd& slot = *served.slotEnds.front();
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(&slot.remote.sin6_addr), 16),
            QByteArray::fromHex("00000000000000000000ffff7f000001"));
        QCOMPARE(ntohs(slot.remote.sin6_port), ann->socket.localPort());

        const QByteArrayList fromBrowser { "USER:ann", allByteValues(),
            QByteArray(WebClientBridge::messageLimit, 'm'), QByteArray("caf\xe9") };
        ann->socket.sendBinaryMessage(QByteArray()); // nothing to send on
        for (const QByteArray& message : fromBrowser.mid(0, 3))
            ann->socket.sendBinaryMessage(message);
        ann->socket.sendTextMessage(QString::fromLatin1(fromBrowser.last()));
        QVERIFY(slot.readUntil([&] { return slot.packets.size() >= fromBrowser.size(); }));
        QCOMPARE(slot.packets, fromBrowser);

        // Packets bigger than the pair's default buffer are sent as the slot
        // array sends them, after widening it.
        const int wide = 1 << 20;
        QVERIFY(::setsockopt(slot.fd, SOL_SOCKET, SO_SNDBUF, &wide, sizeof wide) == 0);
        const QByteArrayList toBrowser { "NEWLIST", "NEWUSER:ann", "USER:op", "USER:ann",
            allByteValues(), QByteArray(300 * 1024, 'r') };
        for (const QByteArray& packet : toBrowser)
            QVERIFY(slot.send(packet));
        QVERIFY(ann->receives(toBrowser));

        // A crowd of idle connections pushes out the oldest, while the page
        // is still served.
        const quint16 port = served.gateway.port();
        std::vector<Client> idle;
        for (int i = 0; i <= HttpExchanges::capacity; ++i) {
            idle.push_back(connectClient(port));
            QTRY_COMPARE_WITH_TIMEOUT(
                idle.back()->state(), QAbstractSocket::ConnectedState, timeoutMs);
        }
        QTRY_COMPARE_WITH_TIMEOUT(
            idle.front()->state(), QAbstractSocket::UnconnectedState, timeoutMs);
        QVERIFY(answer(port, "GET / HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200 OK"));
        QCOMPARE(idle.back()->state(), QAbstractSocket::ConnectedState);
    }

    // The page, or a short text that says why not, always with its length
    // and a type browsers may not guess at. Only the server's own page, by
    // any name of this machine, opens the chat: a page elsewhere, or a name
    // that merely leads here, is refused. %1 stands for the gateway's port.
    void answers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("status");
        const auto row = [](const char* name, const QByteArray& request, const char* status) {
            QTest::newRow(name) << request << QByteArray(status);
        };
        row("the page", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", "200 OK");
        row("its head only", "HEAD / HTTP/1.1\r\nHost: a\r\n\r\n", "200 OK");
        row("bare line feeds", "GET / HTTP/1.0\n\n", "200 OK");
        row("the page by name, with a query", "GET /index.html?x=1 HTTP/1.1\r\nHost: a\r\n\r\n",
            "200 OK");

        const QString ip = QStringLiteral("127.0.0.1:%1");
        const QString machine = QHostInfo::localHostName() + QStringLiteral(":%1");
        const QString inside = QHostInfo::localHostName() + QStringLiteral(".evil.example:%1");
        const auto upgrade
            = [&](const char* name, const QString& host, const QString& origin, bool upgrades) {
                  row(name, upgradeRequest(host, origin),
                      upgrades ? "101 Switching Protocols" : "403 Forbidden");
              };
        upgrade("its own page", ip, "http://" + ip, true);
        upgrade(
            "its own page, as localhost in capitals", "LOCALHOST:%1", "http://localhost:%1", true);
        upgrade("its own page, by IPv6", "[::1]:%1", "http://[::1]:%1", true);
        upgrade("its own page, by the machine's name", machine, "http://" + machine, true);
        upgrade("a foreign page", ip, "http://evil.example", false);
        upgrade("its page over https", ip, "https://" + ip, false);
        upgrade("its address on another port", ip, "http://127.0.0.1:1", false);
        upgrade("no origin", ip, QString(), false);
        upgrade("a name re-pointed at this machine", "evil.example:%1", "http://evil.example:%1",
            false);
        upgrade("the machine's name inside another", inside, "http://" + inside, false);

        row("another path", "GET /admin HTTP/1.1\r\n\r\n", "404 Not Found");
        row("out of the folder", "GET /../page/index.html HTTP/1.1\r\n\r\n", "404 Not Found");
        row("no version", "GET /\r\n\r\n", "400 Bad Request");
        row("a field without a colon", "GET / HTTP/1.1\r\nHost a\r\n\r\n", "400 Bad Request");
        row("another method", "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
            "405 Method Not Allowed");
        row("two hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", "400 Bad Request");
        row("binary", QByteArray("\x16\x03\x01\x02\0\x01\0\r\n\r\n", 11), "400 Bad Request");
        row("the chat without an upgrade", "GET /chat HTTP/1.1\r\nHost: a\r\n\r\n",
            "426 Upgrade Required");
    }
    void answers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, status);
        Served served;
        request.replace("%1", QByteArray::number(served.gateway.port()));
        // An upgrade hands the client over, and is read up to its first line.
        const bool upgrades = status.startsWith("101");
        const QByteArray answer = ::answer(served.gateway.port(), request, upgrades);
        QVERIFY2(answer.startsWith("HTTP/1.1 " + status + "\r\n"), answer.constData());
        QCOMPARE(served.slotEnds.size(), size_t(upgrades));
        if (upgrades)
            return;
        const bool isPage = status == "200 OK";
        QFile page(QStringLiteral(":/web/page/index.html"));
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QByteArray body = isPage ? page.readAll() : status.mid(4) + '\n';
        const qsizetype headEnd = answer.indexOf("\r\n\r\n");
        QVERIFY2(headEnd > 0, answer.constData());
        const QByteArray head = answer.first(headEnd + 2);
        const QByteArrayList expected { "\r\nContent-Type: text/"
                + QByteArray(isPage ? "html" : "plain") + "; charset=utf-8\r\n",
            "\r\nX-Content-Type-Options: nosniff\r\n",
            "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n",
            isPage ? "\r\nContent-Security-Policy: default-src 'self'" : "\r\n" };
        for (const QByteArray& part : expected)
            QVERIFY2(head.contains(part), head.constData());
        QCOMPARE(answer.mid(headEnd + 4), request.startsWith("HEAD") ? QByteArray() : body);
    }

    // While a browser does not read, the pair is not read either, so what the
    // slot array sends waits there, under its caps; it all follows once the
    // browser reads. Closing the slot then lets go of the pair's other end
    // and the browser's connection, though the browser still does not read.
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
        QVERIFY(browser.readUntil(taken / packet.size() * (packet.size() + 10)));

        QCOMPARE_LT(offer(slot, packet, offered), offered / 2);
        const int descriptorsOpen = openDescriptors();
        slot.closeEnd();
        QTRY_VERIFY_WITH_TIMEOUT(openDescriptors() <= descriptorsOpen - 3, timeoutMs);
    }

    // A client that breaks a bound is cut off, nothing of the offending
    // message reaches the chat, and another client chats on.
    void cutOff()
    {
        Served served;
        const auto bob = served.join();
        QVERIFY(bob);
        SlotEnd& bobsSlot = *served.slotEnds.front();
        const qsizetype limit = WebClientBridge::messageLimit;
        // A message over the bound, text beyond Latin-1, and sending faster
        // than the server reads.
        const std::tuple<QByteArrayList, QString, QWebSocketProtocol::CloseCode> offences[] = {
            { { QByteArray(limit + 1, 'x') }, {}, QWebSocketProtocol::CloseCodeTooMuchData },
            { {}, QStringLiteral("10 \u20ac"), QWebSocketProtocol::CloseCodeWrongDatatype },
            { QByteArrayList(2 * WebClientBridge::queueLimit / limit, QByteArray(limit, 'f')), {},
                QWebSocketProtocol::CloseCodePolicyViolated },
        };
        for (const auto& [binary, text, closeCode] : offences) {
            const auto offender = served.join();
            QVERIFY(offender);
            SlotEnd& offendersSlot = *served.slotEnds.back();
            for (const QByteArray& message : binary)
                offender->socket.sendBinaryMessage(message);
            if (!text.isNull())
                offender->socket.sendTextMessage(text);
            QVERIFY(offender->closed());
            QCOMPARE(offender->socket.closeCode(), closeCode);
            // The slot array sees the departure, after whatever was let
            // through: of several messages, those sent before the bound was
            // broken.
            QVERIFY(offendersSlot.readUntil([&] { return offendersSlot.closed; }));
            QCOMPARE(!offendersSlot.packets.isEmpty(), binary.size() > 1);
        }

        bob->socket.sendBinaryMessage("still here");
        QVERIFY(bobsSlot.send("hello bob"));
        QVERIFY(bobsSlot.readUntil([&] { return !bobsSlot.packets.isEmpty(); }));
        QCOMPARE(bobsSlot.packets, QByteArrayList { "still here" });
        QVERIFY(bob->receives({ "hello bob" }));
    }

    // Whichever side closes first, the other is closed and nothing is left
    // open, also when both close at once.
    void departures()
    {
        Served served;
        const int descriptorsBefore = openDescriptors();
        // The browser leaves, the server closes the slot, both at once.
        for (const auto& [browserCloses, serverCloses] :
            { std::pair(true, false), std::pair(false, true), std::pair(true, true) }) {
            const auto ann = served.join();
            QVERIFY(ann);
            SlotEnd& slot = *served.slotEnds.back();
            if (browserCloses)
                ann->socket.close();
            if (serverCloses)
                slot.closeEnd();
            QVERIFY(ann->closed());
            if (!browserCloses)
                QCOMPARE(ann->socket.closeCode(), QWebSocketProtocol::CloseCodeNormal);
            if (!serverCloses) {
                QVERIFY(slot.readUntil([&] { return slot.closed; }));
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
