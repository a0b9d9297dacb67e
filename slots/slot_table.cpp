#include "slot_table.h"

bool SlotTable::create(int index)
{
    if (index <= m_lastCreated)
        return false;
    m_lastCreated = index;
    return true;
}

ClientConnection* SlotTable::find(int index)
{
    const auto entry = m_open.find(index);
    return entry == m_open.end() ? nullptr : &entry->second;
}

const ClientConnection* SlotTable::find(int index) const
{
    const auto entry = m_open.find(index);
    return entry == m_open.end() ? nullptr : &entry->second;
}

void SlotTable::erase(int index)
{
    m_open.erase(index);
}

// Entries that are not connected are those whose peer has just gone while
// their last message is still being handled, or whose write has failed and
// that are read to their end: a few at most.
int SlotTable::nextConnected(int after) const
{
    for (auto entry = m_open.upper_bound(after); entry != m_open.end(); ++entry) {
        if (entry->second.state() == SlotArray::sckConnected)
            return entry->first;
    }
    return 0;
}
