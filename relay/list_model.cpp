#include "list_model.h"

#include <algorithm>

void ListModel::AddItem(const QByteArray& text)
{
    const int row = ListCount();
    beginInsertRows({}, row, row);
    m_rows.append(Row { text, 0 });
    endInsertRows();
    m_newIndex = row;
}

void ListModel::RemoveItem(int row)
{
    if (!contains(row))
        return;
    beginRemoveRows({}, row, row);
    m_rows.removeAt(row);
    endRemoveRows();
    if (m_newIndex >= ListCount())
        m_newIndex = ListCount() - 1;
    if (row == ListIndex())
        setListIndex(-1);
    else if (row < ListIndex())
        setListIndex(ListIndex() - 1);
}

void ListModel::Clear()
{
    beginResetModel();
    m_rows.clear();
    endResetModel();
    m_newIndex = -1;
    setListIndex(-1);
}

QByteArray ListModel::List(int row) const
{
    return contains(row) ? m_rows.at(row).text : QByteArray();
}

QByteArray ListModel::ListPrefix(int row, qsizetype maxBytes) const
{
    const QByteArray text = List(row);
    return text.first(std::min(maxBytes, text.size()));
}

void ListModel::setList(int row, const QByteArray& text)
{
    if (!contains(row))
        return;
    m_rows[row].text = text;
    const QModelIndex changed = index(row);
    emit dataChanged(changed, changed, { Qt::DisplayRole });
}

qint32 ListModel::ItemData(int row) const
{
    return contains(row) ? m_rows.at(row).itemData : 0;
}

void ListModel::setRowItemData(int row, qint32 value)
{
    if (!contains(row))
        return;
    m_rows[row].itemData = value;
    const QModelIndex changed = index(row);
    emit dataChanged(changed, changed, { ItemDataRole });
}

QVariant ListModel::data(const QModelIndex& index, int role) const
{
    if (role == ItemDataRole)
        return contains(index.row()) ? QVariant(ItemData(index.row())) : QVariant();
    return ListRows::data(index, role);
}
