#include "transcript_view.h"

#include "transcript_store.h"

#include <algorithm>
#include <limits>

TranscriptView::TranscriptView(TranscriptStore& store, QObject* parent)
    : ListRows(parent)
    , m_store(store)
    , m_start(store.first())
{
    connect(&m_store, &TranscriptStore::aboutToAppend, this, [this](qint64 row) {
        const auto shown = int(row - m_start);
        beginInsertRows({}, shown, shown);
    });
    connect(&m_store, &TranscriptStore::appended, this, &TranscriptView::endInsertRows);
    connect(&m_store, &TranscriptStore::dropped, this, &TranscriptView::dropBefore);
}

// The selection goes with its row, or moves up with it.
void TranscriptView::dropBefore(qint64 first)
{
    if (first <= m_start)
        return;
    const int gone = int(std::min<qint64>(first - m_start, ListCount()));
    const int selected = ListIndex();
    if (gone > 0)
        beginRemoveRows({}, 0, gone - 1);
    m_start = first;
    if (gone > 0)
        endRemoveRows();
    setListIndex(selected >= gone ? selected - gone : -1);
}

void TranscriptView::Clear()
{
    beginResetModel();
    m_start = m_store.count();
    endResetModel();
    setListIndex(-1);
}

int TranscriptView::ListCount() const
{
    return int(std::min<qint64>(m_store.count() - m_start, std::numeric_limits<int>::max()));
}

QByteArray TranscriptView::List(int row) const
{
    return contains(row) ? m_store.row(m_start + row).value_or(QByteArray()) : QByteArray();
}

QByteArray TranscriptView::ListPrefix(int row, qsizetype maxBytes) const
{
    return contains(row) ? m_store.row(m_start + row, maxBytes).value_or(QByteArray())
                         : QByteArray();
}
