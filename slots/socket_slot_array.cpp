#include "socket_slot_array.h"

#include "socket_address.h"

#include <QCoreApplication>
#include <QScopedValueRollback>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int readyEventsPerPass = 64;
constexpr qsizetype readChunk = 64 * 1024;
// One read pass takes at most this much from a client, so that a client that
// sends without pause cannot keep a single pass busy for ever.
constexpr qsizetype maxReadPerPass = 1024 * 1024;

bool wouldBlock(int code)
{
    return code == EAGAIN || code == EWOULDBLOCK;
}
} // namespace

SocketSlotArray::SocketSlotArray(QObject* parent)
    : SlotArray(parent)
    , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
    , m_listener(m_epoll, m_ledger, defaultConnectionsPerAddress,
          [this](const Arrival& arrival) { admit(arrival); })
    , m_readBuffer(readChunk, Qt::Uninitialized)
{
    if (m_epoll < 0)
        qFatal("epoll_create1: %s", std::strerror(errno));
    m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SocketSlotArray::runReadySockets);
    m_ledgerTimer.setInterval(AddressLedger::resumeInterval);
    connect(&m_ledgerTimer, &QTimer::timeout, this, &SocketSlotArray::tick);
    m_turnPause.setSingleShot(true);
    m_turnPause.setTimerType(Qt::PreciseTimer);
    connect(&m_turnPause, &QTimer::timeout, m_notifier, [this] { m_notifier->setEnabled(true); });
}

SocketSlotArray::~SocketSlotArray()
{
    for (auto& [index, connection] : m_table) {
        if (connection.fd >= 0)
            ::close(connection.fd);
    }
    if (m_pending)
        ::close(m_pending->fd);
    delete m_notifier;
    ::close(m_epoll);
}

Failure SocketSlotArray::Bind(int index, quint16 port)
{
    return index == 0 ? m_listener.bind(port) : systemError(EINVAL);
}

Failure SocketSlotArray::Listen(int index)
{
    return index == 0 ? m_listener.listen() : systemError(EINVAL);
}

// Connections waiting to be greeted go too; their addresses are forgotten
// once they have earned their budgets back.
void SocketSlotArray::Close(int index)
{
    if (index != 0)
        return;
    m_listener.close();
    keepTicking();
}

Failure SocketSlotArray::Load(int index)
{
    return m_table.create(index) ? Failure {} : systemError(EEXIST);
}

