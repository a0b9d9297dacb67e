#include "relay_engine.h"

#include "operator_console.h"
#include "protocol.h"
#include "server_state.h"
#include "slot_array.h"

#include <algorithm>
#include <cerrno>
#include <limits>

namespace {

const QString captionPrefix = QStringLiteral("Quenvar Chat Server - ");
const QString boxTitle = QStringLiteral("Quenvar Chat");
constexpr int portRows = 100;
constexpr int defaultPortRow = 39; // "40"
constexpr int longestNickname = 12;
constexpr int highestPort = 65535;
constexpr int firstUnprivilegedPort = 1024;

bool isDecimalDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// The leading decimal digits of a port row, after leading blanks; 0 when
// there are none.
int leadingNumber(const QByteArray& text)
{
    qsizetype i = 0;
    while (i < text.size() && text.at(i) == ' ')
        ++i;
    int value = 0;
    for (; i < text.size() && isDecimalDigit(QLatin1Char(text.at(i))) && value <= highestPort; ++i)
        value = value * 10 + (text.at(i) - '0');
    return value;
}

// A port typed by the operator: a whole number from 1 to 65535, else 0.
int typedPort(const QString& text)
{
    if (text.isEmpty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), isDecimalDigit))
        return 0;
    const int value = text.toInt();
    return value <= highestPort ? value : 0;
}

} // namespace

RelayEngine::RelayEngine(
    ServerState& state, SlotArray& server, OperatorConsole& console, QObject* parent)
    : QObject(parent)
    , m_state(state)
    , m_server(server)
    , m_console(console)
    , m_roster(state.Users)
{
    connect(&m_server, &SlotArray::connectionRequest, this, &RelayEngine::Server_ConnectionRequest);
    connect(&m_server, &SlotArray::dataArrival, this, &RelayEngine::Server_DataArrival);
    connect(&m_server, &SlotArray::peerClosed, this, &RelayEngine::Server_Close);
}

void RelayEngine::Form_Load()
{
    showNotRunning();
    m_state.connectie = 0;
    for (int port = 1; port <= portRows; ++port)
        m_state.cmbPort.AddItem(QByteArray::number(port));
    m_state.cmbPort.setListIndex(defaultPortRow);
}

// The selected row when there is one; otherwise what the operator typed.
int RelayEngine::requestedPort() const
{
    const int row = m_state.cmbPort.ListIndex();
    if (row >= 0)
        return leadingNumber(m_state.cmbPort.List(row));
    return typedPort(m_console.portText());
}

void RelayEngine::cmdStart_Click()
{
    m_state.port = requestedPort();
    const QString nickname = m_console.nickname();
    m_console.setCaption(captionPrefix + nickname);
    if (nickname.isEmpty() || nickname.size() > longestNickname || m_state.port == 0) {
        m_console.showMessageBox(QStringLiteral("No Port Assigned! or No Nickname Assigned"),
            boxTitle, OperatorConsole::Icon::Critical);
        return;
    }

    m_console.setStartEnabled(false);
    m_console.setStopEnabled(true);
    const auto port = quint16(m_state.port);
    Failure error = m_server.Bind(0, port);
    if (!error)
        error = m_server.Listen(0);
    if (error) {
        m_server.Close(0);
        QString text
            = QStringLiteral("Cannot start the server on port %1: %2.").arg(port).arg(error.text);
        if (error.code == EACCES && port < firstUnprivilegedPort)
            text += QStringLiteral(
                " Ports below %1 need administrator rights: install the quenvar-chat-server "
                "package,"
                " which grants them to the program, or type a port of %1 or above.")
                        .arg(firstUnprivilegedPort);
        refuseStart(text);
        return;
    }

    m_console.setStatus(QStringLiteral("Running"), colourGreen);
    m_console.setPortEnabled(false);
    const QByteArray operatorRow = nickname.toLatin1();
    m_state.Users.AddItem(operatorRow);
    m_state.Users2.AddItem(operatorRow);
    m_state.connection.AddItem("0");
    updateOnline();
    m_state.Ip.AddItem(m_server.LocalIP(0).toLatin1());
    m_console.setCaption(captionPrefix + nickname);
    emit serviceStarted(m_state.port, nickname);
}

// A start whose port could not be taken leaves the service as it was before
// the button was pressed: stopped, with the roster untouched.
void RelayEngine::refuseStart(const QString& text)
{
    m_console.setStartEnabled(true);
    m_console.setStopEnabled(false);
    m_console.setPortEnabled(true);
    showNotRunning();
    m_console.showMessageBox(text, boxTitle, OperatorConsole::Icon::Critical);
}

void RelayEngine::cmdStop_Click()
{
    m_console.setPortEnabled(true);
    m_server.Close(0);
    m_console.setStopEnabled(false);
    m_console.setStartEnabled(true);
    showNotRunning();
    m_state.Users2.Clear();
    m_state.Users.Clear();
    m_state.Ip.Clear();
    m_state.connection.Clear();
    emit serviceStopped();
}

void RelayEngine::showNotRunning()
{
    m_console.setStatus(QStringLiteral("Not Running"), colourRed);
}

void RelayEngine::txtNickname_Change()
{
    m_console.setCaption(captionPrefix + m_console.nickname());
}

