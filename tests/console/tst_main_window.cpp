#include "list_box.h"
#include "log_printer.h"
#include "page_writer.h"
#include "save_dialog.h"
#include "server_window.h"

#include <QApplication>
#include <QMessageBox>
#include <QPainter>
#include <QPicture>
#include <QScrollBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <functional>

#include <sys/resource.h>

namespace {

const QString critical = QString::number(QMessageBox::Critical);

// Does `action`, answering the message box it shows; returns the box's
// title, icon and text, or nothing when none showed.
template<typename Action>
QStringList boxShownBy(Action action)
{
    QStringList box;
    QObject watch;
    QTimer::singleShot(0, &watch, [&] {
        auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        box = QStringList { shown->windowTitle(), QString::number(shown->icon()), shown->text() };
        shown->accept();
    });
    action();
    return box;
}

struct ScriptedSaveDialog final : SaveDialog {
    std::function<std::optional<QString>()> answer;
    std::optional<QString> ShowSave(QWidget*) override { return answer(); }
};

struct RecordingPrinter final : LogPrinter {
    std::shared_ptr<QByteArrayList> record = std::make_shared<QByteArrayList>();
    bool StartDoc(QString*) override { return true; }
    void Print(const QByteArray& line) override { record->append(line); }
    bool EndDoc(QString*) override
    {
        record->append("<end>");
        return true;
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
    // Enter anywhere presses Send, unless a button has the focus: then that button.
    void enterPressesSend()
    {
        ServerWindow w;
        w.frmMain.show();
        QVERIFY(QTest::qWaitForWindowActive(&w.frmMain));
        w.control<QLineEdit>("txtNickname")->setText(QStringLiteral("op"));
        auto* message = w.control<QLineEdit>("txtMessage");
        const std::tuple<const char*, int, Qt::Key, int> presses[] = { { "txtMessage", 3, Qt::Key_Return, 1 },
            { "txtNickname", 0, Qt::Key_Enter, 2 }, { "Users", 2, Qt::Key_Return, 3 }, { "cmdClearChat", 3, Qt::Key_Return, 0 } };
        for (const auto& [focus, page, key, chatRows] : presses) {
            message->setText(QStringLiteral("hi"));
            w.control<QTabWidget>("Overzicht")->setCurrentIndex(page);
            w.control(focus)->setFocus();
            QTest::keyClick(w.control(focus), key);
            QCOMPARE(w.state().Messages.ListCount(), chatRows);
            QCOMPARE(message->text().isEmpty(), chatRows > 0);
        }
    }

    // What the engine has to say reaches the operator in a box, here that
    // the port is taken.
    void refusedStartShowsBox()
    {
        ServerWindow w;
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, w.port));
        const QStringList box = boxShownBy([&] { w.start(); });
        const QString text = QStringLiteral("Cannot start the server on port %1: Address already in use.").arg(w.port);
        QCOMPARE(box, (QStringList { QStringLiteral("Quenvar Chat"), critical, text }));
    }