Failure SocketSlotArray::Accept(int index, qint32 requestID)
{
    if (index <= 0 || index > m_table.lastCreated() || m_table.find(index) || !m_pending
        || requestID != m_pending->fd)
        return systemError(EINVAL);
    const Arrival arrival = *std::exchange(m_pending, std::nullopt);
    const int on = 1;
    ::setsockopt(arrival.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Connection& connection
        = m_table.open(index, Connection(arrival.fd, arrival.remote, *arrival.account));
    ++arrival.account->open;
    updateWatch(index, connection);
    if (connection.watched == 0) {
        const int error = errno;
        release(connection);
        forget(index);
        return systemError(error);
    }
    return {};
}

// The message joins the client's output, which is written when the turn
// ends, or now once it fills a write. What the kernel does not take waits
// until the socket can take more.
Failure SocketSlotArray::SendData(int index, const QByteArray& bytes)
{
    Connection* c = m_table.find(index);
    if (!c || c->state != sckConnected)
        return systemError(ENOTCONN);
    if (m_cause) {
        m_cause->messages.spend(1);
        ++m_cause->sent;
    }
    if (m_probe)
        m_probe->sending(index, bytes, c->unsent());
    queue(*c, bytes.constData(), bytes.size());
    if (!c->watchingOutput) {
        if (c->unsent() < coalescedWrite)
            writeWhenTurnEnds(index, *c);
        else if (Failure error = writeOutput(index, *c))
            return error;
    }
    if (c->unsent() > m_outputCap) {
        dropConnection(index);
        return systemError(ENOBUFS);
    }
    if (m_queuedOutput > m_outputCeiling) {
        cutLargestQueues();
        if (!m_table.find(index))
            return systemError(ENOBUFS);
    }
    return {};
}

QByteArray SocketSlotArray::GetData(int index)
{
    Connection* c = m_table.find(index);
    return c ? std::exchange(c->input, {}) : QByteArray();
}

int SocketSlotArray::State(int index) const
{
    if (index == 0)
        return m_listener.state();
    const Connection* c = m_table.find(index);
    return c ? c->state : sckClosed;
}

QString SocketSlotArray::RemoteHostIP(int index) const
{
    const Connection* c = m_table.find(index);
    return c ? addressText(c->remote) : QString();
}

QString SocketSlotArray::LocalIP(int /*index*/) const
{
    return localIpv4();
}

int SocketSlotArray::nextConnected(int after) const
{
    return m_table.nextConnected(after);
}

// Called after every message of a broadcast, so it asks the kernel and Qt
// only as often as promptness needs: ready sockets are looked for (where a
// costly handler lets them run) at most every socket check interval, and
// Qt's pass, which runs the window's events, at most every window pass
// interval.
void SocketSlotArray::DoEvents()
{
    if (m_yieldDepth >= maxYieldDepth || ++m_yieldsUnclocked < m_yieldsPerClockRead)
        return;
    m_yieldsUnclocked = 0;
    const auto now = std::chrono::steady_clock::now();
    const bool checkSockets = now - m_socketsChecked >= m_socketCheckInterval;
    const bool runWindowPass = now - m_windowPassRun >= m_windowPassInterval;
    if (!checkSockets && !runWindowPass)
        return;
    {
        const QScopedValueRollback depth(m_yieldDepth, m_yieldDepth + 1);
        if (checkSockets)
            runReadySockets();
        if (runWindowPass) {
            m_windowPassRun = now;
            // What the window's events send is the operator's.
            const QScopedValueRollback<AddressLedger::Account*> operatorsTurn(m_cause, nullptr);
            if (m_probe)
                m_probe->started(SlotArrayProbe::Work::WindowPass, nullptr, m_yieldDepth);
            QCoreApplication::processEvents();
            if (m_probe)
                m_probe->finished(SlotArrayProbe::Work::WindowPass, m_yieldDepth);
        }
    }
    // The command runs once the one suspended here has returned to the loop.
    if (m_yieldDepth == 0 && !m_waitingCommands.empty() && !m_waitingCommandsPosted) {
        m_waitingCommandsPosted = true;
        QMetaObject::invokeMethod(this, &SocketSlotArray::runWaitingCommands, Qt::QueuedConnection);
    }
}

// A command run inside a yield would hold up the handler suspended there, and
// a modal dialog's loop would spin on sockets that may not be read inside it.
void SocketSlotArray::runOutsideHandlers(std::function<void()> command)
{
    if (m_yieldDepth == 0)
        command();
    else
        m_waitingCommands.push_back(std::move(command));
}

// Run by the loop, or by a window pass of a later yield, when it waits again.
void SocketSlotArray::runWaitingCommands()
{
    m_waitingCommandsPosted = false;
    if (m_yieldDepth > 0)
        return;
    for (const auto& command : std::exchange(m_waitingCommands, {}))
        command();
}

// A costly handler run from here may yield and so run this again, nested;
// the outer pass then finds some of its events already handled, which every
// step below notices by itself (nothing to accept, nothing to read, slot
// already gone). The loop's own pass is a turn: its end writes the output.
void SocketSlotArray::runReadySockets()
{
    if (!mayRaiseNow())
        return;
    const QScopedValueRollback loopPass(m_inLoopPass, m_inLoopPass || m_yieldDepth == 0);
    if (m_yieldDepth == 0)
        readHeldBack();
    m_socketsChecked = std::chrono::steady_clock::now();
    epoll_event events[readyEventsPerPass];
    const int ready = ::epoll_wait(m_epoll, events, readyEventsPerPass, 0);
    for (int i = 0; i < ready; ++i) {
        ++m_readyEvents;
        const int index = int(events[i].data.u64);
        if (index == 0) {
            m_listener.acceptReady();
            if (m_listener.waitingCount() > 0)
                keepTicking();
            continue;
        }
        if (events[i].events & EPOLLOUT) {
            if (Connection* c = m_table.find(index); c && c->state == sckConnected)
                writeOutput(index, *c);
        }
        if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
            receive(index, events[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR));
    }
    if (m_yieldDepth == 0) {
        const auto writing = std::chrono::steady_clock::now();
        endTurn();
        pauseAfterWrites(std::chrono::steady_clock::now() - writing);
    }
}

// In a busy room, the turn's writes are most of its time. When they took a
// millisecond or more and more has arrived meanwhile, the loop pauses as long
// (up to maxTurnPause) before it reads again, so that what arrives is handled
// in one turn and shares its writes, several lines a write instead of one:
// the loop then spends at most half its time writing. Where the writes are
// quick (few clients) or nothing arrives during them (a quiet room), nothing
// waits. The window's events run during the pause.
void SocketSlotArray::pauseAfterWrites(std::chrono::steady_clock::duration writing)
{
    const auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::min<std::chrono::steady_clock::duration>(writing, maxTurnPause));
    pollfd ready { m_epoll, POLLIN, 0 };
    if (pause.count() == 0 || ::poll(&ready, 1, 0) != 1)
        return;
    m_notifier->setEnabled(false);
    m_turnPause.start(pause);
}

