#pragma once

#include <QAbstractListModel>
#include <QByteArray>

// What a list box shows: an ordered list of Latin-1 text rows, one byte per
// character as it came off the wire, and one selected row. Views show it as
// a model; the engine uses the list-box calls.
class ListRows : public QAbstractListModel {
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;

    virtual int ListCount() const = 0;
    // Reading a row that does not exist gives an empty text.
    virtual QByteArray List(int row) const = 0;
    // At most the first `maxBytes` of the row: what a view needs of a row
    // that may be a megabyte long.
    virtual QByteArray ListPrefix(int row, qsizetype maxBytes) const = 0;

    int ListIndex() const { return m_listIndex; }
    // Selects the row (or none, for -1); out-of-range rows select none.
    void setListIndex(int row);
    bool Selected(int row) const { return row >= 0 && row == m_listIndex; }
    void setSelected(int row, bool selected);

    int rowCount(const QModelIndex& parent = {}) const override;
    // A whole row as text: for views of short rows (the port box). The list
    // boxes read ListPrefix() and draw only what fits.
    QVariant data(const QModelIndex& index, int role) const override;

signals:
    // Emitted only when the selection really moves, so views that mirror it
    // back cannot start an endless exchange.
    void listIndexChanged(int row);

protected:
    bool contains(int row) const { return row >= 0 && row < ListCount(); }

private:
    int m_listIndex = -1;
};
