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

// The window with its save dialog and its printer scripted.
struct ExportingWindow : ServerWindow {
    ScriptedSaveDialog* dialog = new ScriptedSaveDialog;
    RecordingPrinter* printer = new RecordingPrinter;

    ExportingWindow()
    {
        frmMain.logExport().setSaveDialog(std::unique_ptr<SaveDialog>(dialog));
        frmMain.logExport().setPrinter(std::unique_ptr<LogPrinter>(printer));
    }
    void cancelProgressSoon()
    {
        QTimer::singleShot(0, &frmMain, [this] {
            if (auto* progress = frmMain.findChild<QProgressDialog*>())
                progress->cancel();
        });
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
    // The file holds the log as it is when the dialog closes, a quoted row a
    // line in its own bytes. A cancel, in the dialog or while the save serves
    // between its reads, writes nothing; past the file size limit a write
    // fails half-way (one made off the window's thread, of more than one
    // buffer) and the save says so; the earlier file stays as it was. The
    // transcript's files, past the limit too, keep their rows in memory and
    // the status bar says so.
    void saveLog_data()
    {
        QTest::addColumn<QByteArrayList>("logged");
        QTest::addColumn<QString>("clicked"); // before the save
        QTest::addColumn<QByteArray>("arriving"); // while the dialog is open
        QTest::addColumn<QString>("end");
        QTest::addColumn<QByteArray>("saved");
        const QByteArray earlier = "\"earlier\"\r\n";
        const QByteArray bytes = "caf\xe9 \x80\xff";
        QTest::newRow("an empty log")
            << QByteArrayList() << "" << QByteArray() << "saved" << QByteArray();
        QTest::newRow("the chat cleared")
            << QByteArrayList { "User Entered The Chat: bob", "say \"hi\"" } << "cmdClearChat"
            << bytes << "saved"
            << "\"User Entered The Chat: bob\"\r\n\"say \"hi\"\"\r\n\"" + bytes + "\"\r\n";
        QTest::newRow("the log cleared")
            << QByteArrayList { "before" } << "cmdClearLog" << QByteArray("after") << "saved"
            << QByteArray("\"after\"\r\n");
        QTest::newRow("cancelled")
            << QByteArrayList { "a" } << "" << QByteArray() << "cancelled" << earlier;
        QTest::newRow("cancelled while saving")
            << QByteArrayList { "a" } << "" << QByteArray() << "cancelled while saving" << earlier;
        QTest::newRow("past the file size limit")
            << QByteArrayList { "a" } << "" << QByteArray(1024 * 1024, 'y') << "failed" << earlier;
    }
    void saveLog()
    {
        QFETCH(QByteArrayList, logged);
        QFETCH(QString, clicked);
        QFETCH(QByteArray, arriving);
        QFETCH(QString, end);
        QFETCH(QByteArray, saved);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log.txt"));
        QFile earlier(path);
        QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("\"earlier\"\r\n") > 0);
        earlier.close();
        ExportingWindow w;
        w.server.setYieldIntervals(0us, 0us);
        for (const QByteArray& row : logged)
            w.state.transcript.append(row);
        if (!clicked.isEmpty())
            w.button(qPrintable(clicked))->click();
        w.dialog->answer = [&]() -> std::optional<QString> {
            if (!arriving.isNull())
                w.state.transcript.append(arriving);
            if (end == "cancelled while saving")
                w.cancelProgressSoon();
            return end == "cancelled" ? std::nullopt : std::optional(path);
        };
        const auto save = [&] { w.button("cmdSaveLog")->click(); };
        const QString box = boxShownBy([&] {
            if (end == "failed")
                withLimit(RLIMIT_FSIZE, 16, save);
            else
                save();
        });
        QCOMPARE(fileBytes(path), saved);
        QVERIFY2(end == "failed" ? box.contains(path) : box.isEmpty(), qPrintable(box));
        QCOMPARE(
            w.frmMain.statusBar()->currentMessage().contains(u"kept in memory"), end == "failed");
        const qsizetype chat = clicked == "cmdClearChat" ? 0 : logged.size();
        QCOMPARE(w.state.Messages.ListCount(), int(chat + !arriving.isNull()));
    }