void RelayEngine::cmdSend_Click()
{
    if (m_console.message().isEmpty())
        return;
    // Composed once, as Send takes its turn: every slot and the transcripts
    // have the same line, and what the operator types while it goes out stays
    // in the box for the next one.
    const QByteArray line = operatorLine();
    m_console.setMessage(QString());
    m_state.transcript.append(line);
    const int lastSlot = m_state.connectie;
    for (int s = nextSlot(0, lastSlot); s != 0; s = nextSlot(s, lastSlot)) {
        sendBestEffort(s, line);
        m_server.DoEvents();
    }
    m_state.Messages.setListIndex(m_state.Messages.ListCount() - 1);
}

// Slot numbers are never reused, so once they run out, newcomers are turned
// away unanswered (the slot array closes a request not accepted) and those
// connected are served on.
void RelayEngine::Server_ConnectionRequest(int index, qint32 requestID)
{
    if (index != 0 || m_state.connectie == std::numeric_limits<int>::max())
        return;
    const int slot = ++m_state.connectie;
    // A connection that cannot be taken over is dropped by the slot array;
    // its number stays used, and it is not greeted.
    if (m_server.Load(slot) || m_server.Accept(slot, requestID))
        return;
    sendBestEffort(slot, protocol::greeting);
    m_server.DoEvents();
}

void RelayEngine::Server_DataArrival(int index, qint64 /*bytesTotal*/)
{
    const QByteArray text = m_server.GetData(index);
    switch (protocol::classify(text)) {
    case protocol::MessageKind::Probe:
        sendBestEffort(index, protocol::probeAnswer);
        break;
    case protocol::MessageKind::Join:
        join(index, text);
        break;
    case protocol::MessageKind::Chat:
        relayChatLine(text);
        break;
    }
}

// A slot is one user: joining again renames its row rather than adding a
// second one that its departure would leave behind.
void RelayEngine::join(int index, const QByteArray& text)
{
    const QByteArray name = protocol::joinNickname(text);
    const int row = rosterRowOf(index);
    if (row >= 0) {
        m_state.Users2.setList(row, name);
        m_state.Users.setList(row, name);
    } else {
        m_state.Users2.AddItem(name);
        m_state.Users.AddItem(name);
        m_state.Ip.AddItem(m_server.RemoteHostIP(index).toLatin1());
        m_state.connection.AddItem(QByteArray::number(index));
        const int added = m_state.Users.NewIndex();
        m_state.Users.setRowItemData(added, index);
        m_state.Users2.setRowItemData(added, index);
    }
    updateOnline();

    m_state.transcript.append("User Entered The Chat: " + name);
    followNewestLine();
    broadcastRoster(protocol::joinEvent(name));
}

void RelayEngine::relayChatLine(const QByteArray& text)
{
    const int lastSlot = m_state.connectie;
    for (int s = nextSlot(0, lastSlot); s != 0; s = nextSlot(s, lastSlot)) {
        sendBestEffort(s, text);
        m_server.DoEvents();
    }
    m_console.flash();
    m_state.transcript.append(text);
    followNewestLine();
}

// A connection that never joined leaves the roster as it was, so nobody is
// told: a stranger's connect and close must not cost a broadcast to all.
void RelayEngine::Server_Close(int index)
{
    const int row = rosterRowOf(index);
    if (row < 0)
        return;
    m_state.Users2.RemoveItem(row);
    m_state.Users.RemoveItem(row);
    m_state.Ip.RemoveItem(row);
    m_state.connection.RemoveItem(row);
    updateOnline();
    broadcastRoster(protocol::departureEvent);
}

// Every connected slot is sent the roster as it stands when its turn comes,
// its messages handed over together and followed by one yield: with every
// row yielding, a broadcast cost a yield per row per client. A send that
// fails is skipped, as sendBestEffort's are.
void RelayEngine::broadcastRoster(const QByteArray& event)
{
    const int lastSlot = m_state.connectie;
    for (int s = nextSlot(0, lastSlot); s != 0; s = nextSlot(s, lastSlot)) {
        (void)m_server.SendRoster(s, { protocol::rosterStart, event, m_roster.rows() });
        m_server.DoEvents();
    }
}

// A send to a client that has gone or been cut off fails; its departure
// comes as an event of its own, and the others are served on.
void RelayEngine::sendBestEffort(int index, const QByteArray& bytes)
{
    (void)m_server.SendData(index, bytes);
}

// The roster row of a client slot, or -1. The operator's row carries 0, which
// no client slot has.
int RelayEngine::rosterRowOf(int index) const
{
    const int rows = m_state.Users.ListCount();
    for (int i = 0; i < rows; ++i) {
        if (m_state.Users.ItemData(i) == index)
            return i;
    }
    return -1;
}

// The loops over slots visit, in ascending order, the slots connected at
// their turn, up to the bound the loop took when it started: slots that close
// while it yields are passed over, slots opened above the bound are not seen.
// Returns 0 when there is none left.
int RelayEngine::nextSlot(int after, int lastSlot) const
{
    const int next = m_server.nextConnected(after);
    return next <= lastSlot ? next : 0;
}

QByteArray RelayEngine::operatorLine() const
{
    return protocol::operatorLine(m_console.nickname().toLatin1(), m_console.message().toLatin1());
}

void RelayEngine::updateOnline()
{
    m_console.setOnline(QString::number(m_state.Users.ListCount()));
}

void RelayEngine::followNewestLine()
{
    m_state.Messages.setListIndex(m_state.Messages.ListCount() - 1);
    m_state.Log.setListIndex(m_state.Log.ListCount() - 1);
}
