#include "socket_slot_array.h"

#include "socket_address.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>

SocketSlotArray::SocketSlotArray(QObject* parent)
    : SlotArray(parent)
    , m_greetings(m_ledger, [this](const Arrival& arrival) {
        m_loop.raiseFor(SlotArrayProbe::Work::ConnectionRequest, *arrival.account,
            [&] { emit connectionRequest(0, arrival.fd); });
        // One not accepted is closed, and its account is to be forgotten.
        m_fairShare.keepTicking();
    })
{
    connect(&m_outputNotifier, &QSocketNotifier::activated, &m_output, &TurnWriter::writeReady);
    connect(&m_output, &TurnWriter::ceilingRecheckDue, this,
        [this] { cutOff(m_output.cutsOverCeiling()); });
}

SocketSlotArray::~SocketSlotArray() = default;

void SocketSlotArray::adoptConnection(int fd, const sockaddr_in6& remote)
{
    m_listener.admitConnection(fd, remote);
    if (m_greetings.waitingCount() == 0)
        return;
    m_fairShare.keepTicking();
    // Greeted as soon as the loop may raise, not a tick later.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_gate.mayRaiseNow(m_table.openCount()))
                m_greetings.admitWaiting();
        },
        Qt::QueuedConnection);
}

Failure SocketSlotArray::Bind(int index, quint16 port)
{
    return index == 0 ? m_listener.bind(port) : systemError(EINVAL);
}

// Which peers are on the server's own networks is read once here, so that
// an account's lookup never makes a system call.
Failure SocketSlotArray::Listen(int index)
{
    if (index != 0)
        return systemError(EINVAL);
    m_ledger.setLocalNetworks(LocalNetworks::ofThisHost());
    return m_listener.listen();
}

// Connections waiting to be greeted go too; their addresses are forgotten
// once they have earned their budgets back.
void SocketSlotArray::Close(int index)
{
    if (index != 0)
        return;
    m_listener.close();
    m_fairShare.keepTicking();
}

Failure SocketSlotArray::Load(int index)
{
    return m_table.create(index) ? Failure {} : systemError(EEXIST);
}

Failure SocketSlotArray::Accept(int index, qint32 requestID)
{
    if (index <= 0 || index > m_table.lastCreated() || m_table.find(index))
        return systemError(EINVAL);
    const std::optional<Arrival> arrival = m_greetings.take(requestID);
    if (!arrival)
        return systemError(EINVAL);
    ClientConnection& connection = m_table.open(index, arrival->fd, index, arrival->remote,
        *arrival->account, m_watches, m_outputWatches, m_output.unsentTotal());
    AddressLedger::addOpen(*arrival->account);
    if (Failure failure = connection.updateWatch()) {
        m_fairShare.forget(index);
        return failure;
    }
    return {};
}

// The sender's address pays for the message. Where it takes the client's
// unsent output past its cap, or all clients' past the ceiling, those that
// make no progress are cut off.
Failure SocketSlotArray::SendData(int index, const QByteArray& bytes)
{
    ClientConnection* c = m_table.find(index);
    if (!c || c->state() != sckConnected)
        return systemError(ENOTCONN);
    AddressLedger::charge(m_gate.payer(), 1);
    if (m_probe)
        m_probe->sending(index, bytes, c->unsent());
    if (Failure failure = m_output.send(index, *c, bytes))
        return failure;
    return cutOffOverCaps(*c, index);
}

// Paid for and capped as its messages would be one by one.
Failure SocketSlotArray::SendRoster(int index, const RosterBroadcast& roster)
{
    ClientConnection* c = m_table.find(index);
    if (!c || c->state() != sckConnected)
        return systemError(ENOTCONN);
    AddressLedger::charge(m_gate.payer(), roster.messages());
    if (Failure failure = m_output.sendRoster(index, *c, roster))
        return failure;
    return cutOffOverCaps(*c, index);
}

// ENOBUFS where `index` itself was cut off: its connection is then gone.
Failure SocketSlotArray::cutOffOverCaps(const ClientConnection& connection, int index)
{
    const std::vector<int> cuts = m_output.cutsOverCaps(connection, index);
    cutOff(cuts);
    return std::ranges::find(cuts, index) != cuts.end() ? systemError(ENOBUFS) : Failure {};
}

void SocketSlotArray::cutOff(const std::vector<int>& cuts)
{
    for (const int index : cuts)
        m_fairShare.cutOff(index);
    m_output.watchCeiling();
}

QByteArray SocketSlotArray::GetData(int index)
{
    ClientConnection* c = m_table.find(index);
    return c ? c->takeInput() : QByteArray();
}

int SocketSlotArray::State(int index) const
{
    if (index == 0)
        return m_listener.state();
    const ClientConnection* c = m_table.find(index);
    return c ? c->state() : sckClosed;
}

QString SocketSlotArray::RemoteHostIP(int index) const
{
    const ClientConnection* c = m_table.find(index);
    return c ? addressText(c->remote) : QString();
}

void SocketSlotArray::DoEvents()
{
    const std::optional<HandlerGate::YieldWork> work = m_gate.yieldWork();
    if (!work)
        return;
    {
        const HandlerGate::Yield yield(m_gate);
        if (work->checkSockets) {
            m_output.writeReady();
            m_loop.checkBehind();
            m_loop.runReadySockets();
        }
        if (work->runWindowPass) {
            const HandlerGate::Handling operatorsTurn(m_gate, nullptr, false);
            if (m_probe)
                m_probe->started(SlotArrayProbe::Work::WindowPass, nullptr, m_gate.yieldDepth());
            QCoreApplication::processEvents();
            if (m_probe)
                m_probe->finished(SlotArrayProbe::Work::WindowPass, m_gate.yieldDepth());
        }
    }
    m_gate.postWaitingCommands();
}