    // The file holds the log as it is when the dialog closes, one quoted row a
    // line in its own bytes; a cancel writes nothing, and a failed save says so
    // and leaves the earlier file as it was.
    void saveLog()
    {
        QTemporaryDir dir;
        QString path = dir.filePath(QStringLiteral("log.txt"));
        ServerWindow w;
        auto dialog = std::make_unique<ScriptedSaveDialog>();
        ScriptedSaveDialog& answer = *dialog;
        w.frmMain.setSaveDialog(std::move(dialog));
        answer.answer = [&] { return path; };
        w.button("cmdSaveLog")->click();
        QCOMPARE(fileBytes(path), QByteArray());

        ListModel& log = w.state().Log;
        log.AddItem("User Entered The Chat: bob");
        log.AddItem("say \"hi\"");
        answer.answer = [&] {
            log.AddItem("caf\xe9 \x80\xff"); // arrives while the dialog is open
            return path;
        };
        w.button("cmdSaveLog")->click();
        const QByteArray saved("\"User Entered The Chat: bob\"\r\n\"say \"hi\"\"\r\n\"caf\xe9 \x80\xff\"\r\n");
        QCOMPARE(fileBytes(path), saved);
        answer.answer = [] { return std::nullopt; };
        w.button("cmdSaveLog")->click();
        QCOMPARE(fileBytes(path), saved);

        answer.answer = [&] { return dir.filePath(QStringLiteral("missing/log.txt")); };
        QStringList box = boxShownBy([&] { w.button("cmdSaveLog")->click(); });
        QVERIFY2(box.value(1) == critical && box.value(2).contains(QStringLiteral("missing/log.txt")), qPrintable(box.join(u'|')));
        // Past the process's file size limit, a write fails half-way.
        answer.answer = [&] { return path; };
        rlimit limit {};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit small { 16, limit.rlim_max };
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &small);
        box = boxShownBy([&] { w.button("cmdSaveLog")->click(); });
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, previousHandler);
        QVERIFY2(box.value(2).contains(path), qPrintable(box.join(u'|')));
        QCOMPARE(fileBytes(path), saved);
    }

    // Every row a line, a finished job also for an empty log, a box when no
    // job can start; on paper (here PDF), a long log takes more pages.
    void printLog()
    {
        ServerWindow w;
        auto printer = std::make_unique<RecordingPrinter>();
        const auto record = printer->record;
        w.frmMain.setPrinter(std::move(printer));
        w.button("cmdPrintLog")->click();
        w.state().Log.AddItem("one");
        w.state().Log.AddItem("two");
        w.button("cmdPrintLog")->click();
        QCOMPARE(*record, (QByteArrayList { "<end>", "one", "two", "<end>" }));

        QTemporaryDir dir;
        w.frmMain.setPrinter(std::make_unique<PagePrinter>(dir.filePath(QStringLiteral("missing/log.pdf"))));
        const QStringList box = boxShownBy([&] { w.button("cmdPrintLog")->click(); });
        QVERIFY2(box.value(2).contains(QStringLiteral("missing/log.pdf")), qPrintable(box.join(u'|')));
        for (int i = 0; i < 300; ++i)
            w.state().Log.AddItem(("line " + QByteArray::number(i) + ' ').repeated(i % 50 + 1));
        for (const char* name : { "long.pdf", "short.pdf" }) {
            w.frmMain.setPrinter(std::make_unique<PagePrinter>(dir.filePath(QLatin1String(name))));
            w.button("cmdPrintLog")->click();
            w.state().Log.Clear();
        }
        const QByteArray pdf = fileBytes(dir.filePath(QStringLiteral("long.pdf")));
        QVERIFY(pdf.count("/Type /Page") - pdf.count("/Type /Pages") >= 3);
        QVERIFY(fileBytes(dir.filePath(QStringLiteral("short.pdf"))).startsWith("%PDF"));
    }

    // Users and Ip select together, by mouse and by keys; a transcript scrolls
    // to the line the engine selects and back with the keyboard.
    void listsFollowSelection()
    {
        ServerWindow w;
        w.frmMain.show();
        ServerState& state = w.state();
        for (int i = 0; i < 500; ++i) {
            state.Users.AddItem("user " + QByteArray::number(i));
            state.Ip.AddItem("127.0.0.1");
            state.Log.AddItem("line " + QByteArray::number(i));
        }
        auto* tabs = w.control<QTabWidget>("Overzicht");
        tabs->setCurrentIndex(2);
        auto* users = w.control<ListBox>("Users");
        auto* ip = w.control<ListBox>("Ip");
        QTest::mouseClick(users->viewport(), Qt::LeftButton, {}, users->rowRect(2).center());
        QCOMPARE(std::pair(state.Users.ListIndex(), state.Ip.ListIndex()), std::pair(2, 2));
        QTest::mouseClick(ip->viewport(), Qt::LeftButton, {}, ip->rowRect(1).center());
        QCOMPARE(std::pair(state.Users.ListIndex(), state.Ip.ListIndex()), std::pair(1, 1));
        QTest::keyClick(ip, Qt::Key_Down);
        QCOMPARE(std::pair(state.Users.ListIndex(), state.Ip.ListIndex()), std::pair(2, 2));

        tabs->setCurrentIndex(1);
        auto* log = w.control<ListBox>("Log");
        const auto shown = [&](int row) { return log->viewport()->rect().contains(log->rowRect(row)); };
        state.Log.setListIndex(499);
        QVERIFY(shown(499) && !shown(0));
        QTest::keyClick(log, Qt::Key_Home);
        QVERIFY(state.Log.ListIndex() == 0 && shown(0));
        state.Log.Clear();
        QCOMPARE(log->verticalScrollBar()->maximum(), 0);
    }

    void quitClosesTheListener()
    {
        ServerWindow w;
        w.start();
        bool ended = false;
        w.frmMain.setEndProgram([&] { ended = w.server.State(0) == SlotArray::sckClosed; });
        w.frmMain.findChild<QAction*>(QStringLiteral("mnuAfsluiten"))->trigger();
        QVERIFY(ended);
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
        ServerState& state = w.state();
        for (ListModel* list : { &state.Messages, &state.Log, &state.Users, &state.Users2, &state.Ip, &state.connection })
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
        QPicture picture;
        QPainter painter(&picture);
        PageWriter(painter, QRect(0, 0, 500, 1000), [] {}).writeLine(row);
        painter.end();
        QVERIFY(picture.size() < bound);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
