#include "form_controls.h"

#include "list_box.h"
#include "list_rows.h"
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

// A control with its name, at its place.
template<typename Widget>
Widget* placed(Widget* widget, const char* name, const QRect& place)
{
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(place);
    return widget;
}

QLabel* label(const QString& caption, QWidget* page, const char* name, const QRect& place,
    qreal pointSize, bool bold)
{
    auto* label = placed(new QLabel(caption, page), name, place);
    QFont font = label->font();
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    label->setFont(font);
    return label;
}

QPushButton* button(const QString& caption, QWidget* page, const char* name, const QRect& place)
{
    return placed(new QPushButton(caption, page), name, place);
}

// A list box, and what assistive technology calls it where no label does.
ListBox* listBox(ListRows& rows, QWidget* page, const char* name, const QRect& place,
    const QString& spokenName = {})
{
    auto* box = placed(new ListBox(rows, page), name, place);
    box->setAccessibleName(spokenName);
    return box;
}

} // namespace

FormControls::FormControls(QMainWindow& window, ServerState& state)
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

void FormControls::createControls(QWidget* client, ServerState& state)
{
    Overzicht = placed(new QTabWidget(client), "Overzicht", twips(120, 0, 9885, 4335));
    auto* settings = new QWidget;
    auto* logs = new QWidget;
    auto* users = new QWidget;
    auto* chat = new QWidget;
    Overzicht->addTab(settings, QStringLiteral("Settings"));
    Overzicht->addTab(logs, QStringLiteral("Logs"));
    Overzicht->addTab(users, QStringLiteral("Users"));
    Overzicht->addTab(chat, QStringLiteral("Chat"));

    cmdStart
        = button(QStringLiteral("Start Server"), client, "cmdStart", twips(120, 4440, 1215, 495));
    cmdStop
        = button(QStringLiteral("Stop Server"), client, "cmdStop", twips(1440, 4440, 1215, 495));
    lblStatus = placed(new QLabel(client), "lblStatus", twips(2880, 4440, 2415, 495));

    // Controls on a page are laid out relative to the tab control, whose
    // pages begin below the tab strip.
    const int frame = Overzicht->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    const QPoint pageOrigin(frame, Overzicht->tabBar()->sizeHint().height() + frame);
    const auto onPage = [pageOrigin](int left, int top, int width, int height) {
        return twips(left, top, width, height).translated(-pageOrigin);
    };

    // Assistive technology names an input after its label, or where it has
    // none, after what the window shows it as.
    QLabel* lblPort = label(
        QStringLiteral("Port"), settings, "lblPort", onPage(360, 1500, 1575, 375), 9.75, true);
    cmbPort = new QComboBox(settings);
    cmbPort->setEditable(true);
    cmbPort->setInsertPolicy(QComboBox::NoInsert);
    cmbPort->setModel(&state.cmbPort);
    placed(
        cmbPort, "cmbPort", onPage(2160, 1560, 1215, cmbPort->sizeHint().height() * twipsPerPixel));
    lblPort->setBuddy(cmbPort);
    // The focus goes to the box's text field, which the label does not name.
    cmbPort->lineEdit()->setAccessibleName(lblPort->text());
    QLabel* lblNickname = label(QStringLiteral("Nickname"), settings, "lblNickname",
        onPage(360, 2040, 1575, 375), 9.75, true);
    txtNickname = placed(new QLineEdit(settings), "txtNickname", onPage(2160, 2040, 2415, 405));
    lblNickname->setBuddy(txtNickname);

    Log = listBox(state.Log, logs, "Log", onPage(240, 600, 7095, 2790), QStringLiteral("Log"));
    cmdSaveLog
        = button(QStringLiteral("Save Log As"), logs, "cmdSaveLog", onPage(240, 3600, 1215, 495));
    cmdClearLog
        = button(QStringLiteral("Clear All"), logs, "cmdClearLog", onPage(1680, 3600, 1215, 495));
    cmdPrintLog
        = button(QStringLiteral("Print Log"), logs, "cmdPrintLog", onPage(3120, 3600, 1215, 495));

    QLabel* lblusers = label(
        QStringLiteral("Users"), users, "lblusers", onPage(360, 480, 3495, 255), 8.25, true);
    QLabel* lblIpAdres = label(
        QStringLiteral("Ip-Adress"), users, "lblIpAdres", onPage(2880, 480, 2175, 255), 8.25, true);
    lblusers->setAlignment(Qt::AlignCenter);
    lblIpAdres->setAlignment(Qt::AlignCenter);
    Users = listBox(state.Users, users, "Users", onPage(240, 720, 2415, 2790));
    Ip = listBox(state.Ip, users, "Ip", onPage(2760, 720, 2295, 2790));
    lblusers->setBuddy(Users);
    lblIpAdres->setBuddy(Ip);
    connection = listBox(state.connection, users, "connection", onPage(5160, 720, 2055, 2790),
        QStringLiteral("Connection"));
    label(QStringLiteral("Users Online:"), users, "lblUsersOnline", onPage(240, 3720, 1455, 375),
        9.75, false);
    lblOnline = placed(new QLabel(users), "lblOnline", onPage(1920, 3720, 1095, 375));

    Messages = listBox(
        state.Messages, chat, "Messages", onPage(240, 480, 7095, 2790), QStringLiteral("Messages"));
    Users2 = listBox(
        state.Users2, chat, "Users2", onPage(7440, 480, 2295, 2790), QStringLiteral("Users"));
    txtMessage = placed(new QLineEdit(chat), "txtMessage", onPage(240, 3360, 5775, 495));
    txtMessage->setMaxLength(longestMessage);
    txtMessage->setAccessibleName(QStringLiteral("Message"));
    cmdSend = button(QStringLiteral("Send"), chat, "cmdSend", onPage(6120, 3360, 1215, 495));
    cmdClearChat
        = button(QStringLiteral("Clear All"), chat, "cmdClearChat", onPage(6120, 3840, 1215, 375));
}

void FormControls::createMenus(QMainWindow& window)
{
    QMenu* mnuBestand = window.menuBar()->addMenu(QStringLiteral("&File"));
    mnuBestand->setObjectName(QStringLiteral("mnuBestand"));
    mnuAfsluiten = mnuBestand->addAction(QStringLiteral("Quit"));
    mnuAfsluiten->setObjectName(QStringLiteral("mnuAfsluiten"));
    QMenu* mnuHelp = window.menuBar()->addMenu(QStringLiteral("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuAbout = mnuHelp->addAction(QStringLiteral("About"));
    mnuAbout->setObjectName(QStringLiteral("mnuAbout"));
}

// Tab walks the page shown in reading order, then the buttons below it;
// controls on hidden pages are passed over.
void FormControls::setTabOrder()
{
    QWidget* const order[]
        = { Overzicht, cmbPort, txtNickname, Log, cmdSaveLog, cmdClearLog, cmdPrintLog, Users, Ip,
              connection, Messages, Users2, txtMessage, cmdSend, cmdClearChat, cmdStart, cmdStop };
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}
