#include "list_box.h"
#include "log_file.h"
#include "log_printer.h"
#include "loopback_client.h"
#include "main_window.h"
#include "page_writer.h"
#include "save_dialog.h"
#include "socket_slot_array.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QMenuBar>
#include <QMessageBox>
#include <QPaintEngine>
#include <QPainter>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

#include <sys/resource.h>

namespace {

// Answers the next message box the window shows, and remembers what it said.
class BoxWatcher {
public:
    BoxWatcher()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
        m_timer.start(10);
    }

    bool seen = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;

private:
    void poll()
    {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seen = true;
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            box->accept();
        }
        if (seen || ++m_polls == 500)
            m_timer.stop();
    }
    QTimer m_timer;
    int m_polls = 0;
};

class ScriptedSaveDialog final : public SaveDialog {
public:
    explicit ScriptedSaveDialog(std::optional<QString> answer)
        : m_answer(std::move(answer))
    {
    }
    std::optional<QString> ShowSave(QWidget*) override { return m_answer; }

private:
    std::optional<QString> m_answer;
};

class RecordingPrinter final : public LogPrinter {
public:
    bool StartDoc(QString* error) override
    {
        *error = startError;
        return startError.isEmpty();
    }
    void Print(const QByteArray& line) override { lines->append(line); }
    bool EndDoc(QString*) override
    {
        ++*ended;
        return true;
    }

    QString startError;
    std::shared_ptr<QByteArrayList> lines = std::make_shared<QByteArrayList>();
    std::shared_ptr<int> ended = std::make_shared<int>(0);
};

// A paint device that keeps, of everything painted on it, the length of the
// longest text handed to the paint engine: what was shaped and drawn.
class TextRecorder final : public QPaintDevice {
public:
    qsizetype longestText = 0;
    int texts = 0;

    QPaintEngine* paintEngine() const override { return &m_engine; }

protected:
    int metric(PaintDeviceMetric metric) const override
    {
        switch (metric) {
        case PdmWidth:
        case PdmHeight:
            return 2000;
        case PdmWidthMM:
        case PdmHeightMM:
            return 529;
        case PdmDpiX:
        case PdmDpiY:
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY:
            return 96;
        case PdmDepth:
            return 32;
        case PdmNumColors:
            return INT_MAX;
        case PdmDevicePixelRatio:
            return 1;
        case PdmDevicePixelRatioScaled:
            return int(devicePixelRatioFScale());
        }
        return 0;
    }

private:
    class Engine final : public QPaintEngine {
    public:
        explicit Engine(TextRecorder& recorder)
            : QPaintEngine(AllFeatures)
            , m_recorder(recorder)
        {
        }
        bool begin(QPaintDevice*) override { return true; }
        bool end() override { return true; }
        void updateState(const QPaintEngineState&) override { }
        void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override { }
        void drawPolygon(const QPointF*, int, PolygonDrawMode) override { }
        void drawPath(const QPainterPath&) override { }
        void drawTextItem(const QPointF&, const QTextItem& item) override
        {
            ++m_recorder.texts;
            m_recorder.longestText = std::max(m_recorder.longestText, item.text().size());
        }
        Type type() const override { return User; }

    private:
        TextRecorder& m_recorder;
    };
    mutable Engine m_engine { *this };
};

struct Window {
    SocketSlotArray server;
    MainWindow frmMain { server };

    Window()
    {
        frmMain.show();
        frmMain.activateWindow();
    }
    template<typename T>
    T* control(const char* name) { return frmMain.findChild<T*>(QLatin1String(name)); }
    QPushButton* button(const char* name) { return control<QPushButton>(name); }
    void type(const char* name, const QString& text) { QTest::keyClicks(control<QLineEdit>(name), text); }
    void addLogRows(const QByteArrayList& rows)
    {
        for (const QByteArray& row : rows)
            frmMain.state().Log.AddItem(row);
    }
};

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void startUp();
    void captionFollowsNickname();
    void enterSends_data();
    void enterSends();
    void enterOnAnotherButtonPressesIt();
    void startAndStopFromButtons();
    void refusedStartShowsBox();
    void saveLog();
    void saveCancelledWritesNothing();
    void failedSaveShowsErrorAndKeepsOldFile();
    void printLog();
    void printFailureShowsBox();
    void printToPdf();
    void mirroredSelection();
    void transcriptFollowsNewestLine();
    void aboutAndQuit();
    void longRowsCostTheirWidth();
};

