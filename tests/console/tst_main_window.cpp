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

// The window with its save dialog and its printer scripted, and the log
// holding `logged`.
struct ExportingWindow : ServerWindow {
    ScriptedSaveDialog* dialog = new ScriptedSaveDialog;
    RecordingPrinter* printer = new RecordingPrinter;

    explicit ExportingWindow(const QByteArrayList& logged = {})
    {
        frmMain.logExport().setSaveDialog(std::unique_ptr<SaveDialog>(dialog));
        frmMain.logExport().setPrinter(std::unique_ptr<LogPrinter>(printer));
        for (const QByteArray& row : logged)
            state.transcript.append(row);
    }
};

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(true);
        QAccessible::installUpdateHandler([](QAccessibleEvent* event) {
            const auto* change = dynamic_cast<QAccessibleTableModelChangeEvent*>(event);
            accessibilityEvents.append(event->object()->objectName() + u' '
                + QString::number(event->type()) + u' '
                + QString::number(change ? change->firstRow() : event->child()));
        });
    }

    // Save writes the log as it is when the dialog closes, a quoted row a
    // line in its own bytes. A cancel, in the dialog or while the save serves
    // between its reads, writes nothing; past the file size limit a write
    // fails half-way (one made off the window's thread, of more than one
    // buffer) and the save says so; the earlier file stays as it was. The
    // transcript's files, past the limit too, keep their rows in memory and
    // the status bar says so.
    // Print: every row is a line, and an empty log is a finished job too.
    // Printed into a file, a cancelled job leaves the earlier file as it
    // was, a finished one its pages, and one that cannot be handed over says
    // so.
    // The log holds `logged`, `clicked` is clicked, and the file, where it
    // can be made, holds an earlier log.
    void exportLog_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArrayList>("logged");
        QTest::addColumn<QString>("clicked"); // before the export
        QTest::addColumn<QByteArray>("arriving"); // as the save dialog closes
        QTest::addColumn<QString>("file"); // exported into; none: the printer records
        QTest::addColumn<QString>("end");
        QTest::addColumn<QByteArray>("exported"); // the file (a PDF's start), or the record
        const QByteArray earlier = "\"earlier\"\r\n";
        const QByteArray bytes = "caf\xe9 \x80\xff";
        const auto row = [](const char* name, const QByteArrayList& rows, const char* clicked,
                             const QByteArray& arriving, const char* end, const QByteArray& saved) {
            QTest::addRow("saved, %s", name)
                << "cmdSaveLog" << rows << clicked << arriving << "log.txt" << end << saved;
        };
        row("an empty log", {}, "", {}, "done", "");
        row("the chat cleared", { "User Entered The Chat: bob", "say \"hi\"" }, "cmdClearChat",
            bytes, "done",
            "\"User Entered The Chat: bob\"\r\n\"say \"hi\"\"\r\n\"" + bytes + "\"\r\n");
        row("the log cleared", { "before" }, "cmdClearLog", "after", "done", "\"after\"\r\n");
        row("cancelled", { "a" }, "", {}, "cancelled", earlier);
        row("cancelled while saving", { "a" }, "", {}, "cancelled while working", earlier);
        row("past the file size limit", { "a" }, "", QByteArray(1024 * 1024, 'y'), "failed",
            earlier);

        const QByteArrayList logged { "User Entered The Chat: bob", "caf\xe9" };
        const auto print = [&](const char* name, const QByteArrayList& rows, const char* file,
                               const char* end, const QByteArray& printed) {
            QTest::addRow("printed, %s", name)
                << "cmdPrintLog" << rows << "" << QByteArray() << file << end << printed;
        };
        print("an empty log", {}, "", "done", "<end>");
        print("rows", logged, "", "done", logged.join('|') + "|<end>");
        print("into a file", logged, "log.pdf", "done", "%PDF");
        print("cancelled", logged, "log.pdf", "cancelled while working", "\"ear");
        print("into a folder that is not there", logged, "missing/log.pdf", "failed", "<mis");
    }
    void exportLog()
    {
        QFETCH(QString, command);
        QFETCH(QByteArrayList, logged);
        QFETCH(QString, clicked);
        QFETCH(QByteArray, arriving);
        QFETCH(QString, file);
        QFETCH(QString, end);
        QFETCH(QByteArray, exported);
        QTemporaryDir dir;
        const QString path = dir.filePath(file);
        QFile earlier(path); // where it can be made
        QVERIFY(!earlier.open(QIODevice::WriteOnly) || earlier.write("\"earlier\"\r\n") > 0);
        earlier.close();
        ExportingWindow w(logged);
        w.server.setYieldIntervals(0us, 0us);
        if (!clicked.isEmpty())
            w.button(qPrintable(clicked))->click();
        if (file.endsWith(u".pdf"))
            w.frmMain.logExport().setPrinter(std::make_unique<PagePrinter>(path));
        w.dialog->answer = [&]() -> std::optional<QString> {
            if (!arriving.isNull())
                w.state.transcript.append(arriving);
            return end == "cancelled" ? std::nullopt : std::optional(path);
        };
        if (end == "cancelled while working")
            QTimer::singleShot(0, &w.frmMain, [&w] {
                if (auto* progress = w.frmMain.findChild<QProgressDialog*>())
                    progress->cancel();
            });
        const bool pastLimit = end == "failed" && !arriving.isNull();
        const QString box = boxShownBy([&] {
            withLimit(RLIMIT_FSIZE, pastLimit ? 16 : RLIM_INFINITY,
                [&] { w.button(qPrintable(command))->click(); });
        });
        const QByteArray output = file.isEmpty() ? w.printer->record.join('|') : fileBytes(path);
        QCOMPARE(file.endsWith(u".pdf") ? output.left(4) : output, exported);
        QVERIFY2(end == "failed" ? box.contains(path) : box.isEmpty(), qPrintable(box));
        QCOMPARE(w.frmMain.statusBar()->currentMessage().contains(u"kept in memory"), pastLimit);
        const qsizetype chat = clicked == "cmdClearChat" ? 0 : logged.size();
        QCOMPARE(w.state.Messages.ListCount(), int(chat + !arriving.isNull()));
    }

    // Commands clicked while a relay is suspended in a yield run once it has
    // finished, each once however often it was clicked, in the order clicked:
    // one Start, one listener and one operator row; the operator's line goes
    // out after the client's, and Send pressed again while it goes out sends
    // nothing more, the box being empty by its turn. A save serves between
    // its reads: a line arriving meanwhile is relayed and logged before the
    // save has finished, and a print clicked in its dialog follows it. The
    // save and the print see the log as it was before the Clear All after
    // them, and About, clicked last, opens last.
    void commandsTakeTheirTurn()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log.txt"));
        OnSending onSending;
        ExportingWindow w;
        w.start();
        Client ann = w.connect(), bob = w.connect();
        QVERIFY(ann && bob);
        w.dialog->answer = [&] {
            ann->write("during the save");
            ann->flush();
            w.button("cmdPrintLog")->click();
            return std::optional(path);
        };
        w.button("cmdStop")->click();
        w.state.transcript.append("before");
        w.control<QLineEdit>("txtMessage")->setText(QStringLiteral("from op"));
        w.server.setProbe(&onSending);
        w.server.setYieldIntervals(0us, 0us);
        onSending.actions[{ 1, "from bob" }] = [&] {
            for (const char* name : { "cmdStart", "cmdStart", "cmdSend", "cmdSaveLog", "cmdSaveLog",
                     "cmdPrintLog", "cmdPrintLog", "cmdClearLog" })
                w.button(name)->click();
            w.control<QAction>("mnuAbout")->trigger();
        };
        onSending.actions[{ 1, "op:  from op" }] = [&] { w.button("cmdSend")->click(); };
        QByteArrayList printedBeforeAbout;
        const QString box = boxShownBy(
            [&] {
                bob->write("from bob");
                QTRY_VERIFY_WITH_TIMEOUT(w.printer->record.contains("<end>"), timeoutMs);
            },
            [&] { printedBeforeAbout = w.printer->record; });
        QVERIFY2(box.startsWith(u"About|"), qPrintable(box));
        QCOMPARE(rows(w.state.Users), QByteArrayList { "op" });
        const QByteArrayList relayed { "from bob", "op:  from op", "during the save" };
        QCOMPARE(fileBytes(path), QByteArray("\"before\"\r\n\"from bob\"\r\n\"op:  from op\"\r\n"));
        QCOMPARE(
            printedBeforeAbout, QByteArrayList { "before" } + relayed + QByteArrayList { "<end>" });
        QCOMPARE(w.printer->record, printedBeforeAbout);
        QCOMPARE(w.state.Log.ListCount(), 0);
        QVERIFY(receives(*ann, relayed.join()) && receives(*bob, relayed.join()));
        QVERIFY(w.connect());
    }

    // Each page by keys: Tab walks it in reading order, then the buttons
    // below it; assistive technology knows every input by its label's name,
    // or its own where the window shows no label; Enter presses the focused
    // button, and Send anywhere else. The caption follows the nickname as it
    // is typed.
    void keyboard_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("walk"); // a control, with "=" its name where it is an input
        QTest::addColumn<QString>("entered");
        QTest::addColumn<int>("key");
        QTest::newRow("Settings") << 0 << "cmbPort=Port txtNickname=Nickname cmdStart cmdStop"
                                  << "txtNickname" << int(Qt::Key_Enter);
        QTest::newRow("Logs") << 1 << "Log=Log cmdSaveLog cmdClearLog cmdPrintLog cmdStart"
                              << "cmdClearLog" << int(Qt::Key_Return);
        QTest::newRow("Users") << 2 << "Users=Users Ip=Ip-Adress connection=Connection cmdStart"
                               << "Users" << int(Qt::Key_Return);
        QTest::newRow("Chat")
            << 3
            << "Messages=Messages Users2=Users txtMessage=Message cmdSend cmdClearChat cmdStart"
            << "txtMessage" << int(Qt::Key_Return);
    }
    void keyboard()
    {
        QFETCH(int, page);
        QFETCH(QString, walk);
        QFETCH(QString, entered);
        QFETCH(int, key);
        ServerWindow w;
        QVERIFY(w.showActive());
        QTest::keyClicks(w.control<QLineEdit>("txtNickname"), QStringLiteral("op"));
        QCOMPARE(w.frmMain.windowTitle(), QStringLiteral("Quenvar Chat Server - op"));
        w.showPage(page);
        const QStringList steps = walk.split(u' ');
        w.control(qPrintable(steps.first().section(u'=', 0, 0)))->setFocus();
        QStringList walked;
        while (walked.size() < steps.size()) {
            if (!walked.isEmpty())
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* focused = QApplication::focusWidget();
            const bool input = steps.at(walked.size()).contains(u'=');
            walked.append(focused->objectName() + (input ? u'=' + spokenName(focused) : QString()));
            if (auto* box = qobject_cast<QComboBox*>(focused))
                QCOMPARE(
                    QAccessible::queryAccessibleInterface(box->lineEdit())->text(QAccessible::Name),
                    spokenName(box));
        }
        QCOMPARE(walked, steps);

        w.state.transcript.append("a line before");
        auto* message = w.control<QLineEdit>("txtMessage");
        message->setText(QStringLiteral("hi"));
        w.control(qPrintable(entered))->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        const bool sends = !entered.startsWith(u"cmd");
        const QByteArrayList sent { "a line before", "op:  hi" };
        QCOMPARE(rows(w.state.Log), sends ? sent : QByteArrayList());
        QCOMPARE(message->text().isEmpty(), sends);
    }

    // A row of a megabyte costs its width: every list box, and the printed
    // page, draws it as far as it shows, and a full page is followed by a
    // new one. Assistive technology is told of a change by the list box that
    // shows it, of the rows it changed, and of a long row in part. A
    // transcript scrolls to the line the engine selects, and back when
    // cleared. Users and Ip select together, by mouse, by keys and through
    // assistive technology, which sees each list box as a list of its rows:
    // the selected row selected and, with the box, focused.
    void listBoxes()
    {
        ServerWindow w;
        QVERIFY(w.showActive());
        ServerState& state = w.state;
        QByteArray row(1024 * 1024, 'i');
        for (qsizetype i = 0; i < row.size(); i += 7)
            row[i] = ' ';
        state.transcript.append("a line");
        accessibilityEvents.clear();
        state.Users.AddItem(row);
        state.transcript.append(row);
        const QString inserted = QString::number(QAccessible::TableModelChanged);
        QCOMPARE(accessibilityEvents,
            (QStringList { "Users " + inserted + " 0", "Messages " + inserted + " 1",
                "Log " + inserted + " 1" }));
        QAccessibleInterface* log = QAccessible::queryAccessibleInterface(w.control("Log"));
        QCOMPARE(log->child(1)->text(QAccessible::Name).size(), ListBoxAccessible::rowTextLength);

        for (ListModel* list : { &state.Users2, &state.Ip, &state.connection })
            list->AddItem(row);
        constexpr int bound = 64 * 1024; // bytes of picture; the whole row would take two megabytes
        const std::pair<int, const char*> views[] = { { 1, "Log" }, { 2, "Users" }, { 2, "Ip" },
            { 2, "connection" }, { 3, "Messages" }, { 3, "Users2" } };
        for (const auto& [page, name] : views) {
            w.showPage(page);
            QPicture picture;
            w.control<ListBox>(name)->viewport()->render(&picture);
            QVERIFY2(picture.size() < bound, name);
        }
        QPicture picture;
        QPainter painter(&picture);
        int pages = 1;
        PageWriter writer(painter, QRect(0, 0, 500, 100), [&] { ++pages; });
        for (int i = 0; i < 20; ++i)
            writer.writeLine(row);
        painter.end();
        QVERIFY(picture.size() < bound);
        QVERIFY(pages > 2);

        for (int i = 0; i < 500; ++i)
            state.transcript.append("line " + QByteArray::number(i));
        w.showPage(1);
        auto* logBox = w.control<ListBox>("Log");
        const auto shown
            = [&](int at) { return logBox->viewport()->rect().contains(logBox->rowRect(at)); };
        state.Log.setListIndex(501);
        QTRY_VERIFY_WITH_TIMEOUT(shown(501) && !shown(0), timeoutMs);
        state.Log.Clear();
        QTRY_COMPARE_WITH_TIMEOUT(logBox->verticalScrollBar()->maximum(), 0, timeoutMs);

        for (int i = 1; i < 5; ++i) {
            state.Users.AddItem("user " + QByteArray::number(i));
            state.Ip.AddItem("127.0.0.1");
        }
        w.showPage(2);
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
};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
