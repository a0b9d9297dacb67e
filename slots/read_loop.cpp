#include "read_loop.h"

#include <array>

namespace {

constexpr int readyEventsPerPass = 64;
constexpr qsizetype readChunk = 64 * 1024;

} // namespace

ReadLoop::ReadLoop(SlotArray& events, EpollWatches& watches, SlotTable& table,
    AddressLedger& ledger, HandlerGate& gate, Listener& listener, GreetingQueue& greetings,
    FairShare& fairShare, TurnWriter& output)
    : m_events(events)
    , m_watches(watches)
    , m_table(table)
    , m_ledger(ledger)
    , m_gate(gate)
    , m_listener(listener)
    , m_greetings(greetings)
    , m_fairShare(fairShare)
    , m_output(output)
    , m_readBuffer(readChunk, Qt::Uninitialized)
{
    m_turnPause.setSingleShot(true);
    m_turnPause.setTimerType(Qt::PreciseTimer);
    connect(&m_turnPause, &QTimer::timeout, this, &ReadLoop::updateReading);
    connect(&m_reading, &QSocketNotifier::activated, this, &ReadLoop::runReadySockets);
    // Posted, so that a send that crosses the ceiling does not call back into
    // the turn that ran its handler; until then, each pass asks the writer.
    connect(&m_output, &TurnWriter::ceilingCrossed, this, &ReadLoop::updateReading,
        Qt::QueuedConnection);
    connect(&m_fairShare, &FairShare::departuresDue, this, &ReadLoop::raiseDueDepartures,
        Qt::QueuedConnection);
}

// A costly handler run from here may yield and so run this again, nested;
// the outer pass then finds some of its events already handled, which every
// step below notices by itself (nothing to accept, nothing to read, slot
// already gone). The loop's own pass is a turn, whose end writes the output.
void ReadLoop::runReadySockets()
{
    if (readingPaused() || !m_gate.mayRaiseNow(m_table.openCount()))
        return;
    if (m_gate.yieldDepth() > 0)
        return passReadySockets();
    const qint64 raisedBefore = m_raised;
    m_output.beginLoopTurn();
    readHeldBack();
    raiseDueDepartures();
    passReadySockets();
    const TurnWriter::TurnTimes turn = m_output.endLoopTurn();
    m_output.setBehind(turn.whole >= behindTurn && inputWaits());
    if (m_output.isBehind())
        pauseAfterWrites(turn.writing);
    // What its handlers held back for the loop is served at the next turn,
    // not at the next tick; a turn that raised nothing posts none.
    if (m_raised != raisedBefore)
        postTurnIfWaiting();
}

void ReadLoop::checkBehind()
{
    if (!m_output.isBehind() && m_output.loopTurnTime() >= behindTurn)
        m_output.setBehind(inputWaits());
}

// The connections held back from inside handlers are read first, each in
// turn, so that the handlers run find the others still held back rather
// than holding them back again.
void ReadLoop::readHeldBack()
{
    for (const int index : m_fairShare.takeHeldBack()) {
        if (m_fairShare.resumeHeldBack(index))
            receive(index, false);
    }
}

void ReadLoop::raiseDueDepartures()
{
    for (const auto& [index, account] : m_fairShare.takeDueDepartures()) {
        raiseFor(
            SlotArrayProbe::Work::PeerClosed, *account, [&] { emit m_events.peerClosed(index); });
        m_ledger.release(*account, AddressLedger::Clock::now());
    }
}

// Past the ceiling nothing more is read, so nothing more is sent but what
// the handler running now sends: what clients that read take brings it
// back under, and those that do not are cut off as they stall.
void ReadLoop::updateReading()
{
    const bool paused = readingPaused();
    const bool resumed = !paused && !m_reading.isEnabled();
    m_reading.setEnabled(!paused);
    if (resumed)
        postTurnIfWaiting();
}

// In a busy room, the turn's writes are most of its time. When they took a
// millisecond or more and more has arrived meanwhile, the loop pauses as long
// (up to maxTurnPause) before it reads again, so that what arrives is handled
// in one turn and shares its writes, several lines a write instead of one:
// the loop then spends at most half its time writing. Where the writes are
// quick (few clients) or nothing arrives during them (a quiet room), nothing
// waits. The window's events run during the pause. Called only once the
// loop is behind, so more input is known to wait.
void ReadLoop::pauseAfterWrites(std::chrono::steady_clock::duration writing)
{
    const auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::min<std::chrono::steady_clock::duration>(writing, maxTurnPause));
    if (pause.count() == 0)
        return;
    m_turnPause.start(pause);
    updateReading();
}

void ReadLoop::passReadySockets()
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

void ReadLoop::postTurnIfWaiting()
{
    if (!m_turnPosted && m_fairShare.waitsForTheLoop()) {
        m_turnPosted = true;
        QMetaObject::invokeMethod(this, &ReadLoop::runPostedTurn, Qt::QueuedConnection);
    }
}

// One that finds reading paused is posted again when reading goes on; one
// that comes inside a yield leaves what waits to the end of the turn under
// way, or to the fair share's tick.
void ReadLoop::runPostedTurn()
{
    m_turnPosted = false;
    if (m_gate.yieldDepth() == 0)
        runReadySockets();
}

// Reads what the address's budget allows, and raises what was read, or the
// departure it ended with.
void ReadLoop::receive(int index, bool peerClosing)
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
            emit m_events.dataArrival(index, read->received);
        if (peerGone) {
            m_fairShare.forget(index);
            emit m_events.peerClosed(index);
        }
    });
}
