#include "main_window.h"

#include "list_box.h"
#include "log_file.h"
#include "log_printer.h"
#include "save_dialog.h"
#include "slot_array.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QSettings>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>

namespace {

// The layout is drawn in twips, 15 to a pixel at 96 dots per inch.
constexpr int twipsPerPixel = 15;
constexpr int clientWidth = 10365;
constexpr int clientHeight = 4950;
constexpr int longestMessage = 64;

QRect twips(int left, int top, int width, int height)
{
    return { left / twipsPerPixel, top / twipsPerPixel, width / twipsPerPixel,
        height / twipsPerPixel };
}

QFont labelFont(const QFont& base, qreal pointSize, bool bold)
{
    QFont font = base;
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

QColor fromColourValue(quint32 value)
{
    return QColor(int(value & 0xff), int((value >> 8) & 0xff), int((value >> 16) & 0xff));
}

QMessageBox::Icon boxIcon(Console::Icon icon)
{
    switch (icon) {
    case Console::Icon::Critical:
        return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

template<typename Widget>
Widget* named(Widget* widget, const char* name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

} // namespace

MainWindow::MainWindow(SlotArray& server, QWidget* parent)
    : QMainWindow(parent)
    , m_server(server)
    , m_engine(m_state, server, *this)
    , Bestand(std::make_unique<FileSaveDialog>())
    , m_printer(std::make_unique<PagePrinter>())
    , m_endProgram([] { std::exit(EXIT_SUCCESS); })
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Quenvar Chat Server"));
    createControls();
    createMenus();
    setTabOrder();
    connectHandlers();
    m_engine.Form_Load();
    setFixedSize(sizeHint());
    connect(&m_state.transcript, &TranscriptStore::storageFailed, this,
        &MainWindow::showStorageFailure);
    if (!m_state.transcript.failure().isEmpty())
        showStorageFailure(m_state.transcript.failure());
}

MainWindow::~MainWindow() = default;

void MainWindow::createControls()
{
    auto* client = new QWidget(this);
    client->setFixedSize(clientWidth / twipsPerPixel, clientHeight / twipsPerPixel);
    setCentralWidget(client);

    Overzicht = named(new QTabWidget(client), "Overzicht");
    Overzicht->setGeometry(twips(120, 0, 9885, 4335));
    auto* settings = new QWidget;
    auto* logs = new QWidget;
    auto* users = new QWidget;
    auto* chat = new QWidget;
    Overzicht->addTab(settings, QStringLiteral("Settings"));
    Overzicht->addTab(logs, QStringLiteral("Logs"));
    Overzicht->addTab(users, QStringLiteral("Users"));
    Overzicht->addTab(chat, QStringLiteral("Chat"));

    cmdStart = named(new QPushButton(QStringLiteral("Start Server"), client), "cmdStart");
    cmdStart->setGeometry(twips(120, 4440, 1215, 495));
    cmdStop = named(new QPushButton(QStringLiteral("Stop Server"), client), "cmdStop");
    cmdStop->setGeometry(twips(1440, 4440, 1215, 495));
    lblStatus = named(new QLabel(client), "lblStatus");
    lblStatus->setGeometry(twips(2880, 4440, 2415, 495));

    // Controls on a page are laid out relative to the tab control, whose
    // pages begin below the tab strip.
    const int frame = Overzicht->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    const QPoint pageOrigin(frame, Overzicht->tabBar()->sizeHint().height() + frame);
    auto place = [pageOrigin](QWidget* widget, int left, int top, int width, int height) {
        widget->setGeometry(twips(left, top, width, height).translated(-pageOrigin));
    };
    const QFont base = font();

    auto* lblPort = named(new QLabel(QStringLiteral("Port"), settings), "lblPort");
    lblPort->setFont(labelFont(base, 9.75, true));
    place(lblPort, 360, 1500, 1575, 375);
    cmbPort = named(new QComboBox(settings), "cmbPort");
    cmbPort->setEditable(true);
    cmbPort->setInsertPolicy(QComboBox::NoInsert);
    cmbPort->setModel(&m_state.cmbPort);
    place(cmbPort, 2160, 1560, 1215, cmbPort->sizeHint().height() * twipsPerPixel);
    auto* lblNickname = named(new QLabel(QStringLiteral("Nickname"), settings), "lblNickname");
    lblNickname->setFont(labelFont(base, 9.75, true));
    place(lblNickname, 360, 2040, 1575, 375);
    txtNickname = named(new QLineEdit(settings), "txtNickname");
    place(txtNickname, 2160, 2040, 2415, 405);
    // Assistive technology names an input after its label, or where it has
    // none, after what the window shows it as.
    lblPort->setBuddy(cmbPort);
    lblNickname->setBuddy(txtNickname);

    Log = named(new ListBox(m_state.Log, logs), "Log");
    Log->setAccessibleName(QStringLiteral("Log"));
    place(Log, 240, 600, 7095, 2790);
    cmdSaveLog = named(new QPushButton(QStringLiteral("Save Log As"), logs), "cmdSaveLog");
    place(cmdSaveLog, 240, 3600, 1215, 495);
    cmdClearLog = named(new QPushButton(QStringLiteral("Clear All"), logs), "cmdClearLog");
    place(cmdClearLog, 1680, 3600, 1215, 495);
    cmdPrintLog = named(new QPushButton(QStringLiteral("Print Log"), logs), "cmdPrintLog");
    place(cmdPrintLog, 3120, 3600, 1215, 495);

    auto* lblusers = named(new QLabel(QStringLiteral("Users"), users), "lblusers");
    lblusers->setFont(labelFont(base, 8.25, true));
    lblusers->setAlignment(Qt::AlignCenter);
    place(lblusers, 360, 480, 3495, 255);
    auto* lblIpAdres = named(new QLabel(QStringLiteral("Ip-Adress"), users), "lblIpAdres");
    lblIpAdres->setFont(labelFont(base, 8.25, true));
    lblIpAdres->setAlignment(Qt::AlignCenter);
    place(lblIpAdres, 2880, 480, 2175, 255);
    Users = named(new ListBox(m_state.Users, users), "Users");
    place(Users, 240, 720, 2415, 2790);
    Ip = named(new ListBox(m_state.Ip, users), "Ip");
    place(Ip, 2760, 720, 2295, 2790);
    connection = named(new ListBox(m_state.connection, users), "connection");
    place(connection, 5160, 720, 2055, 2790);
    connection->setAccessibleName(QStringLiteral("Connection"));
    lblusers->setBuddy(Users);
    lblIpAdres->setBuddy(Ip);
    auto* lblUsersOnline
        = named(new QLabel(QStringLiteral("Users Online:"), users), "lblUsersOnline");
    lblUsersOnline->setFont(labelFont(base, 9.75, false));
    place(lblUsersOnline, 240, 3720, 1455, 375);
    lblOnline = named(new QLabel(users), "lblOnline");
    place(lblOnline, 1920, 3720, 1095, 375);

    Messages = named(new ListBox(m_state.Messages, chat), "Messages");
    Messages->setAccessibleName(QStringLiteral("Messages"));
    place(Messages, 240, 480, 7095, 2790);
    Users2 = named(new ListBox(m_state.Users2, chat), "Users2");
    Users2->setAccessibleName(QStringLiteral("Users"));
    place(Users2, 7440, 480, 2295, 2790);
    txtMessage = named(new QLineEdit(chat), "txtMessage");
    txtMessage->setMaxLength(longestMessage);
    txtMessage->setAccessibleName(QStringLiteral("Message"));
    place(txtMessage, 240, 3360, 5775, 495);
    cmdSend = named(new QPushButton(QStringLiteral("Send"), chat), "cmdSend");
    place(cmdSend, 6120, 3360, 1215, 495);
    cmdClearChat = named(new QPushButton(QStringLiteral("Clear All"), chat), "cmdClearChat");
    place(cmdClearChat, 6120, 3840, 1215, 375);
}

void MainWindow::createMenus()
{
    QMenu* mnuBestand = named(menuBar()->addMenu(QStringLiteral("&File")), "mnuBestand");
    QAction* mnuAfsluiten = mnuBestand->addAction(QStringLiteral("Quit"));
    mnuAfsluiten->setObjectName(QStringLiteral("mnuAfsluiten"));
    connect(mnuAfsluiten, &QAction::triggered, this, &MainWindow::mnuAfsluiten_Click);
    QMenu* mnuHelp = named(menuBar()->addMenu(QStringLiteral("&Help")), "mnuHelp");
    QAction* mnuAbout = mnuHelp->addAction(QStringLiteral("About"));
    mnuAbout->setObjectName(QStringLiteral("mnuAbout"));
    connect(mnuAbout, &QAction::triggered, this, &MainWindow::mnuAbout_Click);
}

// Tab walks the page shown in reading order, then the buttons below it;
// controls on hidden pages are passed over.
void MainWindow::setTabOrder()
{
    QWidget* const order[]
        = { Overzicht, cmbPort, txtNickname, Log, cmdSaveLog, cmdClearLog, cmdPrintLog, Users, Ip,
              connection, Messages, Users2, txtMessage, cmdSend, cmdClearChat, cmdStart, cmdStop };
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void MainWindow::connectHandlers()
{
    connect(cmdStart, &QPushButton::clicked, this, &MainWindow::cmdStart_Click);
    connect(cmdStop, &QPushButton::clicked, &m_engine, &RelayEngine::cmdStop_Click);
    connect(cmdSend, &QPushButton::clicked, &m_engine, &RelayEngine::cmdSend_Click);
    connect(txtNickname, &QLineEdit::textChanged, &m_engine, &RelayEngine::txtNickname_Change);
    connect(cmdClearChat, &QPushButton::clicked, this, &MainWindow::cmdClearChat_Click);
    connect(cmdClearLog, &QPushButton::clicked, this, &MainWindow::cmdClearLog_Click);
    connect(cmdPrintLog, &QPushButton::clicked, this, &MainWindow::cmdPrintLog_Click);
    connect(cmdSaveLog, &QPushButton::clicked, this, &MainWindow::cmdSaveLog_Click);
    connect(&m_state.Users, &ListModel::listIndexChanged, this, &MainWindow::Users_Click);
    connect(&m_state.Ip, &ListModel::listIndexChanged, this, &MainWindow::Ip_Click);
    bindPortBox();

    // Enter presses Send from anywhere in the window, unless a button has
    // the focus: then it presses that button.
    for (QWidget* child : findChildren<QWidget*>())
        child->installEventFilter(this);
}

// The box's text decides the selected row: a row picked from the list puts
// its text there, and text typed that is not a row leaves no row selected,
// so that the engine reads the typed text.
void MainWindow::bindPortBox()
{
    connect(cmbPort, &QComboBox::editTextChanged, this, [this](const QString& text) {
        m_state.cmbPort.setListIndex(cmbPort->findText(text, Qt::MatchExactly));
    });
    connect(&m_state.cmbPort, &ListModel::listIndexChanged, this, [this](int row) {
        if (row >= 0 && row != cmbPort->currentIndex())
            cmbPort->setCurrentIndex(row);
    });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress || QApplication::activePopupWidget())
        return QMainWindow::eventFilter(watched, event);
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return QMainWindow::eventFilter(watched, event);
    auto* focusedButton = qobject_cast<QAbstractButton*>(QApplication::focusWidget());
    (focusedButton ? focusedButton : cmdSend)->click();
    return true;
}

void MainWindow::setSaveDialog(std::unique_ptr<SaveDialog> dialog)
{
    Bestand = std::move(dialog);
}

void MainWindow::setPrinter(std::unique_ptr<LogPrinter> printer)
{
    m_printer = std::move(printer);
}

void MainWindow::setEndProgram(std::function<void()> endProgram)
{
    m_endProgram = std::move(endProgram);
}

void MainWindow::rememberStartsIn(QSettings& settings)
{
    m_settings = &settings;
    const QVariant port = settings.value(QStringLiteral("port"));
    const QVariant nickname = settings.value(QStringLiteral("nickname"));
    offerStart(port.isValid() ? std::optional(port.toInt()) : std::nullopt,
        nickname.isValid() ? std::optional(nickname.toString()) : std::nullopt);
}

void MainWindow::offerStart(std::optional<int> port, const std::optional<QString>& nickname)
{
    if (port)
        cmbPort->setEditText(QString::number(*port));
    if (nickname)
        txtNickname->setText(*nickname);
}

// Written at once, so that a program ended by the system keeps it.
void MainWindow::cmdStart_Click()
{
    const bool wasRunning = m_server.State(0) == SlotArray::sckListening;
    m_engine.cmdStart_Click();
    if (!m_settings || wasRunning || m_server.State(0) != SlotArray::sckListening)
        return;
    m_settings->setValue(QStringLiteral("port"), m_state.port);
    m_settings->setValue(QStringLiteral("nickname"), nickname());
    m_settings->sync();
}

void MainWindow::setCaption(const QString& caption)
{
    setWindowTitle(caption);
}

QString MainWindow::nickname() const
{
    return txtNickname->text();
}

QString MainWindow::message() const
{
    return txtMessage->text();
}

void MainWindow::setMessage(const QString& text)
{
    txtMessage->setText(text);
}

QString MainWindow::portText() const
{
    return cmbPort->currentText();
}

void MainWindow::setPortEnabled(bool enabled)
{
    cmbPort->setEnabled(enabled);
}

void MainWindow::setStartEnabled(bool enabled)
{
    cmdStart->setEnabled(enabled);
}

void MainWindow::setStopEnabled(bool enabled)
{
    cmdStop->setEnabled(enabled);
}

void MainWindow::setStatus(const QString& caption, quint32 colour)
{
    QPalette palette = lblStatus->palette();
    palette.setColor(QPalette::WindowText, fromColourValue(colour));
    lblStatus->setPalette(palette);
    lblStatus->setText(caption);
}

void MainWindow::setOnline(const QString& caption)
{
    lblOnline->setText(caption);
}

void MainWindow::showMessageBox(const QString& text, const QString& title, Icon icon)
{
    QMessageBox box(boxIcon(icon), title, text, QMessageBox::Ok, this);
    box.exec();
}

void MainWindow::flash()
{
    QApplication::alert(this);
}

void MainWindow::cmdClearChat_Click()
{
    m_state.Messages.Clear();
}

void MainWindow::cmdClearLog_Click()
{
    m_state.Log.Clear();
}

// Rows are cut to what a page could ever show of them.
void MainWindow::cmdPrintLog_Click()
{
    constexpr qsizetype printedPrefix = 64 * 1024;
    if (m_logBusy)
        return;
    const QScopedValueRollback busy(m_logBusy, true);
    QString error;
    if (m_printer->StartDoc(&error)) {
        const LogWalk walk
            = walkLog(QStringLiteral("Printing the log..."), [&](QByteArrayView row) {
                  m_printer->Print(row.first(std::min(row.size(), printedPrefix)).toByteArray());
                  return true;
              });
        if (walk == LogWalk::Done && m_printer->EndDoc(&error))
            return;
        if (walk != LogWalk::Done)
            m_printer->AbortDoc();
        if (walk == LogWalk::Cancelled)
            return;
        if (walk == LogWalk::Failed)
            error = QStringLiteral("The log could not be read back.");
    }
    showMessageBox(QStringLiteral("The log could not be printed: %1").arg(error),
        QStringLiteral("Quenvar Chat"), Icon::Critical);
}

void MainWindow::cmdSaveLog_Click()
{
    if (m_logBusy)
        return;
    const QScopedValueRollback busy(m_logBusy, true);
    const std::optional<QString> fileName = Bestand->ShowSave(this);
    if (!fileName)
        return;
    LogFile file(*fileName);
    LogWalk walk = LogWalk::Failed;
    if (file.open())
        walk = walkLog(QStringLiteral("Saving the log..."),
            [&](QByteArrayView row) { return file.writeRow(row); });
    if (walk == LogWalk::Cancelled || (walk == LogWalk::Done && commitServing(file)))
        return;
    const QString error = file.errorString().isEmpty()
        ? QStringLiteral("the log could not be read back")
        : file.errorString();
    showMessageBox(QStringLiteral("The log could not be saved to \"%1\": %2").arg(*fileName, error),
        QStringLiteral("Quenvar Chat"), Icon::Critical);
}

// Goes through the log's rows as they are when it starts, a read at a time,
// yielding between reads so that the server goes on serving; rows that
// arrive meanwhile are not taken. A progress dialog with Cancel shows once it
// takes more than a moment.
MainWindow::LogWalk MainWindow::walkLog(
    const QString& label, const std::function<bool(QByteArrayView)>& take)
{
    constexpr int progressSteps = 1000;
    constexpr int momentMs = 500;
    const TranscriptStore& store = m_state.transcript;
    const qint64 first = m_state.Log.start();
    const qint64 last = store.count();
    QProgressDialog progress(label, QStringLiteral("Cancel"), 0, progressSteps, this);
    progress.setWindowTitle(QStringLiteral("Quenvar Chat"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(momentMs);
    bool taken = true;
    for (qint64 next = first; next < last;) {
        next = store.readSome(next, last, [&](QByteArrayView row) { taken = taken && take(row); });
        if (next < 0 || !taken)
            return LogWalk::Failed;
        progress.setValue(int((next - first) * progressSteps / (last - first)));
        m_server.DoEvents();
        if (progress.wasCanceled())
            return LogWalk::Cancelled;
    }
    return LogWalk::Done;
}

// A commit syncs the file to disk, which for a long log takes seconds on a
// slow disk: it runs off the window's thread, which serves meanwhile and does
// not touch the file.
bool MainWindow::commitServing(LogFile& file)
{
    std::future<bool> committed = std::async(std::launch::async, [&file] { return file.commit(); });
    while (committed.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        m_server.DoEvents();
    return committed.get();
}

void MainWindow::showStorageFailure(const QString& reason)
{
    statusBar()->showMessage(
        QStringLiteral("The transcripts are kept in memory from now on: %1.").arg(reason));
    setFixedSize(sizeHint());
}

void MainWindow::mnuAbout_Click()
{
    QMessageBox::about(this, QStringLiteral("About"),
        QStringLiteral("Quenvar Chat Server\nVersion %1\nThe Quenvar Chat Server developers")
            .arg(QStringLiteral(QUENVAR_VERSION)));
}

void MainWindow::mnuAfsluiten_Click()
{
    m_server.Close(0);
    m_endProgram();
}

void MainWindow::Users_Click()
{
    mirrorSelection(m_state.Users, m_state.Ip);
}

void MainWindow::Ip_Click()
{
    mirrorSelection(m_state.Ip, m_state.Users);
}

// Selecting the row of the same index in the other list moves its selection
// there; a row already selected stays so, which ends the exchange.
void MainWindow::mirrorSelection(const ListModel& changed, ListModel& other)
{
    const int rows = m_state.Users.ListCount();
    for (int i = 0; i < rows; ++i) {
        if (changed.Selected(i))
            other.setSelected(i, true);
    }
}
