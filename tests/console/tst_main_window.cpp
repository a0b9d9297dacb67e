#include "list_box.h"
#include "list_box_accessible.h"
#include "log_printer.h"
#include "message_box.h"
#include "page_writer.h"
#include "resource_limit.h"
#include "save_dialog.h"
#include "server_window.h"

#include <QtWidgets>

#include <functional>

#include <private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include <sys/resource.h>

namespace {

using namespace std::chrono_literals;

struct ScriptedSaveDialog final : SaveDialog {
    std::function<std::optional<QString>()> answer;
    std::optional<QString> ShowSave(QWidget*) override { return answer(); }
};

struct RecordingPrinter final : LogPrinter {
    QByteArrayList record;
    Failure StartDoc() override { return {}; }
    void Print(const QByteArray& line) override { record.append(line); }
    Failure EndDoc() override
    {
        record.append("<end>");
        return {};
    }
    void AbortDoc() override { record.append("<aborted>"); }
};

// What assistive technology is told, "object event first-row" each, from the
// moment accessibility is turned on, as a screen reader turns it on.
QStringList accessibilityEvents;

void listenAsAssistiveTechnology()
{
    QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(true);
    QAccessible::installUpdateHandler([](QAccessibleEvent* event) {
        const auto* change = dynamic_cast<QAccessibleTableModelChangeEvent*>(event);
        accessibilityEvents.append(event->object()->objectName() + u' '
            + QString::number(event->type()) + u' '
            + QString::number(change ? change->firstRow() : event->child()));
    });
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    // Clients as they come: joins, a chat line of every kind of byte, the
    // operator's line, About clicked while a line is relayed, departures, a
    // reset during a broadcast, a stop, a start, the last slot number and
    // Quit.
    void chatSession()
    {
        ServerWindow w;
        w.start();
        Client ann = w.connect();
        Client bob = w.connect();
        QVERIFY(ann && bob);
        const auto bothReceive = [&](const QByteArray& bytes) {
            return w.receives(*ann, bytes) && w.receives(*bob, bytes);
        };
        ann->write("USER:ann");
        QVERIFY(bothReceive(rosterBroadcast("NEWUSER:ann", { "op", "ann" }).join()));
        bob->write("USERxbob");
        QVERIFY(bothReceive(rosterBroadcast("NEWUSER:bob", { "op", "ann", "bob" }).join()));
        QCOMPARE(roster(w.state).mid(1), (QByteArrayList { "ann 127.0.0.1 1", "bob 127.0.0.1 2" }));

        const QByteArray line("scan \x00\x01 caf\xe9 \x80\xff", 13);
        ann->write(line);
        QVERIFY(bothReceive(line));
        QCOMPARE(rows(w.state.Log),
            (QByteArrayList { "User Entered The Chat: ann", "User Entered The Chat: bob", line }));
        auto* message = w.control<QLineEdit>("txtMessage");
        message->setText(QStringLiteral("caf\xe9"));
        w.button("cmdSend")->click();
        QVERIFY(bothReceive("op:  caf\xe9"));
        // The chat follows the operator's line; the log's selection stays where it was.
        QCOMPARE(std::pair(w.state.Messages.ListIndex(), w.state.Log.ListIndex()), std::pair(3, 2));
        // About, clicked in the window pass that gives Ann her copy of a line,
        // opens once the line's relay is done and logged.
        w.server.setYieldIntervals(0us, 0us);
        connect(ann.get(), &QTcpSocket::readyRead, w.control<QAction>("mnuAbout"),
            &QAction::trigger, Qt::SingleShotConnection);
        QByteArray loggedWhenShown;
        boxShownBy(
            [&] {
                bob->write("during About");
                QTRY_COMPARE_WITH_TIMEOUT(loggedWhenShown, "during About", timeoutMs);
            },
            [&] { loggedWhenShown = rows(w.state.Log).last(); });
        QVERIFY(bothReceive("during About"));

        bob->disconnectFromHost();
        QVERIFY(w.receives(*ann, rosterBroadcast("QUIT", { "op", "ann" }).join()));

        // Ann resets as the server logs a join, before it sends the roster: the
        // roster still goes to the others, and her departure follows it.
        const auto resetAnn = [&] { reset(*ann); };
        connect(
            &w.state.Log, &ListModel::rowsInserted, ann.get(), resetAnn, Qt::SingleShotConnection);
        w.state.connectie = 32767; // slot numbers go on past it
        Client cy = w.connect();
        QVERIFY(cy);
        cy->write("USER");
        const QByteArrayList joinedThenLeft = rosterBroadcast("NEWUSER:", { "op", "ann", "" })
            + rosterBroadcast("QUIT", { "op", "" });
        QVERIFY(w.receives(*cy, joinedThenLeft.join()));
        QCOMPARE(roster(w.state).mid(1), QByteArrayList { " 127.0.0.1 32768" });

        // A stop empties the roster, refuses newcomers and keeps the clients and
        // the count online; a start goes on numbering; Quit ends it all.
        w.button("cmdStop")->click();
        QCOMPARE(
            w.control<QLabel>("lblStatus")->palette().color(QPalette::WindowText), QColor(Qt::red));
        QVERIFY(w.button("cmdStart")->isEnabled() && !w.button("cmdStop")->isEnabled());
        QCOMPARE(w.control<QLabel>("lblOnline")->text(), QStringLiteral("2"));
        Client refused = connectClient(w.port);
        QTRY_COMPARE_WITH_TIMEOUT(
            refused->error(), QAbstractSocket::ConnectionRefusedError, timeoutMs);
        QVERIFY(w.stillServed(*cy, "still here"));
        w.start(QStringLiteral("op2"));
        QCOMPARE(rows(w.state.Users), QByteArrayList { "op2" });
        QCOMPARE(w.state.connectie, 32768);
        // Past the last slot number, newcomers are turned away unanswered and
        // those connected are served on.
        w.state.connectie = std::numeric_limits<int>::max() - 1;
        Client last = w.connect(), turnedAway = connectClient(w.port);
        QTRY_COMPARE_WITH_TIMEOUT(
            turnedAway->state(), QAbstractSocket::UnconnectedState, timeoutMs);
        QVERIFY(last && turnedAway->readAll().isEmpty());
        QVERIFY(w.stillServed(*last, "to the last slot"));
        bool ended = false;
        w.frmMain.setEndProgram([&] { ended = w.server.State(0) == SlotArray::sckClosed; });
        w.frmMain.findChild<QAction*>(QStringLiteral("mnuAfsluiten"))->trigger();
        QVERIFY(ended);
    }

    // Lines that arrive while another line is relayed wait their turn: every
    // client receives every line, each sender's in the order sent, and all
    // clients receive them in one order. Each client answers every line it
    // receives with its next one, so lines arrive in the yields of relays.
    void linesInOneOrder()
    {
        ServerWindow w;
        w.start();
        w.server.setYieldIntervals(0us, 0us);
        constexpr int linesEach = 30;
        const auto line = [](qsizetype sender, int n) {
            return QByteArray(1, char('a' + sender)) + QByteArray::number(100 + n);
        };
        const qsizetype lineSize = line(0, 0).size();
        std::vector<Client> clients;
        for (const char* from : { "127.0.0.2", "127.0.0.3", "127.0.0.4" }) {
            clients.push_back(w.connect(from));
            QVERIFY(clients.back());
        }
        const auto count = qsizetype(clients.size());
        QByteArrayList received(count);
        std::vector<int> sent(clients.size());
        for (qsizetype i = 0; i < count; ++i) {
            QTcpSocket& client = *clients[std::size_t(i)];
            const auto sendNext = [&, i] {
                if (sent[std::size_t(i)] < linesEach)
                    client.write(line(i, sent[std::size_t(i)]++));
            };
            connect(&client, &QTcpSocket::readyRead, &client, [&, i, sendNext] {
                received[i] += client.readAll();
                sendNext();
            });
            sendNext();
        }
        const qsizetype total = lineSize * linesEach * count;
        QTRY_VERIFY_WITH_TIMEOUT(
            std::ranges::all_of(
                received, [&](const QByteArray& bytes) { return bytes.size() >= total; }),
            timeoutMs);
        QCOMPARE(received.at(1), received.at(0));
        QCOMPARE(received.at(2), received.at(0));
        QByteArrayList bySender(count);
        for (qsizetype at = 0; at < total; at += lineSize)
            bySender[received.at(0).at(at) - 'a'] += received.at(0).mid(at, lineSize);
        for (qsizetype i = 0; i < count; ++i) {
            QByteArray expected;
            for (int n = 0; n < linesEach; ++n)
                expected += line(i, n);
            QCOMPARE(bySender.at(i), expected);
        }
    }

    // Out of descriptors, new connections are dropped at once while the
    // clients already in keep chatting; once a descriptor is free, accepting
    // resumes. When all have gone, every descriptor is back, and the slot array
    // holds no entry and, once their budgets are full again, no address.
    void underPressure()
    {
        ServerWindow w;
        w.start();
        QVERIFY(w.connect()); // Qt makes what its clients share with the first
        QTRY_COMPARE_WITH_TIMEOUT(w.server.openConnections(), 0, timeoutMs);
        const int descriptors = openDescriptors();
        Client ann = w.connect();
        QVERIFY(ann);
        // Connected into the listen backlog now; the server accepts them below.
        std::vector<Client> waiting(12);
        for (Client& client : waiting)
            client = connectClient(w.port);
        withLimit(RLIMIT_NOFILE, openDescriptors() + 3, [&] {
            const auto greeted = [](const Client& client) { return client->bytesAvailable() == 4; };
            const auto settled = [&](const Client& client) {
                return greeted(client) || client->state() == QAbstractSocket::UnconnectedState;
            };
            QTRY_VERIFY_WITH_TIMEOUT(std::ranges::all_of(waiting, settled), timeoutMs);
            const auto refused = std::ranges::partition(waiting, greeted);
            QVERIFY(refused.begin() != waiting.begin() && !refused.empty());
            QVERIFY(w.stillServed(*ann, "ann: still chatting"));

            const int open = w.server.openConnections();
            waiting.front()->disconnectFromHost();
            QTRY_COMPARE_WITH_TIMEOUT(w.server.openConnections(), open - 1, timeoutMs);
            waiting.back() = w.connect();
            QVERIFY(waiting.back());
        });
        ann.reset();
        waiting.clear();
        QTRY_COMPARE_WITH_TIMEOUT(w.server.openConnections(), 0, timeoutMs);
        QCOMPARE(openDescriptors(), descriptors);
        QTRY_COMPARE_WITH_TIMEOUT(w.server.knownAddresses(), 0, timeoutMs);
    }

    // Saved, the file holds the log as it is when the dialog closes, a quoted
    // row a line in its own bytes: all of it after the chat was cleared, what
    // came since after the log was. A cancel writes nothing, and a failed save
    // says so and leaves the earlier file as it was. Printed, every row is a
    // line, an empty log is a finished job too, and a job that cannot start
    // says so. Where the transcript cannot be written, the status bar says so.
    void saveAndPrintLog()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log.txt"));
        ServerWindow w;
        auto* dialog = new ScriptedSaveDialog;
        auto* printer = new RecordingPrinter;
        w.frmMain.logExport().setSaveDialog(std::unique_ptr<SaveDialog>(dialog));
        w.frmMain.logExport().setPrinter(std::unique_ptr<LogPrinter>(printer));
        dialog->answer = [&] { return std::optional(path); };
        w.button("cmdSaveLog")->click();
        w.button("cmdPrintLog")->click();
        QCOMPARE(fileBytes(path), QByteArray());

        TranscriptStore& transcript = w.state.transcript;
        transcript.append("User Entered The Chat: bob");
        transcript.append("say \"hi\"");
        w.button("cmdClearChat")->click();
        dialog->answer = [&] {
            transcript.append("caf\xe9 \x80\xff"); // arrives while the dialog is open
            return path;
        };
        w.button("cmdSaveLog")->click();
        QByteArray saved(
            "\"User Entered The Chat: bob\"\r\n\"say \"hi\"\"\r\n\"caf\xe9 \x80\xff\"\r\n");
        QCOMPARE(fileBytes(path), saved);
        w.button("cmdPrintLog")->click();
        QCOMPARE(printer->record,
            QByteArrayList { "<end>" } + rows(w.state.Log) + QByteArrayList { "<end>" });
        dialog->answer = [] { return std::nullopt; };
        w.button("cmdSaveLog")->click();
        QCOMPARE(fileBytes(path), saved);
        // A save serves what waits between its reads (here a timer, while
        // its progress dialog is up), and a Cancel there leaves the file.
        w.server.setYieldIntervals(0us, 0us);
        dialog->answer = [&] {
            QTimer::singleShot(0, &w.frmMain, [&] {
                if (auto* progress = w.frmMain.findChild<QProgressDialog*>())
                    progress->cancel();
            });
            return path;
        };
        transcript.append("not saved");
        QCOMPARE(boxShownBy([&] { w.button("cmdSaveLog")->click(); }), QString());
        QCOMPARE(fileBytes(path), saved);

        w.button("cmdClearLog")->click();
        transcript.append("after the clear");
        QCOMPARE(w.state.Messages.ListCount(), 3);
        dialog->answer = [&] { return path; };
        w.button("cmdSaveLog")->click();
        saved = "\"after the clear\"\r\n";
        QCOMPARE(fileBytes(path), saved);

        // Past the process's file size limit, a write fails half-way; the
        // transcript's files, past it too, leave its lines in memory.
        QString box = boxShownBy(
            [&] { withLimit(RLIMIT_FSIZE, 16, [&] { w.button("cmdSaveLog")->click(); }); });
        QVERIFY2(box.contains(path), qPrintable(box));
        QCOMPARE(fileBytes(path), saved);
        withLimit(RLIMIT_FSIZE, 16,
            [&] { transcript.append(QByteArray(TranscriptStore::flushBytes, 'x')); });
        const QString status = w.frmMain.statusBar()->currentMessage();
        QVERIFY2(status.contains(QStringLiteral("kept in memory")), qPrintable(status));

        // A printer that writes into a file: a cancelled job leaves nothing
        // there, a finished one its pages, and one that cannot be handed over
        // says so.
        const QString pdf = dir.filePath(QStringLiteral("log.pdf"));
        w.frmMain.logExport().setPrinter(std::make_unique<PagePrinter>(pdf));
        QTimer::singleShot(0, [&] { w.frmMain.findChild<QProgressDialog*>()->cancel(); });
        w.button("cmdPrintLog")->click();
        QVERIFY(!QFile::exists(pdf));
        w.button("cmdPrintLog")->click();
        QVERIFY(fileBytes(pdf).startsWith("%PDF"));
        w.frmMain.logExport().setPrinter(
            std::make_unique<PagePrinter>(dir.filePath("missing/log.pdf")));
        box = boxShownBy([&] { w.button("cmdPrintLog")->click(); });
        QVERIFY2(box.contains(QStringLiteral("missing/log.pdf")), qPrintable(box));
    }

