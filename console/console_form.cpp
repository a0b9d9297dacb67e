#include "console_form.h"

#include "list_box.h"
#include "server_state.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>

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

template<typename Widget>
Widget* named(Widget* widget, const char* name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

} // namespace

ConsoleForm::ConsoleForm(QMainWindow& window, ServerState& state)
{
    window.setObjectName(QStringLiteral("frmMain"));
    window.setWindowTitle(QStringLiteral("Quenvar Chat Server"));
    auto* client = new QWidget(&window);
    client->setFixedSize(clientWidth / twipsPerPixel, clientHeight / twipsPerPixel);
    window.setCentralWidget(client);
    createControls(client, state);
    createMenus(window);
    setTabOrder();
}

void ConsoleForm::createControls(QWidget* client, ServerState& state)
{
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
    const QFont base = client->font();

    auto* lblPort = named(new QLabel(QStringLiteral("Port"), settings), "lblPort");
    lblPort->setFont(labelFont(base, 9.75, true));
    place(lblPort, 360, 1500, 1575, 375);
    cmbPort = named(new QComboBox(settings), "cmbPort");
    cmbPort->setEditable(true);
    cmbPort->setInsertPolicy(QComboBox::NoInsert);
    cmbPort->setModel(&state.cmbPort);
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

    Log = named(new ListBox(state.Log, logs), "Log");
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
    Users = named(new ListBox(state.Users, users), "Users");
    place(Users, 240, 720, 2415, 2790);
    Ip = named(new ListBox(state.Ip, users), "Ip");
    place(Ip, 2760, 720, 2295, 2790);
    connection = named(new ListBox(state.connection, users), "connection");
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

    Messages = named(new ListBox(state.Messages, chat), "Messages");
    Messages->setAccessibleName(QStringLiteral("Messages"));
    place(Messages, 240, 480, 7095, 2790);
    Users2 = named(new ListBox(state.Users2, chat), "Users2");
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

void ConsoleForm::createMenus(QMainWindow& window)
{
    QMenu* mnuBestand = named(window.menuBar()->addMenu(QStringLiteral("&File")), "mnuBestand");
    mnuAfsluiten = mnuBestand->addAction(QStringLiteral("Quit"));
    mnuAfsluiten->setObjectName(QStringLiteral("mnuAfsluiten"));
    QMenu* mnuHelp = named(window.menuBar()->addMenu(QStringLiteral("&Help")), "mnuHelp");
    mnuAbout = mnuHelp->addAction(QStringLiteral("About"));
    mnuAbout->setObjectName(QStringLiteral("mnuAbout"));
}

// Tab walks the page shown in reading order, then the buttons below it;
// controls on hidden pages are passed over.
void ConsoleForm::setTabOrder()
{
    QWidget* const order[]
        = { Overzicht, cmbPort, txtNickname, Log, cmdSaveLog, cmdClearLog, cmdPrintLog, Users, Ip,
              connection, Messages, Users2, txtMessage, cmdSend, cmdClearChat, cmdStart, cmdStop };
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}
