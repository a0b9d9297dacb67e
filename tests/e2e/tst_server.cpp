#include "server_window.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTabWidget>

#include <sys/resource.h>

namespace {

constexpr int timeoutMs = ServerWindow::timeoutMs;

QByteArray roster(const QByteArray& event, const QByteArrayList& nicknames)
{
    return "NEWLIST" + event + "USER:" + nicknames.join("USER:");
}

} // namespace

class TestServer : public QObject {
    Q_OBJECT

private slots:
    // Clients as they come: one that never answers (it holds nothing up and
    // is sent everything), joins, probes, a chat line of every kind of byte,
    // the operator's line, departures, a reset during a broadcast, a stop and
    // a start.
    void chatSession()
    {
        ServerWindow w;
        w.start();
        Client silent = w.connect();
        Client ann = w.connect();
        Client bob = w.connect();
        QVERIFY(silent && ann && bob);
        const auto allReceive = [&](const QByteArray& bytes) {
            return w.receives(*silent, bytes) && w.receives(*ann, bytes) && w.receives(*bob, bytes);
        };
        ann->write("USER:ann");
        QVERIFY(allReceive(roster("NEWUSER:ann", { "op", "ann" })));
        bob->write("USERxbob");
        QVERIFY(allReceive(roster("NEWUSER:bob", { "op", "ann", "bob" })));
        QCOMPARE(rows(w.state().Ip).last(), QByteArray("127.0.0.1"));
        QCOMPARE(rows(w.state().connection), (QByteArrayList { "0", "2", "3" }));

        for (const char* probe : { "SCAN", "SCANNER" }) {
            ann->write(probe);
            QVERIFY(w.receives(*ann, "OK"));
        }
        const QByteArray line("scan \x00\x01 caf\xe9 \x80\xff", 13);
        ann->write(line);
        QVERIFY(allReceive(line));
        QCOMPARE(rows(w.state().Log).last(), line);
        QCOMPARE(rows(w.state().Messages).last(), line);
        w.control<QLineEdit>("txtMessage")->setText(QStringLiteral("caf\xe9"));
        w.button("cmdSend")->click();
        QVERIFY(allReceive("op:  caf\xe9"));

        bob->disconnectFromHost();
        QVERIFY(w.receives(*ann, roster("QUIT", { "op", "ann" })));
        QVERIFY(w.receives(*silent, roster("QUIT", { "op", "ann" })));

        // Ann resets as the server logs a join, before it sends the roster:
        // her departure is handled inside that broadcast, costing only her messages.
        connect(&w.state().Log, &ListModel::rowsInserted, ann.get(), [&] { reset(*ann); }, Qt::SingleShotConnection);
        Client cy = w.connect();
        QVERIFY(cy);
        cy->write("USER:cy");
        QTRY_COMPARE_WITH_TIMEOUT(rows(w.state().Users), (QByteArrayList { "op", "cy" }), timeoutMs);
        for (QTcpSocket* client : { silent.get(), cy.get() }) {
            QTRY_VERIFY_WITH_TIMEOUT(received(*client).contains("NEWUSER:cy") && received(*client).contains("QUIT"),
                timeoutMs);
        }

        // A stop refuses newcomers and keeps the clients; a start goes on numbering.
        w.button("cmdStop")->click();
        Client refused = connectClient(w.port);
        QTRY_COMPARE_WITH_TIMEOUT(refused->error(), QAbstractSocket::ConnectionRefusedError, timeoutMs);
        QVERIFY(w.stillServed(*cy, "cy: still here"));
        w.button("cmdStart")->click();
        QVERIFY(w.connect());
        QCOMPARE(w.state().connectie, 5);
    }

    // A client over its input budget is read later, not cut off: with the
    // chat on screen, every byte of its 8 MiB reaches every client and the log
    // in order, another client's short line overtakes what the flooder has
    // not been granted yet, and the throttled socket does not keep the event
    // loop busy.
    void floodThroughTheWindow()
    {
        ServerWindow w;
        constexpr qint64 burst = 1024 * 1024;
        w.server.setInputBudget({ 4 * 1024 * 1024, burst });
        w.frmMain.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.frmMain));
        w.start();
        w.control<QTabWidget>("Overzicht")->setCurrentIndex(3);
        Client flooder = w.connect();
        Client other = w.connect();
        Client reader = w.connect();
        QVERIFY(flooder && other && reader);

        QByteArray flood(8 * 1024 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < flood.size(); ++i)
            flood[i] = char(0x80 + i % 127);
        flooder->write(flood);
        QTRY_VERIFY_WITH_TIMEOUT(reader->bytesAvailable() > burst, timeoutMs);
        // Yielding for 50 ms (some thousand socket passes) finds next to nothing.
        const qint64 eventsBefore = w.server.readyEvents();
        QElapsedTimer yielding;
        yielding.start();
        for (int pass = 0; pass < 1000000 && yielding.elapsed() < 50; ++pass)
            w.server.DoEvents();
        const qint64 events = w.server.readyEvents() - eventsBefore;
        QVERIFY2(events < 100, qPrintable(QString::number(events)));

        const QByteArray line("other: a short line");
        other->write(line);
        QTRY_VERIFY_WITH_TIMEOUT(received(*reader).contains(line), timeoutMs);
        QVERIFY(reader->bytesAvailable() < flood.size());
        for (QTcpSocket* client : { flooder.get(), other.get(), reader.get() }) {
            QTRY_COMPARE_WITH_TIMEOUT(client->bytesAvailable(), flood.size() + line.size(), timeoutMs);
            QByteArray relayed = client->readAll();
            QVERIFY(relayed.remove(relayed.indexOf(line), line.size()) == flood);
        }
        QByteArray logged = rows(w.state().Log).join();
        QVERIFY(logged.remove(logged.indexOf(line), line.size()) == flood);
    }

    // Out of descriptors, new connections are dropped at once while the
    // clients already in keep chatting; once a descriptor is free, accepting
    // resumes.
    void runningOutOfDescriptors()
    {
        ServerWindow w;
        w.start();
        Client ann = w.connect();
        Client bob = w.connect();
        QVERIFY(ann && bob);
        // Connected into the listen backlog now; the server accepts them below.
        std::vector<Client> waiting(12);
        for (Client& client : waiting)
            client = connectClient(w.port);
        rlimit saved {};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        const auto restore = qScopeGuard([&] { ::setrlimit(RLIMIT_NOFILE, &saved); });
        rlimit low = saved;
        low.rlim_cur = rlim_t(openDescriptors() + 3);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);

        const auto greeted = [](const Client& client) { return client->bytesAvailable() == 4; };
        const auto settled = [&](const Client& client) {
            return greeted(client) || client->state() == QAbstractSocket::UnconnectedState;
        };
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(waiting.begin(), waiting.end(), settled), timeoutMs);
        const auto refused = std::partition(waiting.begin(), waiting.end(), greeted);
        QVERIFY(refused != waiting.begin() && refused != waiting.end());
        QVERIFY(w.stillServed(*ann, "ann: still chatting"));
        QVERIFY(w.receives(*bob, "ann: still chatting"));

        waiting.front()->disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(received(*bob).contains("QUIT"), timeoutMs);
        waiting.back() = w.connect();
        QVERIFY(waiting.back());
    }
};

QTEST_MAIN(TestServer)
#include "tst_server.moc"