    // The caption follows the nickname as it is typed. Enter anywhere presses
    // Send, unless a button has the focus: then that button. Tab walks each
    // page in reading order, then the buttons below it. Users and Ip select
    // together, by mouse, by keys and through assistive technology, which
    // sees every input by its name or its label's, and every list box as a
    // list of its rows: a long row told in part, the selected row selected
    // and, with the box, focused. A change is told by the box that shows it,
    // of the rows it changed. A transcript scrolls to the line the engine
    // selects.
    void keyboardAndAssistiveTechnology()
    {
        listenAsAssistiveTechnology();
        ServerWindow w;
        w.frmMain.show();
        QVERIFY(QTest::qWaitForWindowActive(&w.frmMain));
        ServerState& state = w.state;
        auto* tabs = w.control<QTabWidget>("Overzicht");
        const char* const walks[] = { "cmbPort txtNickname cmdStart cmdStop",
            "Log cmdSaveLog cmdClearLog cmdPrintLog cmdStart", "Users Ip connection cmdStart",
            "Messages Users2 txtMessage cmdSend cmdClearChat cmdStart" };
        for (int page = 0; page < 4; ++page) {
            const QStringList controls = QString::fromLatin1(walks[page]).split(u' ');
            tabs->setCurrentIndex(page);
            w.control(qPrintable(controls.first()))->setFocus();
            QStringList walked { controls.first() };
            while (walked.size() < controls.size()) {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                walked.append(QApplication::focusWidget()->objectName());
            }
            QCOMPARE(walked, controls);
        }
        QTest::keyClicks(w.control<QLineEdit>("txtNickname"), QStringLiteral("op"));
        QCOMPARE(w.frmMain.windowTitle(), QStringLiteral("Quenvar Chat Server - op"));
        auto* message = w.control<QLineEdit>("txtMessage");
        // The control, its page, the key, and the chat's rows after it.
        const std::tuple<const char*, int, Qt::Key, int> presses[]
            = { { "txtMessage", 3, Qt::Key_Return, 1 }, { "txtNickname", 0, Qt::Key_Enter, 2 },
                  { "Users", 2, Qt::Key_Return, 3 }, { "cmdClearChat", 3, Qt::Key_Return, 0 } };
        for (const auto& [focus, page, key, chatRows] : presses) {
            message->setText(QStringLiteral("hi"));
            tabs->setCurrentIndex(page);
            w.control(focus)->setFocus();
            QTest::keyClick(w.control(focus), key);
            QCOMPARE(state.Messages.ListCount(), chatRows);
            QCOMPARE(message->text().isEmpty(), chatRows > 0);
        }
        w.button("cmdClearLog")->click();
        const std::pair<const char*, const char*> names[] = { { "cmbPort", "Port" },
            { "txtNickname", "Nickname" }, { "txtMessage", "Message" }, { "Log", "Log" },
            { "Users", "Users" }, { "Ip", "Ip-Adress" }, { "connection", "Connection" },
            { "Messages", "Messages" }, { "Users2", "Users" } };
        for (const auto& [control, name] : names) {
            QAccessibleInterface* input = QAccessible::queryAccessibleInterface(w.control(control));
            const auto labels = input->relations(QAccessible::Label);
            QCOMPARE((labels.isEmpty() ? input : labels.first().first)->text(QAccessible::Name),
                QLatin1String(name));
        }
        QCOMPARE(QAccessible::queryAccessibleInterface(w.control<QComboBox>("cmbPort")->lineEdit())
                     ->text(QAccessible::Name),
            QStringLiteral("Port"));
        for (int i = 0; i < 500; ++i) {
            state.Users.AddItem("user " + QByteArray::number(i));
            state.Ip.AddItem("127.0.0.1");
            state.transcript.append("line " + QByteArray::number(i));
        }
        state.transcript.append(QByteArray(1024 * 1024, 'x'));
        tabs->setCurrentIndex(2);
        auto* usersBox = w.control<ListBox>("Users");
        auto* ipBox = w.control<ListBox>("Ip");
        const auto selected
            = [&] { return std::pair(state.Users.ListIndex(), state.Ip.ListIndex()); };
        QTest::mouseClick(usersBox->viewport(), Qt::LeftButton, {}, usersBox->rowRect(2).center());
        QCOMPARE(selected(), std::pair(2, 2));
        QTest::mouseClick(ipBox->viewport(), Qt::LeftButton, {}, ipBox->rowRect(1).center());
        QCOMPARE(selected(), std::pair(1, 1));
        QTest::keyClick(ipBox, Qt::Key_Down);
        QCOMPARE(selected(), std::pair(2, 2));

        QAccessibleInterface* users = QAccessible::queryAccessibleInterface(usersBox);
        QAccessibleInterface* ip = QAccessible::queryAccessibleInterface(ipBox);
        QAccessibleInterface* log = QAccessible::queryAccessibleInterface(w.control("Log"));
        QCOMPARE(users->child(1)->text(QAccessible::Name), QStringLiteral("user 1"));
        QCOMPARE(log->child(500)->text(QAccessible::Name).size(), ListBoxAccessible::rowTextLength);
        QVERIFY(users->tableInterface()->selectRow(3));
        QCOMPARE(selected(), std::pair(3, 3));
        usersBox->setFocus();
        QVERIFY(users->child(3)->state().selected && users->child(3)->state().focused);
        QVERIFY(ip->child(3)->state().selected && !ip->child(3)->state().focused);
        ip->child(0)->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QCOMPARE(selected(), std::pair(0, 0));

        accessibilityEvents.clear();
        state.Users.AddItem("bob");
        state.transcript.append("a line");
        const QString inserted = QString::number(QAccessible::TableModelChanged);
        QCOMPARE(accessibilityEvents,
            (QStringList { "Users " + inserted + " 500", "Messages " + inserted + " 501",
                "Log " + inserted + " 501" }));

        tabs->setCurrentIndex(1);
        auto* logBox = w.control<ListBox>("Log");
        const auto shown
            = [&](int row) { return logBox->viewport()->rect().contains(logBox->rowRect(row)); };
        state.Log.setListIndex(499);
        QTRY_VERIFY_WITH_TIMEOUT(shown(499) && !shown(0), timeoutMs);
        state.Log.Clear();
        QTRY_COMPARE_WITH_TIMEOUT(logBox->verticalScrollBar()->maximum(), 0, timeoutMs);
    }

