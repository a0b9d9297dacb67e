#include "list_rows.h"

void ListRows::setListIndex(int row)
{
    if (!contains(row))
        row = -1;
    if (row == m_listIndex)
        return;
    m_listIndex = row;
    emit listIndexChanged(row);
}

void ListRows::setSelected(int row, bool selected)
{
    if (selected)
        setListIndex(row);
    else if (Selected(row))
        setListIndex(-1);
}

int ListRows::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ListCount();
}

QVariant ListRows::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || !contains(index.row()))
        return {};
    if (role == Qt::DisplayRole || role == Qt::EditRole)
        return QString::fromLatin1(List(index.row()));
    return {};
}