void TestMainWindow::startUp()
{
    Window w;
    QCOMPARE(w.frmMain.windowTitle(), QStringLiteral("Quenvar Chat Server"));
    QCOMPARE(w.control<QComboBox>("cmbPort")->currentText(), QStringLiteral("40"));
    auto* status = w.control<QLabel>("lblStatus");
    QCOMPARE(status->text(), QStringLiteral("Not Running"));
    QCOMPARE(status->palette().color(QPalette::WindowText), QColor(Qt::red));
    QVERIFY(w.control<QLabel>("lblOnline")->text().isEmpty());
    auto* tabs = w.control<QTabWidget>("Overzicht");
    QCOMPARE(tabs->count(), 4);
    QCOMPARE(tabs->tabText(tabs->currentIndex()), QStringLiteral("Settings"));
    QCOMPARE(tabs->tabText(3), QStringLiteral("Chat"));
    QVERIFY(w.button("cmdStart")->isEnabled() && w.button("cmdStop")->isEnabled());
    QCOMPARE(w.control<QLineEdit>("txtMessage")->maxLength(), 64);
    const QList<QAction*> menus = w.frmMain.menuBar()->actions();
    QCOMPARE(menus.size(), 2);
    QCOMPARE(menus[0]->text(), QStringLiteral("&File"));
    QCOMPARE(menus[1]->text(), QStringLiteral("&Help"));
}

void TestMainWindow::captionFollowsNickname()
{
    Window w;
    w.type("txtNickname", QStringLiteral("abc"));
    QCOMPARE(w.frmMain.windowTitle(), QStringLiteral("Quenvar Chat Server - abc"));
    auto* nickname = w.control<QLineEdit>("txtNickname");
    nickname->selectAll();
    QTest::keyClick(nickname, Qt::Key_Backspace);
    QCOMPARE(w.frmMain.windowTitle(), QStringLiteral("Quenvar Chat Server - "));
}

void TestMainWindow::enterSends_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("key");
    QTest::newRow("message box") << "txtMessage" << int(Qt::Key_Return);
    QTest::newRow("nickname box") << "txtNickname" << int(Qt::Key_Enter);
    QTest::newRow("log list") << "Log" << int(Qt::Key_Return);
    QTest::newRow("user list") << "Users" << int(Qt::Key_Return);
}

void TestMainWindow::enterSends()
{
    QFETCH(QString, focus);
    QFETCH(int, key);
    Window w;
    w.type("txtNickname", QStringLiteral("op"));
    w.type("txtMessage", QStringLiteral("hi"));
    auto* target = w.frmMain.findChild<QWidget*>(focus);
    target->setFocus();
    QTest::keyClick(target, Qt::Key(key));
    ListModel& messages = w.frmMain.state().Messages;
    QCOMPARE(messages.ListCount(), 1);
    QCOMPARE(messages.List(0), QByteArray("op:  hi"));
    QVERIFY(w.control<QLineEdit>("txtMessage")->text().isEmpty());
    QCOMPARE(messages.ListIndex(), 0);
}

void TestMainWindow::enterOnAnotherButtonPressesIt()
{
    Window w;
    QVERIFY(QTest::qWaitForWindowActive(&w.frmMain));
    w.frmMain.state().Messages.AddItem("old line");
    w.type("txtMessage", QStringLiteral("hi"));
    auto* clear = w.button("cmdClearChat");
    w.control<QTabWidget>("Overzicht")->setCurrentIndex(3);
    clear->setFocus();
    QCOMPARE(QApplication::focusWidget(), clear);
    QTest::keyClick(clear, Qt::Key_Return);
    QCOMPARE(w.frmMain.state().Messages.ListCount(), 0);
    QCOMPARE(w.control<QLineEdit>("txtMessage")->text(), QStringLiteral("hi"));
}

