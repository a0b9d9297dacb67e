#include "main_window.h"

#include "enter_key_router.h"
#include "list_box.h"
#include "relay_engine.h"
#include "roster_menu.h"
#include "server_state.h"
#include "slot_array.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QUrl>

#include <cstdlib>

namespace {

const QString boxTitle = QStringLiteral("Quenvar Chat");

QColor fromColourValue(quint32 value)
{
    return QColor(int(value & 0xff), int((value >> 8) & 0xff), int((value >> 16) & 0xff));
}

QMessageBox::Icon boxIcon(OperatorConsole::Icon icon)
{
    switch (icon) {
    case OperatorConsole::Icon::Critical:
        return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

} // namespace

// The window's commands run in their turn, in the order clicked: never inside
// a handler's yield, where a dialog would hold the handler up and the
// operator's line would cut into a relay, nor inside another command.
template<typename Control, typename Signal, typename Receiver>
void MainWindow::runsInTurn(
    Control* control, Signal clicked, Receiver* receiver, void (Receiver::*command)())
{
    connect(control, clicked, receiver, [this, control, receiver, command] {
        m_server.runInTurn(control, [receiver = QPointer(receiver), command] {
            if (receiver)
                (receiver->*command)();
        });
    });
}

MainWindow::MainWindow(ServerState& state, SlotArray& server, QWidget* parent)
    : QMainWindow(parent)
    , m_state(state)
    , m_server(server)
    , m_form(*this, state)
    , m_logExport(state.Log, *this)
    , m_endProgram([] { QCoreApplication::exit(EXIT_SUCCESS); })
{
    new EnterKeyRouter(*this, *m_form.cmdSend);
    runsInTurn(m_form.cmdClearChat, &QPushButton::clicked, this, &MainWindow::cmdClearChat_Click);
    runsInTurn(m_form.cmdClearLog, &QPushButton::clicked, this, &MainWindow::cmdClearLog_Click);
    runsInTurn(m_form.cmdPrintLog, &QPushButton::clicked, this, &MainWindow::cmdPrintLog_Click);
    runsInTurn(m_form.cmdSaveLog, &QPushButton::clicked, this, &MainWindow::cmdSaveLog_Click);
    runsInTurn(m_form.mnuAbout, &QAction::triggered, this, &MainWindow::mnuAbout_Click);
    // Quit ends the program at once, whatever is under way.
    connect(m_form.mnuAfsluiten, &QAction::triggered, this, &MainWindow::mnuAfsluiten_Click);
    bindPortBox();
    connect(
        &state.transcript, &TranscriptStore::storageFailed, this, &MainWindow::showStorageFailure);
    if (state.transcript.failure())
        showStorageFailure(state.transcript.failure());
}

MainWindow::~MainWindow() = default;

void MainWindow::load(RelayEngine& engine)
{
    runsInTurn(m_form.cmdStart, &QPushButton::clicked, &engine, &RelayEngine::cmdStart_Click);
    runsInTurn(m_form.cmdStop, &QPushButton::clicked, &engine, &RelayEngine::cmdStop_Click);
    runsInTurn(m_form.cmdSend, &QPushButton::clicked, &engine, &RelayEngine::cmdSend_Click);
    connect(m_form.txtNickname, &QLineEdit::textChanged, &engine, &RelayEngine::txtNickname_Change);
    engine.Form_Load();
    // The status bar is there from the start, so that the fixed-size form
    // never has to make room for it.
    m_webStatus = new QLabel(this);
    m_webStatus->setObjectName(QStringLiteral("lblWebPage"));
    m_webStatus->setTextFormat(Qt::RichText);
    m_webStatus->setOpenExternalLinks(true);
    m_webStatus->setTextInteractionFlags(Qt::TextBrowserInteraction);
    statusBar()->addPermanentWidget(m_webStatus);
    setFixedSize(sizeHint());
}

void MainWindow::addRosterMenu(Moderation& moderation)
{
    new RosterMenu(*this, { m_form.Users, m_form.Ip, m_form.connection, m_form.Users2 }, m_state,
        moderation, m_server);
}

// The box's text decides the selected row: a row picked from the list puts
// its text there, and text typed that is not a row leaves no row selected,
// so that the engine reads the typed text.
void MainWindow::bindPortBox()
{
    QComboBox* cmbPort = m_form.cmbPort;
    connect(cmbPort, &QComboBox::editTextChanged, this, [this, cmbPort](const QString& text) {
        m_state.cmbPort.setListIndex(cmbPort->findText(text, Qt::MatchExactly));
    });
    connect(&m_state.cmbPort, &ListModel::listIndexChanged, this, [cmbPort](int row) {
        if (row >= 0 && row != cmbPort->currentIndex())
            cmbPort->setCurrentIndex(row);
    });
}

void MainWindow::setEndProgram(std::function<void()> endProgram)
{
    m_endProgram = std::move(endProgram);
}

void MainWindow::offerStart(std::optional<int> port, const std::optional<QString>& nickname)
{
    if (port)
        m_form.cmbPort->setEditText(QString::number(*port));
    if (nickname)
        m_form.txtNickname->setText(*nickname);
}

void MainWindow::setCaption(const QString& caption)
{
    setWindowTitle(caption);
}

QString MainWindow::nickname() const
{
    return m_form.txtNickname->text();
}

QString MainWindow::message() const
{
    return m_form.txtMessage->text();
}

void MainWindow::setMessage(const QString& text)
{
    m_form.txtMessage->setText(text);
}

QString MainWindow::portText() const
{
    return m_form.cmbPort->currentText();
}

void MainWindow::setPortEnabled(bool enabled)
{
    m_form.cmbPort->setEnabled(enabled);
}

void MainWindow::setStartEnabled(bool enabled)
{
    m_form.cmdStart->setEnabled(enabled);
}

void MainWindow::setStopEnabled(bool enabled)
{
    m_form.cmdStop->setEnabled(enabled);
}

void MainWindow::setStatus(const QString& caption, quint32 colour)
{
    QPalette palette = m_form.lblStatus->palette();
    palette.setColor(QPalette::WindowText, fromColourValue(colour));
    m_form.lblStatus->setPalette(palette);
    m_form.lblStatus->setText(caption);
}

void MainWindow::setOnline(const QString& caption)
{
    m_form.lblOnline->setText(caption);
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

void MainWindow::cmdPrintLog_Click()
{
    showFailure(m_logExport.print());
}

void MainWindow::cmdSaveLog_Click()
{
    showFailure(m_logExport.save());
}

void MainWindow::showFailure(const Failure& failure)
{
    if (failure)
        showMessageBox(failure.text, boxTitle, Icon::Critical);
}

void MainWindow::showStorageFailure(const Failure& failure)
{
    statusBar()->showMessage(
        QStringLiteral("The transcripts are kept in memory from now on: %1.").arg(failure.text));
}

void MainWindow::showWebPage(const QUrl& page)
{
    const QString address = page.toString().toHtmlEscaped();
    setWebStatus(QStringLiteral("Chat in a browser: <a href=\"%1\">%1</a>").arg(address));
}

void MainWindow::showWebFailure(const QString& reason)
{
    setWebStatus(QStringLiteral("The chat page is not served: %1.").arg(reason.toHtmlEscaped()));
}

void MainWindow::hideWebPage()
{
    setWebStatus(QString());
}

void MainWindow::setWebStatus(const QString& richText)
{
    m_webStatus->setText(richText);
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
