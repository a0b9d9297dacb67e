#include "list_box.h"
#include "list_box_accessible.h"
#include "log_printer.h"
#include "message_box.h"
#include "on_sending.h"
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

        // Past the process's file size limit, a write fails half-way (here
        // one made off the window's thread, of more than one buffer); the
        // transcript's files, past it too, leave its lines in memory.
        transcript.append(QByteArray(1024 * 1024, 'y'));
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

    // Commands clicked while a relay is suspended in a yield run once it has
    // finished, each once however often it was clicked, in the order clicked:
    // one Start, one listener and one operator row; the save and the print
    // see the log as it was before the Clear All clicked after them.
    void commandsClickedInAYield()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log.txt"));
        OnSending onSending;
        ServerWindow w;
        auto* dialog = new ScriptedSaveDialog;
        auto* printer = new RecordingPrinter;
        w.frmMain.logExport().setSaveDialog(std::unique_ptr<SaveDialog>(dialog));
        w.frmMain.logExport().setPrinter(std::unique_ptr<LogPrinter>(printer));
        int saveDialogs = 0;
        dialog->answer = [&] {
            ++saveDialogs;
            return std::optional(path);
        };
        w.start();
        Client ann = w.connect(), bob = w.connect();
        QVERIFY(ann && bob);
        w.button("cmdStop")->click();
        w.state.transcript.append("before");

        w.server.setProbe(&onSending);
        w.server.setYieldIntervals(0us, 0us);
        onSending.add(1, "from bob", [&] {
            for (const char* name : { "cmdStart", "cmdStart", "cmdSaveLog", "cmdSaveLog",
                     "cmdPrintLog", "cmdPrintLog", "cmdClearLog" })
                w.button(name)->click();
        });
        const QString box = boxShownBy([&] {
            bob->write("from bob");
            QTRY_VERIFY_WITH_TIMEOUT(printer->record.contains("<end>"), timeoutMs);
        });
        QCOMPARE(box, QString());
        QCOMPARE(w.server.State(0), int(SlotArray::sckListening));
        QCOMPARE(rows(w.state.Users), QByteArrayList { "op" });
        QCOMPARE(saveDialogs, 1);
        QCOMPARE(fileBytes(path), QByteArray("\"before\"\r\n\"from bob\"\r\n"));
        QCOMPARE(printer->record, (QByteArrayList { "before", "from bob", "<end>" }));
        QCOMPARE(w.state.Log.ListCount(), 0);
        QVERIFY(w.connect());
    }

    // A save serves between its reads: a line that waits when the save
    // starts is relayed, and logged, before the save has finished. A print
    // clicked meanwhile follows it.
    void aSaveKeepsServing()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log.txt"));
        ServerWindow w;
        w.start();
        Client ann = w.connect(), bob = w.connect();
        QVERIFY(ann && bob);
        w.state.transcript.append("before");
        auto dialog = std::make_unique<ScriptedSaveDialog>();
        auto* printer = new RecordingPrinter;
        w.frmMain.logExport().setPrinter(std::unique_ptr<LogPrinter>(printer));
        dialog->answer = [&] {
            ann->write("during the save");
            ann->flush();
            w.button("cmdPrintLog")->click();
            return std::optional(path);
        };
        w.frmMain.logExport().setSaveDialog(std::move(dialog));
        w.button("cmdSaveLog")->click();
        QCOMPARE(rows(w.state.Log), (QByteArrayList { "before", "during the save" }));
        QVERIFY(w.receives(*bob, "during the save"));
        QCOMPARE(fileBytes(path), QByteArray("\"before\"\r\n"));
        QCOMPARE(printer->record, (QByteArrayList { "before", "during the save", "<end>" }));
    }

    void initTestCase() { listenAsAssistiveTechnology(); }

    // Tab walks each page in reading order, then the buttons below it.
    void tabOrder_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("walk");
        QTest::newRow("Settings") << 0 << "cmbPort txtNickname cmdStart cmdStop";
        QTest::newRow("Logs") << 1 << "Log cmdSaveLog cmdClearLog cmdPrintLog cmdStart";
        QTest::newRow("Users") << 2 << "Users Ip connection cmdStart";
        QTest::newRow("Chat") << 3 << "Messages Users2 txtMessage cmdSend cmdClearChat cmdStart";
    }
    void tabOrder()
    {
        QFETCH(int, page);
        QFETCH(QString, walk);
        ServerWindow w;
        QVERIFY(w.showActive());
        const QStringList controls = walk.split(u' ');
        w.control<QTabWidget>("Overzicht")->setCurrentIndex(page);
        w.control(qPrintable(controls.first()))->setFocus();
        QStringList walked { controls.first() };
        while (walked.size() < controls.size()) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            walked.append(QApplication::focusWidget()->objectName());
        }
        QCOMPARE(walked, controls);
    }

    // Enter anywhere presses Send, unless a button has the focus: then that
    // button. The caption follows the nickname as it is typed.
    void enterKey_data()
    {
        QTest::addColumn<QString>("focus");
        QTest::addColumn<int>("page");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("sends");
        QTest::newRow("message box") << "txtMessage" << 3 << int(Qt::Key_Return) << true;
        QTest::newRow("nickname, keypad") << "txtNickname" << 0 << int(Qt::Key_Enter) << true;
        QTest::newRow("a list") << "Users" << 2 << int(Qt::Key_Return) << true;
        QTest::newRow("Clear All") << "cmdClearChat" << 3 << int(Qt::Key_Return) << false;
    }
    void enterKey()
    {
        QFETCH(QString, focus);
        QFETCH(int, page);
        QFETCH(int, key);
        QFETCH(bool, sends);
        ServerWindow w;
        QVERIFY(w.showActive());
        QTest::keyClicks(w.control<QLineEdit>("txtNickname"), QStringLiteral("op"));
        QCOMPARE(w.frmMain.windowTitle(), QStringLiteral("Quenvar Chat Server - op"));
        w.state.transcript.append("a line before");
        auto* message = w.control<QLineEdit>("txtMessage");
        message->setText(QStringLiteral("hi"));
        w.control<QTabWidget>("Overzicht")->setCurrentIndex(page);
        QWidget* control = w.control(qPrintable(focus));
        control->setFocus();
        QTest::keyClick(control, Qt::Key(key));
        const QByteArrayList sent { "a line before", "op:  hi" };
        QCOMPARE(rows(w.state.Messages), sends ? sent : QByteArrayList());
        QCOMPARE(message->text().isEmpty(), sends);
    }

    // Assistive technology knows every input by its label's name, or its own
    // where the window shows no label.
    void accessibleNames_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("name");
        const std::pair<const char*, const char*> names[] = { { "cmbPort", "Port" },
            { "txtNickname", "Nickname" }, { "txtMessage", "Message" }, { "Log", "Log" },
            { "Users", "Users" }, { "Ip", "Ip-Adress" }, { "connection", "Connection" },
            { "Messages", "Messages" }, { "Users2", "Users" } };
        for (const auto& [control, name] : names)
            QTest::newRow(control) << control << name;
    }
    void accessibleNames()
    {
        QFETCH(QString, control);
        QFETCH(QString, name);
        ServerWindow w;
        QAccessibleInterface* input
            = QAccessible::queryAccessibleInterface(w.control(qPrintable(control)));
        const auto labels = input->relations(QAccessible::Label);
        QCOMPARE((labels.isEmpty() ? input : labels.first().first)->text(QAccessible::Name), name);
        if (auto* box = qobject_cast<QComboBox*>(w.control(qPrintable(control))))
            QCOMPARE(
                QAccessible::queryAccessibleInterface(box->lineEdit())->text(QAccessible::Name),
                name);
    }

    // Users and Ip select together, by mouse, by keys and through assistive
    // technology, which sees each list box as a list of its rows: the
    // selected row selected and, with the box, focused.
    void rosterListsSelectTogether()
    {
        ServerWindow w;
        QVERIFY(w.showActive());
        ServerState& state = w.state;
        for (int i = 0; i < 5; ++i) {
            state.Users.AddItem("user " + QByteArray::number(i));
            state.Ip.AddItem("127.0.0.1");
        }
        w.control<QTabWidget>("Overzicht")->setCurrentIndex(2);
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
        QCOMPARE(users->child(1)->text(QAccessible::Name), QStringLiteral("user 1"));
        QVERIFY(users->tableInterface()->selectRow(3));
        QCOMPARE(selected(), std::pair(3, 3));
        usersBox->setFocus();
        QVERIFY(users->child(3)->state().selected && users->child(3)->state().focused);
        QVERIFY(ip->child(3)->state().selected && !ip->child(3)->state().focused);
        ip->child(0)->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QCOMPARE(selected(), std::pair(0, 0));
    }

    // A change is told by the list box that shows it, of the rows it changed;
    // a long row is told in part.
    void changesToldByTheirList()
    {
        ServerWindow w;
        QVERIFY(w.showActive());
        w.state.transcript.append("a line");
        accessibilityEvents.clear();
        w.state.Users.AddItem("bob");
        w.state.transcript.append(QByteArray(1024 * 1024, 'x'));
        const QString inserted = QString::number(QAccessible::TableModelChanged);
        QCOMPARE(accessibilityEvents,
            (QStringList { "Users " + inserted + " 0", "Messages " + inserted + " 1",
                "Log " + inserted + " 1" }));
        QAccessibleInterface* log = QAccessible::queryAccessibleInterface(w.control("Log"));
        QCOMPARE(log->child(1)->text(QAccessible::Name).size(), ListBoxAccessible::rowTextLength);
    }

    // A transcript scrolls to the line the engine selects, and back when cleared.
    void transcriptFollowsSelection()
    {
        ServerWindow w;
        QVERIFY(w.showActive());
        for (int i = 0; i < 500; ++i)
            w.state.transcript.append("line " + QByteArray::number(i));
        w.control<QTabWidget>("Overzicht")->setCurrentIndex(1);
        auto* logBox = w.control<ListBox>("Log");
        const auto shown
            = [&](int row) { return logBox->viewport()->rect().contains(logBox->rowRect(row)); };
        w.state.Log.setListIndex(499);
        QTRY_VERIFY_WITH_TIMEOUT(shown(499) && !shown(0), timeoutMs);
        w.state.Log.Clear();
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