void TestMainWindow::startAndStopFromButtons()
{
    Window w;
    const quint16 port = freePort();
    w.type("txtNickname", QStringLiteral("op"));
    auto* portBox = w.control<QComboBox>("cmbPort");
    portBox->lineEdit()->selectAll();
    QTest::keyClicks(portBox->lineEdit(), QString::number(port));
    QTest::mouseClick(w.button("cmdStart"), Qt::LeftButton);

    QVERIFY(!w.button("cmdStart")->isEnabled() && w.button("cmdStop")->isEnabled());
    QVERIFY(!portBox->isEnabled());
    QCOMPARE(w.control<QLabel>("lblStatus")->text(), QStringLiteral("Running"));
    QCOMPARE(w.control<QLabel>("lblStatus")->palette().color(QPalette::WindowText), QColor(Qt::green));
    QCOMPARE(w.control<QLabel>("lblOnline")->text(), QStringLiteral("1"));
    QCOMPARE(w.frmMain.state().Users.ListCount(), 1);
    LoopbackClient client(port);
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), QByteArray("NICK"), 10000);

    QTest::mouseClick(w.button("cmdStop"), Qt::LeftButton);
    QVERIFY(w.button("cmdStart")->isEnabled() && !w.button("cmdStop")->isEnabled());
    QVERIFY(portBox->isEnabled());
    QCOMPARE(w.control<QLabel>("lblStatus")->text(), QStringLiteral("Not Running"));
    QCOMPARE(w.frmMain.state().Users.ListCount(), 0);
}

void TestMainWindow::refusedStartShowsBox()
{
    Window w;
    BoxWatcher box;
    QTest::mouseClick(w.button("cmdStart"), Qt::LeftButton);
    QVERIFY(box.seen);
    QCOMPARE(box.text, QStringLiteral("No Port Assigned! or No Nickname Assigned"));
    QCOMPARE(box.title, QStringLiteral("Quenvar Chat"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(w.frmMain.windowTitle(), QStringLiteral("Quenvar Chat Server - "));
    QVERIFY(w.button("cmdStart")->isEnabled());
}

void TestMainWindow::saveLog()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    Window w;
    w.frmMain.setSaveDialog(std::make_unique<ScriptedSaveDialog>(path));
    w.button("cmdSaveLog")->click();
    QCOMPARE(fileBytes(path), QByteArray());

    w.addLogRows({ "User Entered The Chat: bob", "say \"hi\"", "caf\xe9 \x80\xff" });
    w.button("cmdSaveLog")->click();
    QCOMPARE(fileBytes(path),
        QByteArray("\"User Entered The Chat: bob\"\r\n\"say \"hi\"\"\r\n\"caf\xe9 \x80\xff\"\r\n"));
}

void TestMainWindow::saveCancelledWritesNothing()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    Window w;
    w.addLogRows({ "kept" });
    w.frmMain.setSaveDialog(std::make_unique<ScriptedSaveDialog>(path));
    w.button("cmdSaveLog")->click();
    w.button("cmdClearLog")->click();
    w.frmMain.setSaveDialog(std::make_unique<ScriptedSaveDialog>(std::nullopt));
    w.button("cmdSaveLog")->click();
    QCOMPARE(fileBytes(path), QByteArray("\"kept\"\r\n"));
}