    // A row of a megabyte, in every list box and on the printed page, is drawn
    // as far as it shows: what is painted is bounded by the width.
    void longRowsCostTheirWidth()
    {
        ServerWindow w;
        w.frmMain.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.frmMain));
        QByteArray row(1024 * 1024, 'i');
        for (qsizetype i = 0; i < row.size(); i += 7)
            row[i] = ' ';
        ServerState& state = w.state;
        state.transcript.append(row);
        for (ListModel* list : { &state.Users, &state.Users2, &state.Ip, &state.connection })
            list->AddItem(row);
        constexpr int bound = 64 * 1024; // bytes of picture; the whole row would take two megabytes
        const std::pair<int, const char*> views[] = { { 1, "Log" }, { 2, "Users" }, { 2, "Ip" },
            { 2, "connection" }, { 3, "Messages" }, { 3, "Users2" } };
        for (const auto& [page, name] : views) {
            w.control<QTabWidget>("Overzicht")->setCurrentIndex(page);
            QPicture picture;
            w.control<ListBox>(name)->viewport()->render(&picture);
            QVERIFY2(picture.size() < bound, name);
        }
        // On paper the same, and a full page is followed by a new one.
        QPicture picture;
        QPainter painter(&picture);
        int pages = 1;
        PageWriter writer(painter, QRect(0, 0, 500, 100), [&] { ++pages; });
        for (int i = 0; i < 20; ++i)
            writer.writeLine(row);
        painter.end();
        QVERIFY(picture.size() < bound);
        QVERIFY(pages > 2);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
