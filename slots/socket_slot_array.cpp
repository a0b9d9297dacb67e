#include "socket_slot_array.h"

#include "socket_address.h"

#include <QCoreApplication>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

namespace {

constexpr int readyEventsPerPass = 64;
constexpr qsizetype readChunk = 64 * 1024;

} // namespace

SocketSlotArray::SocketSlotArray(QObject* parent)
    : SlotArray(parent)
    , m_greetings(m_ledger,
          [this](const Arrival& arrival) {
              raiseFor(SlotArrayProbe::Work::ConnectionRequest, *arrival.account,
                  [&] { emit connectionRequest(0, arrival.fd); });
              // One not accepted is closed, and its account is to be forgotten.
              m_fairShare.keepTicking();
          })
    , m_readBuffer(readChunk, Qt::Uninitialized)
{
    connect(&m_notifier, &QSocketNotifier::activated, this, &SocketSlotArray::runReadySockets);
    connect(&m_outputNotifier, &QSocketNotifier::activated, &m_output, &TurnWriter::writeReady);
    connect(&m_output, &TurnWriter::readingResumed, this, &SocketSlotArray::postTurnIfWaiting);
    connect(&m_fairShare, &FairShare::departureDue, this,
        [this](int index, AddressLedger::Account* account) {
            raiseFor(SlotArrayProbe::Work::PeerClosed, *account, [&] { emit peerClosed(index); });
            m_ledger.release(*account, AddressLedger::Clock::now());
        });
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
    return m_output.cutOffOverCaps(*c, index) ? systemError(ENOBUFS) : Failure {};
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
    return m_output.cutOffOverCaps(*c, index) ? systemError(ENOBUFS) : Failure {};
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
            m_output.checkBehind();
            runReadySockets();
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

// A costly handler run from here may yield and so run this again, nested;
// the outer pass then finds some of its events already handled, which every
// step below notices by itself (nothing to accept, nothing to read, slot
// already gone). The loop's own pass is a turn, whose end writes the output.
void SocketSlotArray::runReadySockets()
{
    if (m_output.readingPaused() || !m_gate.mayRaiseNow(m_table.openCount()))
        return;
    if (m_gate.yieldDepth() > 0)
        return passReadySockets();
    const qint64 raisedBefore = m_raised;
    m_output.beginLoopTurn();
    m_fairShare.readHeldBack([this](int index) { receive(index, false); });
    m_fairShare.raiseDueDepartures();
    passReadySockets();
    m_output.endLoopTurn();
    // What its handlers held back for the loop is served at the next turn,
    // not at the next tick; a turn that raised nothing posts none.
    if (m_raised != raisedBefore)
        postTurnIfWaiting();
}

void SocketSlotArray::passReadySockets()
{
    m_gate.socketsChecked();
    std::array<epoll_event, readyEventsPerPass> buffer;
    for (const epoll_event& event : m_watches.ready(buffer)) {
        const int index = int(event.data.u64);
        if (index == 0) {
            m_listener.acceptReady();
            if (m_greetings.waitingCount() > 0)
                m_fairShare.keepTicking();
            continue;
        }
        receive(index, event.events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR));
    }
}

void SocketSlotArray::postTurnIfWaiting()
{
    if (!m_turnPosted && m_fairShare.waitsForTheLoop()) {
        m_turnPosted = true;
        QMetaObject::invokeMethod(this, &SocketSlotArray::runPostedTurn, Qt::QueuedConnection);
    }
}

// One that finds reading paused is posted again when reading goes on; one
// that comes inside a yield leaves what waits to the end of the turn under
// way, or to the fair share's tick.
void SocketSlotArray::runPostedTurn()
{
    m_turnPosted = false;
    if (m_gate.yieldDepth() == 0)
        runReadySockets();
}

// Raises an event of a connection from `account`'s address, holding the
// account until it has been handled.
template<typename Raise>
void SocketSlotArray::raiseFor(
    SlotArrayProbe::Work work, AddressLedger::Account& account, Raise raise)
{
    m_ledger.hold(account);
    ++m_raised;
    if (m_probe)
        m_probe->started(work, &account.address, m_gate.yieldDepth());
    {
        const HandlerGate::Handling handling(
            m_gate, &account, work == SlotArrayProbe::Work::DataArrival);
        raise();
    }
    if (m_probe)
        m_probe->finished(work, m_gate.yieldDepth());
    m_ledger.release(account, AddressLedger::Clock::now());
}

// Reads what the address's budget allows, and raises what was read, or the
// departure it ended with.
void SocketSlotArray::receive(int index, bool peerClosing)
{
    ClientConnection* c = m_table.find(index);
    if (!c || !c->isOpen() || c->isThrottled())
        return;
    const auto read = m_fairShare.read(index, *c, m_readBuffer, peerClosing);
    if (!read)
        return;
    const bool peerGone = read->end == ClientConnection::ReadEnd::PeerGone;
    if (peerGone)
        c->release();
    if (read->received == 0 && !peerGone)
        return;
    if (m_probe && read->received > 0)
        m_probe->received(
            index, QByteArrayView(c->input()).last(read->received), m_gate.yieldDepth());
    const auto work
        = read->received > 0 ? SlotArrayProbe::Work::DataArrival : SlotArrayProbe::Work::PeerClosed;
    raiseFor(work, c->account, [&] {
        // The entry outlives its connection until its last input has been taken.
        if (read->received > 0)
            emit dataArrival(index, read->received);
        if (peerGone) {
            m_fairShare.forget(index);
            emit peerClosed(index);
        }
    });
}
