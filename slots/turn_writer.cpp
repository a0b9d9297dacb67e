#include "turn_writer.h"

#include <algorithm>
#include <array>

namespace {

// How often all output over the ceiling is looked at again, for clients
// that have stopped making progress meanwhile.
constexpr std::chrono::milliseconds ceilingRecheckInterval { 250 };

} // namespace

TurnWriter::TurnWriter(SlotTable& table, EpollWatches& outputWatches)
    : m_table(table)
    , m_outputWatches(outputWatches)
{
    m_ceilingRecheck.setInterval(ceilingRecheckInterval);
    connect(&m_ceilingRecheck, &QTimer::timeout, this, &TurnWriter::ceilingRecheckDue);
}

Failure TurnWriter::send(int index, ClientConnection& connection, QByteArrayView bytes)
{
    const bool apart = writesApart(connection);
    connection.queue(bytes);
    if (connection.watchingOutput())
        return {};
    if (!apart && connection.unsent() < coalescedWrite) {
        writeWhenTurnEnds(index, connection);
        return {};
    }
    return connection.write(m_clock());
}

Failure TurnWriter::sendRoster(
    int index, ClientConnection& connection, const RosterBroadcast& roster)
{
    if (writesApart(connection)) {
        Failure failure = send(index, connection, roster.start);
        if (!failure)
            failure = send(index, connection, roster.event);
        for (qsizetype j = 0; !failure && j < roster.rows->rows.size(); ++j)
            failure = send(index, connection, roster.rows->rows.at(j));
        return failure;
    }
    connection.queueRoster(roster);
    if (!connection.watchingOutput())
        writeWhenTurnEnds(index, connection);
    return {};
}

std::vector<int> TurnWriter::cutsOverCaps(const ClientConnection& connection, int index)
{
    const bool overCap = connection.unsent() > m_outputCap;
    if (!overCap && m_queuedOutput <= m_outputCeiling)
        return {};
    const TimePoint now = m_clock();
    std::vector<int> cut;
    qsizetype total = m_queuedOutput;
    if (overCap && makesNoProgress(connection, now)) {
        cut.push_back(index);
        total -= connection.unsent();
    }
    // Over the ceiling, a relay to many clients that read would look again
    // at every message; what it finds changes only as time passes.
    if (total > m_outputCeiling && now - m_ceilingChecked >= ceilingRecheckInterval)
        cut = cutsOverCeiling(total, std::move(cut), now);
    return cut;
}

std::vector<int> TurnWriter::cutsOverCeiling(qsizetype total, std::vector<int> cut, TimePoint now)
{
    m_ceilingChecked = now;
    std::vector<std::pair<qsizetype, int>> candidates;
    for (const auto& [other, c] : m_table) {
        if (makesNoProgress(c, now) && std::ranges::find(cut, other) == cut.end())
            candidates.emplace_back(c.unsent(), other);
    }
    std::ranges::sort(candidates, std::greater());
    for (const auto& [size, other] : candidates) {
        if (total <= m_outputCeiling)
            break;
        cut.push_back(other);
        total -= size;
    }
    return cut;
}

void TurnWriter::writeReady()
{
    std::array<epoll_event, 64> buffer;
    const std::span<epoll_event> ready = m_outputWatches.ready(buffer);
    if (ready.empty())
        return;
    const TimePoint now = m_clock();
    for (const epoll_event& event : ready) {
        ClientConnection* c = m_table.find(int(event.data.u64));
        if (!c)
            continue;
        // One that fails is left closing, to be read to its end.
        if (c->state() == SlotArray::sckConnected && c->watchingOutput())
            (void)c->write(now);
        else
            (void)c->updateWatch(); // it waits for output no more
    }
    watchCeiling();
}

void TurnWriter::writeWhenTurnEnds(int index, ClientConnection& connection)
{
    if (!connection.markWriteDue())
        return;
    m_writesDue.push_back(index);
    if (!m_endOfTurnPosted && !m_inLoopPass) {
        m_endOfTurnPosted = true;
        QMetaObject::invokeMethod(this, &TurnWriter::endTurn, Qt::QueuedConnection);
    }
}

TurnWriter::TurnTimes TurnWriter::endLoopTurn()
{
    m_inLoopPass = false;
    const TimePoint writing = m_clock();
    endTurn();
    const TimePoint end = m_clock();
    return { end - m_turnStart, end - writing };
}

void TurnWriter::endTurn()
{
    m_endOfTurnPosted = false;
    if (m_writesDue.empty())
        return;
    const TimePoint now = m_clock();
    // Writing queues nothing new, and the list keeps its room for the next turn.
    for (const int index : m_writesDue) {
        ClientConnection* c = m_table.find(index);
        if (!c)
            continue;
        c->clearWriteDue();
        // One that fails is left closing, to be read to its end.
        if (c->state() == SlotArray::sckConnected && !c->watchingOutput())
            (void)c->write(now);
    }
    m_writesDue.clear();
    watchCeiling();
}

// Past the ceiling nothing more is read, so nothing more is sent but what
// the handler running now sends: what clients that read take brings it
// back under, and those that do not are cut off as they stall.
void TurnWriter::watchCeiling()
{
    if (overCeiling() != m_wasOverCeiling) {
        m_wasOverCeiling = overCeiling();
        emit ceilingCrossed();
    }
    if (!overCeiling())
        m_ceilingRecheck.stop();
    else if (!m_ceilingRecheck.isActive())
        m_ceilingRecheck.start();
}

std::vector<int> TurnWriter::cutsOverCeiling()
{
    return overCeiling() ? cutsOverCeiling(m_queuedOutput, {}, m_clock()) : std::vector<int>();
}
