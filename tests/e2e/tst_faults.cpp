#include "log_file.h"
#include "loopback_server.h"
#include "main_window.h"
#include "save_dialog.h"

#include <QComboBox>
#include <QTabWidget>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

#include <sys/resource.h>

namespace {

constexpr int timeoutMs = LoopbackServer::timeoutMs;

class WaitingSaveDialog final : public SaveDialog {
public:
    WaitingSaveDialog(QString fileName, std::function<void()> whileOpen)
        : m_fileName(std::move(fileName))
        , m_whileOpen(std::move(whileOpen))
    {
    }
    std::optional<QString> ShowSave(QWidget*) override
    {
        m_whileOpen();
        return m_fileName;
    }

private:
    QString m_fileName;
    std::function<void()> m_whileOpen;
};

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void silentClientHoldsNothingUp();
    void flooderThatNeverReadsIsCutOff();
    void runningOutOfDescriptors();
    void savingWhileClientsChat();
    void longLinesThroughTheWindow_data();
    void longLinesThroughTheWindow();
};

void TestFaults::silentClientHoldsNothingUp()
{
    LoopbackServer server;
    LoopbackClient silent(server.port);
    QTRY_COMPARE_WITH_TIMEOUT(silent.received(), QByteArray("NICK"), timeoutMs);
    auto ann = server.join("ann");
    QVERIFY(ann);
    QVERIFY(stillServed(*ann, "ann: hello"));
    QTRY_VERIFY_WITH_TIMEOUT(silent.hasReceived("NEWUSER:annUSER:opUSER:annann: hello"), timeoutMs);
    QCOMPARE(server.state.Users.ListCount(), 2);
}

// A client that sends as fast as it can and reads nothing gets its own lines
// back until its unsent output passes the cap; then it is cut off and leaves
// the roster. Everything the server read from it is in the log, in order,
// and the others are served throughout.
void TestFaults::flooderThatNeverReadsIsCutOff()
{
    LoopbackServer server;
    // An input budget large enough that the flood outgrows the output cap in
    // seconds; the budget itself is tested on its own.
    server.slots_.setInputBudget({ 256 * 1024 * 1024, 16 * 1024 * 1024 });
    auto flooder = server.join("flood");
    auto reader = server.join("reader");
    QVERIFY(flooder && reader);
    flooder->stopReading();

    constexpr qsizetype total = 64 * 1024 * 1024;
    QByteArray chunk(64 * 1024, 'f');
    for (qsizetype i = 0; i < chunk.size(); i += 251)
        chunk[i] = char(0x80 + i % 128);
    qsizetype sent = 0;
    QElapsedTimer clock;
    clock.start();
    while (sent < total && clock.elapsed() < timeoutMs && !flooder->pump()) {
        if (flooder->allSent()) {
            flooder->send(QByteArrayView(chunk));
            sent += chunk.size();
        }
        reader->clearReceived();
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.state.Users.ListCount(), 2, timeoutMs);
    QCOMPARE(server.state.Users.List(1), QStringLiteral("reader"));
    const QByteArray logged = server.chatLogged();
    QVERIFY2(logged.size() >= chunk.size(), qPrintable(QString::number(logged.size())));
    QVERIFY(logged.size() <= sent);
    for (qsizetype at = 0; at < logged.size(); at += chunk.size())
        QVERIFY(chunk.startsWith(logged.mid(at, chunk.size())));
    QVERIFY(stillServed(*reader, "reader: still here"));
}

// Out of descriptors, new connections are dropped at once while the clients
// already in keep chatting; once a descriptor is free, accepting resumes.
void TestFaults::runningOutOfDescriptors()
{
    LoopbackServer server;
    auto ann = server.join("ann");
    auto bob = server.join("bob");
    QVERIFY(ann && bob);

    // Client sockets made now need no descriptor to connect later.
    std::vector<std::unique_ptr<LoopbackClient>> waiting;
    for (int i = 0; i < 12; ++i)
        waiting.push_back(std::make_unique<LoopbackClient>());
    rlimit saved {};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = rlim_t(openDescriptors() + 3);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);

    std::vector<LoopbackClient*> accepted;
    LoopbackClient* refused = nullptr;
    for (auto& client : waiting) {
        QVERIFY(client->connectTo(server.port));
        QVERIFY(QTest::qWaitFor([&] { return client->received() == "NICK" || client->pump(); }, timeoutMs));
        if (client->received() != "NICK") {
            refused = client.get();
            break;
        }
        accepted.push_back(client.get());
    }
    QVERIFY(refused);
    QVERIFY(!accepted.empty());
    QVERIFY(stillServed(*ann, "ann: still chatting"));
    QTRY_VERIFY_WITH_TIMEOUT(bob->hasReceived("ann: still chatting"), timeoutMs);

    accepted.front()->close();
    QTRY_VERIFY_WITH_TIMEOUT(bob->hasReceived("QUIT"), timeoutMs);
    LoopbackClient* next = waiting.back().get();
    QVERIFY(next->connectTo(server.port));
    QTRY_COMPARE_WITH_TIMEOUT(next->received(), QByteArray("NICK"), timeoutMs);
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