void TestMainWindow::failedSaveShowsErrorAndKeepsOldFile()
{
    QTemporaryDir dir;
    Window w;
    w.addLogRows({ "a line long enough to pass the file size limit" });

    const QString nowhere = dir.filePath(QStringLiteral("missing/log.txt"));
    w.frmMain.setSaveDialog(std::make_unique<ScriptedSaveDialog>(nowhere));
    {
        BoxWatcher box;
        w.button("cmdSaveLog")->click();
        QVERIFY(box.seen);
        QVERIFY2(box.text.contains(nowhere), qPrintable(box.text));
        QCOMPARE(box.icon, QMessageBox::Critical);
    }

    // A write that fails half-way (here: past the process's file size limit)
    // must leave the earlier file as it was.
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    writeFile(path, "\"earlier\"\r\n");
    w.frmMain.setSaveDialog(std::make_unique<ScriptedSaveDialog>(path));
    rlimit saved {};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 16;
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    BoxWatcher box;
    w.button("cmdSaveLog")->click();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    QVERIFY(box.seen);
    QVERIFY2(box.text.contains(path), qPrintable(box.text));
    QCOMPARE(fileBytes(path), QByteArray("\"earlier\"\r\n"));
}

void TestMainWindow::printLog()
{
    Window w;
    auto printer = std::make_unique<RecordingPrinter>();
    const auto lines = printer->lines;
    const auto ended = printer->ended;
    w.frmMain.setPrinter(std::move(printer));
    w.button("cmdPrintLog")->click();
    QCOMPARE(*lines, QByteArrayList {});
    QCOMPARE(*ended, 1);
    w.addLogRows({ "one", "two" });
    w.button("cmdPrintLog")->click();
    QCOMPARE(*lines, (QByteArrayList { "one", "two" }));
    QCOMPARE(*ended, 2);
}

void TestMainWindow::printFailureShowsBox()
{
    Window w;
    auto printer = std::make_unique<RecordingPrinter>();
    printer->startError = QStringLiteral("No printer is installed.");
    w.frmMain.setPrinter(std::move(printer));
    BoxWatcher box;
    w.button("cmdPrintLog")->click();
    QVERIFY(box.seen);
    QVERIFY2(box.text.contains(QStringLiteral("No printer is installed.")), qPrintable(box.text));
    QCOMPARE(box.title, QStringLiteral("Quenvar Chat"));
}

void TestMainWindow::printToPdf()
{
    QTemporaryDir dir;
    const QString empty = dir.filePath(QStringLiteral("empty.pdf"));
    const QString full = dir.filePath(QStringLiteral("full.pdf"));
    QString error;
    PagePrinter emptyJob(empty);
    QVERIFY(emptyJob.StartDoc(&error));
    QVERIFY(emptyJob.EndDoc(&error));
    QVERIFY(fileBytes(empty).startsWith("%PDF"));

    PagePrinter job(full);
    QVERIFY(job.StartDoc(&error));
    for (int i = 0; i < 300; ++i)
        job.Print(("line " + QByteArray::number(i) + ' ').repeated(i % 50 + 1));
    QVERIFY(job.EndDoc(&error));
    const QByteArray pdf = fileBytes(full);
    const qsizetype pages = pdf.count("/Type /Page") - pdf.count("/Type /Pages");
    QVERIFY2(pages >= 3, qPrintable(QString::number(pages)));
}

void TestMainWindow::mirroredSelection()
{
    Window w;
    ServerState& state = w.frmMain.state();
    for (const char* name : { "op", "ann", "bob" }) {
        state.Users.AddItem(name);
        state.Ip.AddItem("127.0.0.1");
    }
    w.control<QTabWidget>("Overzicht")->setCurrentIndex(2);
    auto* users = w.control<ListBox>("Users");
    auto* ip = w.control<ListBox>("Ip");
    QTest::mouseClick(users->viewport(), Qt::LeftButton, {}, users->rowRect(2).center());
    QCOMPARE(state.Users.ListIndex(), 2);
    QCOMPARE(state.Ip.ListIndex(), 2);
    QTest::mouseClick(ip->viewport(), Qt::LeftButton, {}, ip->rowRect(1).center());
    QCOMPARE(state.Ip.ListIndex(), 1);
    QCOMPARE(state.Users.ListIndex(), 1);
    ip->setFocus();
    QTest::keyClick(ip, Qt::Key_Down);
    QCOMPARE(state.Users.ListIndex(), 2);
}

