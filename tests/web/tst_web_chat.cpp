#include "server_window.h"

#include <QWebSocket>

// Browsers' clients through the real window and engine, beside TCP clients.
class TestWebChat : public QObject {
    Q_OBJECT

    // A browser's WebSocket, from a page this server served: the messages
    // it receives, one entry a message.
    struct WebClient {
        QWebSocket socket;
        QByteArrayList received;

        WebClient(quint16 port)
            : socket(QStringLiteral("http://127.0.0.1:%1").arg(port))
        {
            QObject::connect(&socket, &QWebSocket::binaryMessageReceived,
                [this](const QByteArray& message) { received.append(message); });
            socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/chat").arg(port)));
        }
        // Whether exactly these messages come next, apart; takes them.
        bool receives(const QByteArrayList& messages)
        {
            const bool arrived
                = QTest::qWaitFor([&] { return received.size() >= messages.size(); }, timeoutMs);
            return arrived && std::exchange(received, {}) == messages;
        }
        bool closed()
        {
            return QTest::qWaitFor(
                [&] { return socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
        }
    };

private slots:
    // Ann in a browser and Bob over TCP: joins, the roster as messages of
    // its own, every byte value both ways, a message over the bound that
    // cuts its sender off and no one else, and departures.
    void browserAndTcpClientChat()
    {
        ServerWindow w;
        const ReservedPort web;
        w.webPort.setPort(web.port);
        w.start();
        QVERIFY(w.control<QLabel>("lblWebPage")->text().contains(QString::number(web.port)));

        WebClient ann(web.port);
        QVERIFY(ann.receives({ "NICK" }));
        ann.socket.sendBinaryMessage("USER:ann");
        QVERIFY(ann.receives(rosterBroadcast("NEWUSER:ann", { "op", "ann" })));
        Client bob = w.connect("127.0.0.2");
        QVERIFY(bob);
        bob->write("USER:bob");
        const QByteArrayList bobJoined = rosterBroadcast("NEWUSER:bob", { "op", "ann", "bob" });
        QVERIFY(ann.receives(bobJoined));
        QVERIFY(w.receives(*bob, bobJoined.join()));
        QCOMPARE(roster(w.state).mid(1), (QByteArrayList { "ann 127.0.0.1 1", "bob 127.0.0.2 2" }));

        QByteArray low;
        QByteArray high;
        for (int byte = 0; byte < 128; ++byte) {
            low.append(char(byte));
            high.append(char(byte + 128));
        }
        bob->write(low);
        QVERIFY(ann.receives({ low }));
        QVERIFY(w.receives(*bob, low));
        ann.socket.sendBinaryMessage(high);
        QVERIFY(ann.receives({ high }));
        QVERIFY(w.receives(*bob, high));

        WebClient cy(web.port);
        QVERIFY(cy.receives({ "NICK" }));
        cy.socket.sendBinaryMessage(QByteArray(64 * 1024 + 1, 'x'));
        QVERIFY(cy.closed());
        QCOMPARE(cy.socket.closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
        QVERIFY(w.stillServed(*bob, "still here"));
        QVERIFY(ann.receives({ "still here" }));

        ann.socket.close();
        QVERIFY(w.receives(*bob, rosterBroadcast("QUIT", { "op", "bob" }).join()));
        QCOMPARE(roster(w.state).mid(1), QByteArrayList { "bob 127.0.0.2 2" });
    }
};

QTEST_MAIN(TestWebChat)
#include "tst_web_chat.moc"
