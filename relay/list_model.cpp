#include "list_model.h"

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
    if (row == m_listIndex)
        setListIndex(-1);
    else if (row < m_listIndex)
        setListIndex(m_listIndex - 1);
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

void ListModel::setItemData(int row, qint32 value)
{
    if (!contains(row))
        return;
    m_rows[row].itemData = value;
    const QModelIndex changed = index(row);
    emit dataChanged(changed, changed, { ItemDataRole });
}

void ListModel::setListIndex(int row)
{
    if (!contains(row))
        row = -1;
    if (row == m_listIndex)
        return;
    m_listIndex = row;
    emit listIndexChanged(row);
}

void ListModel::setSelected(int row, bool selected)
{
    if (selected)
        setListIndex(row);
    else if (Selected(row))
        setListIndex(-1);
}

int ListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ListCount();
}

QVariant ListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || !contains(index.row()))
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return QString::fromLatin1(m_rows.at(index.row()).text);
    case ItemDataRole:
        return m_rows.at(index.row()).itemData;
    default:
        return {};
    }
}