    // Every row is a line, and an empty log is a finished job too. Printed
    // into a file, a cancelled job leaves nothing there, a finished one its
    // pages, and one that cannot be handed over says so.
    void printLog_data()
    {
        QTest::addColumn<QByteArrayList>("logged");
        QTest::addColumn<QString>("file"); // printed into; none: the printer records
        QTest::addColumn<bool>("cancelled");
        QTest::addColumn<QByteArray>("printed"); // what the printer has, or the file's start
        const QByteArrayList logged { "User Entered The Chat: bob", "caf\xe9" };
        QTest::newRow("an empty log") << QByteArrayList() << "" << false << QByteArray("<end>");
        QTest::newRow("rows") << logged << "" << false << logged.join('|') + "|<end>";
        QTest::newRow("into a file") << logged << "log.pdf" << false << QByteArray("%PDF");
        QTest::newRow("cancelled") << logged << "log.pdf" << true << QByteArray();
        QTest::newRow("into a folder that is not there")
            << logged << "missing/log.pdf" << false << QByteArray();
    }
    void printLog()
    {
        QFETCH(QByteArrayList, logged);
        QFETCH(QString, file);
        QFETCH(bool, cancelled);
        QFETCH(QByteArray, printed);
        QTemporaryDir dir;
        const QString pdf = dir.filePath(file);
        ExportingWindow w;
        for (const QByteArray& row : logged)
            w.state.transcript.append(row);
        if (!file.isEmpty())
            w.frmMain.logExport().setPrinter(std::make_unique<PagePrinter>(pdf));
        if (cancelled)
            w.cancelProgressSoon();
        const QString box = boxShownBy([&] { w.button("cmdPrintLog")->click(); });
        const QByteArray output
            = file.isEmpty() ? w.printer->record.join('|') : fileBytes(pdf).left(4);
        QCOMPARE(output, printed.isEmpty() ? "<mis" : printed);
        QVERIFY2(file.startsWith(u"missing") ? box.contains(file) : box.isEmpty(), qPrintable(box));
    }

    // Commands clicked while a relay is suspended in a yield run once it has
    // finished, each once however often it was clicked, in the order clicked:
    // one Start, one listener and one operator row; the operator's line goes
    // out after the client's, and Send pressed again while it goes out sends
    // nothing more, the box being empty by its turn. A save serves between
    // its reads: a line arriving meanwhile is relayed and logged before the
    // save has finished, and a print clicked in its dialog follows it. The
    // save and the print see the log as it was before the Clear All after them.
    void commandsTakeTheirTurn()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log.txt"));
        OnSending onSending;
        ExportingWindow w;
        w.start();
        Client ann = w.connect(), bob = w.connect();
        QVERIFY(ann && bob);
        int saveDialogs = 0;
        w.dialog->answer = [&] {
            ++saveDialogs;
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
        onSending.add(1, "from bob", [&] {
            for (const char* name : { "cmdStart", "cmdStart", "cmdSend", "cmdSaveLog", "cmdSaveLog",
                     "cmdPrintLog", "cmdPrintLog", "cmdClearLog" })
                w.button(name)->click();
        });
        onSending.add(1, "op:  from op", [&] { w.button("cmdSend")->click(); });
        const QString box = boxShownBy([&] {
            bob->write("from bob");
            QTRY_VERIFY_WITH_TIMEOUT(w.printer->record.contains("<end>"), timeoutMs);
        });
        QCOMPARE(box, QString());
        QCOMPARE(w.server.State(0), int(SlotArray::sckListening));
        QCOMPARE(rows(w.state.Users), QByteArrayList { "op" });
        QCOMPARE(saveDialogs, 1);
        const QByteArrayList relayed { "from bob", "op:  from op", "during the save" };
        QCOMPARE(fileBytes(path), QByteArray("\"before\"\r\n\"from bob\"\r\n\"op:  from op\"\r\n"));
        QCOMPARE(
            w.printer->record, QByteArrayList { "before" } + relayed + QByteArrayList { "<end>" });
        QCOMPARE(w.state.Log.ListCount(), 0);
        QVERIFY(receives(*ann, relayed.join()) && receives(*bob, relayed.join()));
        QVERIFY(w.connect());
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
