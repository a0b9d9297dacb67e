#include "server_window.h"
#include "web_client.h"

// Browsers' clients through the real window and engine, beside TCP clients.
class TestWebChat : public QObject {
    Q_OBJECT

private slots:
    // Ann in a browser and Bob over TCP: joins, the roster as messages of
    // its own, every byte value both ways, and departures. Then, started
    // again with the page's port taken by the chat port: chat is served all
    // the same, the status bar says why the page is not, and a stop clears it.
    void browserAndTcpClientChat()
    {
        ServerWindow w;
        const ReservedPort web;
        w.webPort.setPort(web.port);
        w.start();
        const QLabel* status = w.control<QLabel>("lblWebPage");
        QVERIFY(status->text().contains(QString::number(web.port)));

        WebClient ann(QStringLiteral("127.0.0.1:%1").arg(web.port));
        QVERIFY(ann.receives({ "NICK" }));
        ann.socket.sendBinaryMessage("USER:ann");
        QVERIFY(ann.receives(rosterBroadcast("NEWUSER:ann", { "op", "ann" })));
        Client bob = w.connect("127.0.0.2");
        QVERIFY(bob);
        bob->write("USER:bob");
        const QByteArrayList bobJoined = rosterBroadcast("NEWUSER:bob", { "op", "ann", "bob" });
        QVERIFY(ann.receives(bobJoined));
        QVERIFY(receives(*bob, bobJoined.join()));
        QCOMPARE(roster(w.state).mid(1), (QByteArrayList { "ann 127.0.0.1 1", "bob 127.0.0.2 2" }));

        const QByteArray low = allByteValues().first(128), high = allByteValues().last(128);
        bob->write(low);
        QVERIFY(ann.receives({ low }));
        QVERIFY(receives(*bob, low));
        ann.socket.sendBinaryMessage(high);
        QVERIFY(ann.receives({ high }));
        QVERIFY(receives(*bob, high));

        ann.socket.close();
        QVERIFY(receives(*bob, rosterBroadcast("QUIT", { "op", "bob" }).join()));
        QCOMPARE(roster(w.state).mid(1), QByteArrayList { "bob 127.0.0.2 2" });

        w.engine.cmdStop_Click();
        w.webPort.setPort(w.port);
        w.start();
        QVERIFY(w.connect());
        QVERIFY(status->text().startsWith("The chat page is not served: port"));
        w.engine.cmdStop_Click();
        QCOMPARE(status->text(), QString());
    }
};

QTEST_MAIN(TestWebChat)
#include "tst_web_chat.moc"
