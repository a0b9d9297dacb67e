#include "turn_writer.h"

#include <QSocketNotifier>

#include <algorithm>

TurnWriter::TurnWriter(SlotTable& table, EpollWatches& watches, QSocketNotifier& reading)
    : m_table(table)
    , m_watches(watches)
    , m_reading(reading)
{
    m_turnPause.setSingleShot(true);
    m_turnPause.setTimerType(Qt::PreciseTimer);
    connect(&m_turnPause, &QTimer::timeout, &m_reading, [this] { m_reading.setEnabled(true); });
}

Failure TurnWriter::send(int index, ClientConnection& connection, QByteArrayView bytes)
{
    connection.queue(bytes);
    if (connection.watchingOutput())
        return {};
    if (connection.unsent() < coalescedWrite) {
        writeWhenTurnEnds(index, connection);
        return {};
    }
    return connection.write();
}

void TurnWriter::writeWhenTurnEnds(int index, ClientConnection& connection)
{
    if (connection.writeDue)
        return;
    connection.writeDue = true;
    m_writesDue.push_back(index);
    if (!m_endOfTurnPosted && !m_inLoopPass) {
        m_endOfTurnPosted = true;
        QMetaObject::invokeMethod(this, &TurnWriter::endTurn, Qt::QueuedConnection);
    }
}

void TurnWriter::endTurn()
{
    m_endOfTurnPosted = false;
    // Writing queues nothing new, and the list keeps its room for the next turn.
    for (const int index : m_writesDue) {
        ClientConnection* c = m_table.find(index);
        if (!c)
            continue;
        c->writeDue = false;
        // One that fails is left closing, to be read to its end.
        if (c->state == SlotArray::sckConnected && !c->watchingOutput())
            (void)c->write();
    }
    m_writesDue.clear();
}

// In a busy room, the turn's writes are most of its time. When they took a
// millisecond or more and more has arrived meanwhile, the loop pauses as long
// (up to maxTurnPause) before it reads again, so that what arrives is handled
// in one turn and shares its writes, several lines a write instead of one:
// the loop then spends at most half its time writing. Where the writes are
// quick (few clients) or nothing arrives during them (a quiet room), nothing
// waits. The window's events run during the pause.
void TurnWriter::pauseAfterWrites(std::chrono::steady_clock::duration writing)
{
    const auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::min<std::chrono::steady_clock::duration>(writing, maxTurnPause));
    if (pause.count() == 0 || !m_watches.hasReady())
        return;
    m_reading.setEnabled(false);
    m_turnPause.start(pause);
}

// Those holding most are the clients that do not read: the ceiling is far
// above what the clients that read leave queued.
std::vector<int> TurnWriter::cutsOverCaps(const ClientConnection& connection, int index) const
{
    std::vector<int> cut;
    qsizetype total = m_queuedOutput;
    if (connection.unsent() > m_outputCap) {
        cut.push_back(index);
        total -= connection.unsent();
    }
    if (total <= m_outputCeiling)
        return cut;
    const bool indexCut = !cut.empty();
    std::vector<std::pair<qsizetype, int>> queues;
    for (const auto& [other, c] : m_table) {
        if (c.unsent() > 0 && (other != index || !indexCut))
            queues.emplace_back(c.unsent(), other);
    }
    std::ranges::sort(queues, std::greater());
    for (const auto& [size, other] : queues) {
        if (total <= m_outputCeiling)
            break;
        cut.push_back(other);
        total -= size;
    }
    return cut;
}
