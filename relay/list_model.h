#pragma once

#include "list_rows.h"

#include <QList>

// A list box's rows held in memory, with per-row item data: the roster and
// the port choices.
class ListModel final : public ListRows {
    Q_OBJECT

public:
    static constexpr int ItemDataRole = Qt::UserRole;

    using ListRows::ListRows;

    void AddItem(const QByteArray& text);
    void RemoveItem(int row);
    void Clear();

    int ListCount() const override { return int(m_rows.size()); }
    QByteArray List(int row) const override;
    QByteArray ListPrefix(int row, qsizetype maxBytes) const override;
    void setList(int row, const QByteArray& text);
    // 0 for a row that does not exist.
    qint32 ItemData(int row) const;
    void setRowItemData(int row, qint32 value);
    int NewIndex() const { return m_newIndex; }

    QVariant data(const QModelIndex& index, int role) const override;

private:
    struct Row {
        QByteArray text;
        qint32 itemData = 0;
    };

    QList<Row> m_rows;
    int m_newIndex = -1;
};