// The log is saved while clients chat, with the dialog open long enough for
// lines to arrive: the file holds every line logged before the save.
void TestFaults::savingWhileClientsChat()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    SocketSlotArray slots_;
    MainWindow frmMain(slots_);
    const quint16 port = freePort();
    frmMain.findChild<QLineEdit*>(QStringLiteral("txtNickname"))->setText(QStringLiteral("op"));
    frmMain.findChild<QComboBox*>(QStringLiteral("cmbPort"))->setEditText(QString::number(port));
    frmMain.findChild<QPushButton*>(QStringLiteral("cmdStart"))->click();
    ListModel& log = frmMain.state().Log;

    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < 5; ++i) {
        clients.push_back(std::make_unique<LoopbackClient>(port));
        QTRY_VERIFY_WITH_TIMEOUT(clients.back()->hasReceived("NICK"), timeoutMs);
    }
    int line = 0;
    const auto chat = [&] {
        for (auto& client : clients) {
            client->send("line " + QByteArray::number(line++));
            client->clearReceived();
        }
    };
    int rowsWhenDialogOpened = 0;
    frmMain.setSaveDialog(std::make_unique<WaitingSaveDialog>(path, [&] {
        rowsWhenDialogOpened = log.ListCount();
        for (int round = 0; round < 20; ++round) {
            chat();
            QTest::qWait(5);
        }
    }));
    for (int round = 0; round < 20; ++round) {
        chat();
        QTest::qWait(5);
    }
    frmMain.findChild<QPushButton*>(QStringLiteral("cmdSaveLog"))->click();
    const QByteArray saved = logFileContents(log);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), saved);
    QVERIFY(log.ListCount() > rowsWhenDialogOpened);
}

void TestFaults::longLinesThroughTheWindow_data()
{
    QTest::addColumn<int>("page");
    QTest::newRow("Logs") << 1;
    QTest::newRow("Users") << 2;
    QTest::newRow("Chat") << 3;
}

// Lines of a megabyte go through the real window with its page on screen:
// every byte reaches the others in order, and a short line after them is
// still relayed.
void TestFaults::longLinesThroughTheWindow()
{
    QFETCH(int, page);
    SocketSlotArray slots_;
    // Eight megabytes in a second or two rather than the default budget's two
    // minutes, and room for them in the output of clients that read only
    // between the server's passes; budget and cap are tested on their own.
    slots_.setInputBudget({ 8 * 1024 * 1024, 1024 * 1024 });
    slots_.setOutputCap(64 * 1024 * 1024);
    MainWindow frmMain(slots_);
    frmMain.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frmMain));
    const quint16 port = freePort();
    frmMain.findChild<QLineEdit*>(QStringLiteral("txtNickname"))->setText(QStringLiteral("op"));
    frmMain.findChild<QComboBox*>(QStringLiteral("cmbPort"))->setEditText(QString::number(port));
    frmMain.findChild<QPushButton*>(QStringLiteral("cmdStart"))->click();
    frmMain.findChild<QTabWidget*>(QStringLiteral("Overzicht"))->setCurrentIndex(page);

    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (const QByteArray name : { "sender", "other", "late" }) {
        clients.push_back(std::make_unique<LoopbackClient>(port));
        clients.back()->send("USER:" + name);
        QTRY_VERIFY_WITH_TIMEOUT(clients.back()->hasReceived("NEWUSER:" + name), timeoutMs);
    }
    for (auto& client : clients)
        client->clearReceived();
    QByteArray lines;
    for (int i = 0; i < 8; ++i) {
        QByteArray line(1024 * 1024, char('a' + i));
        line[0] = char(0xe0 + i);
        clients[0]->send(line);
        lines += line;
    }
    const auto allHave = [&](qsizetype bytes) {
        return serveUntil([&] {
            return std::all_of(clients.begin(), clients.end(), [&](auto& client) { return client->received().size() >= bytes; });
        });
    };
    QVERIFY(allHave(lines.size()));
    for (auto& client : clients)
        QVERIFY(client->received() == lines);
    clients[2]->send("late: short");
    QVERIFY(allHave(lines.size() + 11));
    QVERIFY(clients[1]->received().endsWith("late: short"));
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