// A transcript longer than its view scrolls to the newest line when the
// engine selects it, and the operator can scroll back with the keyboard.
void TestMainWindow::transcriptFollowsNewestLine()
{
    Window w;
    w.control<QTabWidget>("Overzicht")->setCurrentIndex(1);
    auto* view = w.control<ListBox>("Log");
    ListModel& log = w.frmMain.state().Log;
    for (int i = 0; i < 500; ++i)
        log.AddItem("line " + QByteArray::number(i));
    log.setListIndex(log.ListCount() - 1);
    QVERIFY(view->viewport()->rect().contains(view->rowRect(499)));
    QVERIFY(!view->viewport()->rect().intersects(view->rowRect(0)));
    view->setFocus();
    QTest::keyClick(view, Qt::Key_Home);
    QCOMPARE(log.ListIndex(), 0);
    QVERIFY(view->viewport()->rect().contains(view->rowRect(0)));
    log.Clear();
    QCOMPARE(view->verticalScrollBar()->maximum(), 0);
}

void TestMainWindow::aboutAndQuit()
{
    Window w;
    {
        BoxWatcher box;
        w.frmMain.findChild<QAction*>(QStringLiteral("mnuAbout"))->trigger();
        QVERIFY(box.seen);
        const QStringList lines = box.text.split(u'\n');
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0], QStringLiteral("Quenvar Chat Server"));
        QVERIFY(lines[1].startsWith(QStringLiteral("Version ")));
        QCOMPARE(lines[2], QStringLiteral("The Quenvar Chat Server developers"));
    }
    const quint16 port = freePort();
    w.frmMain.state().cmbPort.setListIndex(-1);
    w.control<QComboBox>("cmbPort")->setEditText(QString::number(port));
    w.type("txtNickname", QStringLiteral("op"));
    w.button("cmdStart")->click();
    QCOMPARE(w.server.State(0), int(SlotArray::sckListening));
    bool ended = false;
    w.frmMain.setEndProgram([&] { ended = true; });
    w.frmMain.findChild<QAction*>(QStringLiteral("mnuAfsluiten"))->trigger();
    QVERIFY(ended);
    QCOMPARE(w.server.State(0), int(SlotArray::sckClosed));
}

// A row of a megabyte, in the transcripts and the roster lists alike, is
// drawn and printed as far as it shows: what reaches the paint engine is
// bounded by the row's width, not by the row.
void TestMainWindow::longRowsCostTheirWidth()
{
    Window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w.frmMain));
    QByteArray row(1024 * 1024, 'i');
    for (qsizetype i = 0; i < row.size(); i += 7)
        row[i] = ' ';
    ServerState& state = w.frmMain.state();
    for (ListModel* list : { &state.Messages, &state.Log, &state.Users, &state.Users2, &state.Ip, &state.connection })
        list->AddItem(row);
    constexpr qsizetype widthBound = 600; // characters; the widest list is 473 pixels
    auto* tabs = w.control<QTabWidget>("Overzicht");
    const std::pair<int, const char*> views[] = { { 1, "Log" }, { 2, "Users" }, { 2, "Ip" }, { 2, "connection" },
        { 3, "Messages" }, { 3, "Users2" } };
    for (const auto& [page, name] : views) {
        tabs->setCurrentIndex(page);
        auto* view = w.control<ListBox>(name);
        view->viewport()->repaint();
        TextRecorder recorder;
        view->viewport()->render(&recorder);
        QVERIFY2(recorder.texts > 0, name);
        QVERIFY2(recorder.longestText <= widthBound, qPrintable(QString::number(recorder.longestText)));
    }

    TextRecorder recorder;
    QPainter painter(&recorder);
    PageWriter writer(painter, QRect(0, 0, 500, 1000), [] {});
    writer.writeLine(row);
    writer.writeLine("short");
    painter.end();
    QCOMPARE(recorder.texts, 2);
    QVERIFY2(recorder.longestText <= widthBound, qPrintable(QString::number(recorder.longestText)));
}

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
