#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QList>

// An ordered, unsorted list of text rows with per-row item data and one
// selected row: the list box that holds the roster, the transcripts and the
// port choices. Views show it as a model; the engine uses the list-box calls.
//
// Row text is Latin-1, one byte per character, as it came off the wire: a
// relayed line is held once, in its own bytes, and shared by both transcripts.
class ListModel final : public QAbstractListModel {
    Q_OBJECT

public:
    static constexpr int ItemDataRole = Qt::UserRole;

    using QAbstractListModel::QAbstractListModel;

    void AddItem(const QByteArray& text);
    void RemoveItem(int row);
    void Clear();

    int ListCount() const { return int(m_rows.size()); }
    // Reading a row that does not exist gives an empty text and item data 0.
    QByteArray List(int row) const;
    void setList(int row, const QByteArray& text);
    qint32 ItemData(int row) const;
    void setItemData(int row, qint32 value);
    using QAbstractListModel::setItemData;
    int NewIndex() const { return m_newIndex; }

    int ListIndex() const { return m_listIndex; }
    // Selects the row (or none, for -1); out-of-range rows select none.
    void setListIndex(int row);
    bool Selected(int row) const { return row >= 0 && row == m_listIndex; }
    void setSelected(int row, bool selected);

    int rowCount(const QModelIndex& parent = {}) const override;
    // A whole row as text: for views of short rows (the port box). The list
    // boxes read List() and draw only what fits.
    QVariant data(const QModelIndex& index, int role) const override;

signals:
    // Emitted only when the selection really moves, so views that mirror it
    // back cannot start an endless exchange.
    void listIndexChanged(int row);

private:
    struct Row {
        QByteArray text;
        qint32 itemData = 0;
    };

    bool contains(int row) const { return row >= 0 && row < ListCount(); }

    QList<Row> m_rows;
    int m_newIndex = -1;
    int m_listIndex = -1;
};
