#include "handler_gate.h"

#include <QScopedValueRollback>

#include <algorithm>
#include <utility>

HandlerGate::HandlerGate(Clock clock, QObject* parent)
    : QObject(parent)
    , m_clock(std::move(clock))
{
}

void HandlerGate::setYieldIntervals(
    std::chrono::microseconds sockets, std::chrono::microseconds windowPass)
{
    m_socketCheckInterval = sockets;
    m_windowPassInterval = windowPass;
    m_yieldsPerClockRead = sockets.count() == 0 || windowPass.count() == 0 ? 1 : 8;
}

// Ready sockets are looked for (where a costly handler lets them run) at
// most every socket check interval, and the window's events run at most
// every window pass interval.
std::optional<HandlerGate::YieldWork> HandlerGate::yieldWork()
{
    if (m_yieldDepth >= maxYieldDepth || ++m_yieldsUnclocked < m_yieldsPerClockRead)
        return std::nullopt;
    m_yieldsUnclocked = 0;
    const auto now = m_clock();
    const YieldWork work { now - m_socketsChecked >= m_socketCheckInterval,
        now - m_windowPassRun >= m_windowPassInterval };
    if (work.runWindowPass)
        m_windowPassRun = now;
    if (!work.checkSockets && !work.runWindowPass)
        return std::nullopt;
    return work;
}

HandlerGate::Yield::Yield(HandlerGate& gate)
    : m_gate(gate)
{
    ++m_gate.m_yieldDepth;
}

HandlerGate::Yield::~Yield()
{
    --m_gate.m_yieldDepth;
}

// A handler that has sent more than two messages a client is costly.
bool HandlerGate::mayRaiseNow(int openConnections) const
{
    if (m_handlersRunning == 0)
        return m_yieldDepth == 0;
    return m_handlersRunning < maxHandlersRunning && m_outerPayer
        && m_outerPayer->sent() - m_outerSentBefore > 2 * qint64(openConnections);
}

HandlerGate::Handling::Handling(
    HandlerGate& gate, AddressLedger::Account* account, bool dataArrival)
    : m_gate(gate)
    , m_account(account)
    , m_dataArrival(dataArrival)
    , m_previousPayer(std::exchange(gate.m_payer, account))
    , m_sentBefore(account ? account->sent() : 0)
    , m_outermost(account && gate.m_handlersRunning == 0)
{
    if (!m_account)
        return;
    if (m_outermost) {
        gate.m_outerPayer = account;
        gate.m_outerSentBefore = m_sentBefore;
    }
    ++gate.m_handlersRunning;
    AddressLedger::beginHandling(*account);
}

HandlerGate::Handling::~Handling()
{
    m_gate.m_payer = m_previousPayer;
    if (!m_account)
        return;
    --m_gate.m_handlersRunning;
    AddressLedger::endHandling(*m_account, m_sentBefore, m_dataArrival);
    if (m_outermost)
        m_gate.m_outerPayer = nullptr;
}

// A command run inside a yield would hold up the handler suspended there,
// and a modal dialog's loop would spin on sockets that may not be read inside
// it; one run inside another command (a save serves between its reads) would
// see the state half-way through that command.
void HandlerGate::runInTurn(const QObject* control, std::function<void()> command)
{
    if (std::ranges::none_of(m_waitingCommands,
            [control](const WaitingCommand& waiting) { return waiting.control == control; }))
        m_waitingCommands.push_back({ control, std::move(command) });
    runWaitingCommands();
}

// While a command runs, it runs those clicked meanwhile once it is done.
void HandlerGate::postWaitingCommands()
{
    if (m_yieldDepth == 0 && !m_commandRunning && !m_waitingCommands.empty()
        && !m_waitingCommandsPosted) {
        m_waitingCommandsPosted = true;
        QMetaObject::invokeMethod(this, &HandlerGate::runWaitingCommands, Qt::QueuedConnection);
    }
}

// Run by the loop, or by a window pass of a later yield, when it waits again.
void HandlerGate::runWaitingCommands()
{
    m_waitingCommandsPosted = false;
    if (m_commandRunning)
        return;
    const QScopedValueRollback running(m_commandRunning, true);
    while (m_yieldDepth == 0 && !m_waitingCommands.empty()) {
        const std::function<void()> command = std::move(m_waitingCommands.front().run);
        m_waitingCommands.pop_front();
        command();
    }
}