// The loop raises events; a yield only inside a costly handler, and then
// only one more. A handler that has sent more than two messages a client is
// sending a roster to everyone, which cheap messages need not wait for;
// anything else (a chat line's relay, a window command) is soon done, and
// what arrives meanwhile waits its turn.
bool SocketSlotArray::mayRaiseNow() const
{
    if (m_handlersRunning == 0)
        return m_yieldDepth == 0;
    const qint64 costly = 2 * qint64(m_table.openCount());
    return m_handlersRunning < maxHandlersRunning && m_outerCause
        && m_outerCause->sent - m_outerSentBefore > costly;
}

// A request is valid only while its event is being handled.
void SocketSlotArray::admit(const Arrival& arrival)
{
    if (m_pending)
        m_listener.discard(*std::exchange(m_pending, std::nullopt));
    m_pending = arrival;
    raiseFor(SlotArrayProbe::Work::ConnectionRequest, *arrival.account,
        [&] { emit connectionRequest(0, arrival.fd); });
    if (m_pending && m_pending->fd == arrival.fd) {
        m_listener.discard(*std::exchange(m_pending, std::nullopt));
        keepTicking();
    }
}

// Raises an event of a connection from `account`'s address, which pays for
// what is sent while it is handled; the account is held until then.
template<typename Raise>
void SocketSlotArray::raiseFor(
    SlotArrayProbe::Work work, AddressLedger::Account& account, Raise raise)
{
    m_ledger.hold(account);
    if (m_probe)
        m_probe->started(work, &account.address, m_yieldDepth);
    const qint64 sentBefore = account.sent;
    {
        const bool outermost = m_handlersRunning == 0;
        const QScopedValueRollback outerCause(m_outerCause, outermost ? &account : m_outerCause);
        const QScopedValueRollback outerSentBefore(
            m_outerSentBefore, outermost ? sentBefore : m_outerSentBefore);
        const QScopedValueRollback cause(m_cause, &account);
        const QScopedValueRollback running(m_handlersRunning, m_handlersRunning + 1);
        const QScopedValueRollback handling(account.handling, account.handling + 1);
        raise();
    }
    if (work == SlotArrayProbe::Work::DataArrival) {
        account.costBefore = std::max<qint64>(account.lastCost, 0);
        account.lastCost = account.sent - sentBefore;
    }
    if (m_probe)
        m_probe->finished(work, m_yieldDepth);
    m_ledger.release(account, AddressLedger::Clock::now());
}

