#pragma once

#include "address_ledger.h"

#include <QObject>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

// Which handlers run when. The event loop raises events; a yield only inside
// a costly handler, and then only one more: a handler that has sent more
// than two messages a client is sending a roster to everyone, which cheap
// messages need not wait for, while anything else (a chat line's relay, a
// window command) is soon done, and what arrives meanwhile waits its turn.
//
// It also knows whose event is being handled, as that address pays for what
// is sent meanwhile, and how often a yield may look at sockets and run the
// window's events.
class HandlerGate : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // Yields nest no deeper than this; past it a yield returns at once.
    static constexpr int maxYieldDepth = 64;
    // A costly handler and the cheap one running inside its yield.
    static constexpr int maxHandlersRunning = 2;
    // How long a ready socket and a waiting window event may wait while a
    // handler sends and yields.
    static constexpr std::chrono::microseconds defaultSocketCheckInterval { 50 };
    static constexpr std::chrono::microseconds defaultWindowPassInterval { 1000 };

    explicit HandlerGate(Clock clock = std::chrono::steady_clock::now, QObject* parent = nullptr);

    // What one yield does, if anything.
    struct YieldWork {
        bool checkSockets = false;
        bool runWindowPass = false;
    };
    // Called at every yield, so it reads the clock only as often as
    // promptness needs.
    std::optional<YieldWork> yieldWork();
    // Zero makes every yield look for sockets, or run the window's events.
    void setYieldIntervals(std::chrono::microseconds sockets, std::chrono::microseconds windowPass);
    void socketsChecked() { m_socketsChecked = m_clock(); }

    int yieldDepth() const { return m_yieldDepth; }
    // Marks a yield's extent.
    class Yield {
    public:
        explicit Yield(HandlerGate& gate);
        ~Yield();
        Yield(const Yield&) = delete;
        Yield& operator=(const Yield&) = delete;

    private:
        HandlerGate& m_gate;
    };

    // Whether an event may be raised now, with `openConnections` clients to
    // measure a handler's cost by.
    bool mayRaiseNow(int openConnections) const;
    // Marks a handler's extent: of an event from `account`'s address, which
    // pays for what is sent meanwhile, or (none) the window's, whose sends
    // are the operator's. A data arrival's cost is recorded on its account.
    class Handling {
    public:
        Handling(HandlerGate& gate, AddressLedger::Account* account, bool dataArrival);
        ~Handling();
        Handling(const Handling&) = delete;
        Handling& operator=(const Handling&) = delete;

    private:
        HandlerGate& m_gate;
        AddressLedger::Account* m_account;
        bool m_dataArrival;
        AddressLedger::Account* m_previousPayer;
        qint64 m_sentBefore;
        bool m_outermost;
    };
    AddressLedger::Account* payer() const { return m_payer; }

    // Runs a window command in its turn (SlotArray::runInTurn); `control` is
    // what was clicked for it.
    void runInTurn(const QObject* control, std::function<void()> command);
    // At the end of an outermost yield: the commands waiting run once the
    // handler suspended there has returned to the loop.
    void postWaitingCommands();

private:
    void runWaitingCommands();

    Clock m_clock;
    AddressLedger::Account* m_payer = nullptr;
    // The outermost handler's address, and what it had sent when it started.
    AddressLedger::Account* m_outerPayer = nullptr;
    qint64 m_outerSentBefore = 0;
    int m_yieldDepth = 0;
    int m_handlersRunning = 0;
    std::chrono::microseconds m_socketCheckInterval = defaultSocketCheckInterval;
    std::chrono::microseconds m_windowPassInterval = defaultWindowPassInterval;
    // Reading the clock costs more than the rest of a yield, so only every
    // few yields do; the intervals are far longer than a few messages take
    // (a yield follows a message, or one client's whole roster).
    int m_yieldsPerClockRead = 8;
    int m_yieldsUnclocked = 0;
    std::chrono::steady_clock::time_point m_socketsChecked;
    std::chrono::steady_clock::time_point m_windowPassRun;
    // The window's commands in the order clicked, each control's at most
    // once, so there are never more than the window has controls.
    struct WaitingCommand {
        const QObject* control;
        std::function<void()> run;
    };
    std::deque<WaitingCommand> m_waitingCommands;
    bool m_waitingCommandsPosted = false;
    bool m_commandRunning = false;
};