// Inside a handler's yield, only a cheap address is read: one served before
// whose last two messages were not both costly (a costly one made the server
// send more than two messages a client: a roster to everyone, not a chat
// line), that has not spent much lately and whose own event is not being
// handled. The others wait for the loop itself.
bool SocketSlotArray::mayReadNow(
    AddressLedger::Account& account, AddressLedger::Clock::time_point now) const
{
    const qint64 costly = 2 * qint64(m_table.openCount());
    const bool cheap = account.lastCost >= 0
        && (account.lastCost <= costly || account.costBefore <= costly) && account.handling == 0
        && !m_ledger.isBusy(account, now);
    return m_ledger.mayRead(account, now) && (m_yieldDepth == 0 || cheap);
}

// Reads what the address's budget allows. One that may not be read now is
// not watched for input until it may: its bytes wait in the kernel, in
// order, and TCP slows the sender down.
void SocketSlotArray::receive(int index, bool peerClosing)
{
    Connection* c = m_table.find(index);
    if (!c || !c->isOpen() || c->throttled)
        return;
    AddressLedger::Account& account = *c->account;
    const auto now = AddressLedger::Clock::now();
    // A departure may send the roster to everyone: it waits for the loop too.
    if (!mayReadNow(account, now) || (peerClosing && m_yieldDepth > 0)) {
        throttle(index, *c);
        return;
    }
    const qint64 allowance = std::min<qint64>(maxReadPerPass, account.bytes.available(now));
    enum class End { Allowance, Drained, PeerGone } end = End::Allowance;
    qsizetype received = 0;
    while (received < allowance) {
        const auto wanted
            = std::size_t(std::min<qint64>(m_readBuffer.size(), allowance - received));
        const ssize_t n = ::recv(c->fd, m_readBuffer.data(), wanted, 0);
        if (n > 0) {
            c->input.append(m_readBuffer.constData(), n);
            received += n;
            // Less than asked for: the rest has not arrived yet, and
            // readiness brings the connection back once it has.
            if (std::size_t(n) < wanted && !peerClosing) {
                end = End::Drained;
                break;
            }
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // A reset or any other failed read counts as the peer closing.
            end = n < 0 && wouldBlock(errno) ? End::Drained : End::PeerGone;
            break;
        }
    }
    account.bytes.spend(received);
    if (end == End::Allowance && !m_ledger.mayRead(account, now))
        throttle(index, *c);
    if (end == End::PeerGone)
        release(*c);
    if (received == 0 && end != End::PeerGone)
        return;
    if (m_probe && received > 0)
        m_probe->received(index, QByteArrayView(c->input).last(received), m_yieldDepth);
    const auto work
        = received > 0 ? SlotArrayProbe::Work::DataArrival : SlotArrayProbe::Work::PeerClosed;
    raiseFor(work, account, [&] {
        // The entry outlives its connection until its last input has been taken.
        if (received > 0)
            emit dataArrival(index, received);
        if (end == End::PeerGone) {
            forget(index);
            emit peerClosed(index);
        }
    });
}

void SocketSlotArray::queue(Connection& connection, const char* bytes, qsizetype size)
{
    connection.output.append(bytes, size);
    m_queuedOutput += size;
}

// Writes until the kernel takes no more, then waits for the socket to.
Failure SocketSlotArray::writeOutput(int index, Connection& connection)
{
    while (connection.unsent() > 0) {
        const ssize_t n
            = ::send(connection.fd, connection.output.constData() + connection.outputSent,
                std::size_t(connection.unsent()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            connection.outputSent += n;
            m_queuedOutput -= n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && wouldBlock(errno)) {
            // Keep the buffer from holding on to what has gone out already.
            if (connection.outputSent > connection.output.size() / 2) {
                connection.output.remove(0, connection.outputSent);
                connection.outputSent = 0;
            }
            connection.watchingOutput = true;
            updateWatch(index, connection);
            return {};
        } else {
            const int error = n < 0 ? errno : EPIPE;
            stopWriting(index, connection);
            return systemError(error);
        }
    }
    // A buffer of one write's size is kept for the next turn, so that a busy
    // client does not cost an allocation a turn; a larger one is given back.
    if (connection.output.isDetached() && connection.output.capacity() <= coalescedWrite)
        connection.output.resize(0);
    else
        connection.output = QByteArray();
    connection.outputSent = 0;
    connection.watchingOutput = false;
    updateWatch(index, connection);
    return {};
}

void SocketSlotArray::writeWhenTurnEnds(int index, Connection& connection)
{
    if (connection.writeDue)
        return;
    connection.writeDue = true;
    m_writesDue.push_back(index);
    // For what the window's events and the timers send; the loop's own pass
    // over the sockets ends its turn itself.
    if (!m_endOfTurnPosted && !m_inLoopPass) {
        m_endOfTurnPosted = true;
        QMetaObject::invokeMethod(this, &SocketSlotArray::endTurn, Qt::QueuedConnection);
    }
}

// Each client sent something since the last turn ended gets one write. A
// yield's window pass may end a turn early, which only writes sooner.
void SocketSlotArray::endTurn()
{
    m_endOfTurnPosted = false;
    // Writing queues nothing new, and the list keeps its room for the next turn.
    for (const int index : m_writesDue) {
        Connection* c = m_table.find(index);
        if (!c)
            continue;
        c->writeDue = false;
        if (c->state == sckConnected && !c->watchingOutput)
            writeOutput(index, *c);
    }
    m_writesDue.clear();
}

// Tells epoll what the connection waits for now. One with nothing to wait
// for leaves epoll, so that an error on it cannot wake the loop for nothing.
void SocketSlotArray::updateWatch(int index, Connection& connection)
{
    const quint32 wanted = (connection.throttled ? 0u : quint32(EPOLLIN | EPOLLRDHUP))
        | (connection.watchingOutput ? quint32(EPOLLOUT) : 0u);
    if (wanted == connection.watched)
        return;
    epoll_event event {};
    event.events = wanted;
    event.data.u64 = quint64(index);
    const int operation = connection.watched == 0 ? EPOLL_CTL_ADD
        : wanted == 0                             ? EPOLL_CTL_DEL
                                                  : EPOLL_CTL_MOD;
    if (::epoll_ctl(m_epoll, operation, connection.fd, &event) == 0)
        connection.watched = wanted;
}

// Unsent output goes, and its memory with it.
void SocketSlotArray::discardOutput(Connection& connection)
{
    m_queuedOutput -= connection.unsent();
    connection.output = QByteArray();
    connection.outputSent = 0;
}

// Its peer has gone, or is going: what it sent before is still to be read,
// and reading it to its end raises the departure after it. Closing, it is
// passed over by the loops over slots meanwhile.
void SocketSlotArray::stopWriting(int index, Connection& connection)
{
    discardOutput(connection);
    connection.state = sckClosing;
    connection.watchingOutput = false;
    updateWatch(index, connection);
}

// Those holding most are the clients that do not read: the ceiling is far
// above what the clients that read leave queued.
void SocketSlotArray::cutLargestQueues()
{
    std::vector<std::pair<qsizetype, int>> queues;
    for (const auto& [index, connection] : m_table) {
        if (connection.unsent() > 0)
            queues.emplace_back(connection.unsent(), index);
    }
    std::ranges::sort(queues, std::greater());
    for (const auto& [size, index] : queues) {
        if (m_queuedOutput <= m_outputCeiling)
            break;
        dropConnection(index);
    }
}

void SocketSlotArray::throttle(int index, Connection& connection)
{
    connection.throttled = true;
    updateWatch(index, connection);
    m_throttled.push_back(index);
    keepTicking();
}

void SocketSlotArray::keepTicking()
{
    if (!m_ledgerTimer.isActive())
        m_ledgerTimer.start();
}

// Runs while there is something to come back to: slots not read, connections
// not greeted, accounts not yet forgotten.
void SocketSlotArray::tick()
{
    resumeThrottled();
    if (mayRaiseNow())
        m_listener.admitWaiting();
    raiseDropped();
    const int unsettled = m_ledger.forgetSettled(AddressLedger::Clock::now());
    if (m_throttled.empty() && m_listener.waitingCount() == 0 && m_dropped.empty()
        && unsettled == 0)
        m_ledgerTimer.stop();
}

void SocketSlotArray::resumeThrottled()
{
    const auto now = AddressLedger::Clock::now();
    std::erase_if(m_throttled, [&](int index) {
        Connection* c = m_table.find(index);
        if (!c || !c->isOpen())
            return true;
        if (!mayReadNow(*c->account, now))
            return false;
        c->throttled = false;
        updateWatch(index, *c);
        return true;
    });
}

// At the loop itself, the connections held back from inside handlers are
// read first, each in turn: the handlers' yields would find them ready and
// hold them back again before the loop's own turn came.
void SocketSlotArray::readHeldBack()
{
    for (const int index : std::exchange(m_throttled, {})) {
        Connection* c = m_table.find(index);
        if (!c || !c->isOpen())
            continue;
        if (!mayReadNow(*c->account, AddressLedger::Clock::now())) {
            m_throttled.push_back(index);
            continue;
        }
        c->throttled = false;
        updateWatch(index, *c);
        receive(index, false);
    }
    if (!m_throttled.empty())
        keepTicking();
}

// The descriptor and unsent output go at once; the slot keeps only its number.
void SocketSlotArray::release(Connection& connection)
{
    discardOutput(connection);
    ::close(connection.fd);
    connection.fd = -1;
    connection.state = sckClosing;
    connection.watched = 0;
}

// The entry goes, and with it the connection's hold on its account.
void SocketSlotArray::forget(int index)
{
    if (Connection* c = m_table.find(index)) {
        AddressLedger::Account& account = *c->account;
        --account.open;
        m_table.erase(index);
        m_ledger.release(account, AddressLedger::Clock::now());
        keepTicking();
    }
}

// A connection that failed while being written to, or that let its unsent
// output grow past the cap. Its close event is raised from the event loop,
// not from inside the send that found it.
void SocketSlotArray::dropConnection(int index)
{
    Connection* c = m_table.find(index);
    if (!c)
        return;
    release(*c);
    m_dropped.emplace_back(index, &m_ledger.hold(*c->account));
    forget(index);
    if (m_dropped.size() == 1)
        QMetaObject::invokeMethod(this, &SocketSlotArray::raiseDropped, Qt::QueuedConnection);
}

// As departures read, they wait for the loop itself and for their address's
// budget, with the ledger's timer to come back to them. Handlers raised here
// may drop more connections, which wait for the next call.
void SocketSlotArray::raiseDropped()
{
    for (const auto& [index, account] : std::exchange(m_dropped, {})) {
        if (m_yieldDepth > 0 || !m_ledger.mayRead(*account, AddressLedger::Clock::now())) {
            m_dropped.emplace_back(index, account);
            continue;
        }
        raiseFor(SlotArrayProbe::Work::PeerClosed, *account, [&] { emit peerClosed(index); });
        m_ledger.release(*account, AddressLedger::Clock::now());
    }
    if (!m_dropped.empty())
        keepTicking();
}
