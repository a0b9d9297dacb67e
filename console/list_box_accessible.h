#pragma once

#include <QAccessibleWidget>

#include <map>

class ListBox;
class ListRows;

// What assistive technology sees of a ListBox: a list whose children are its
// rows, with the selected row selected and, while the box has the focus,
// focused; as Qt's own list views show themselves. A row is selected through
// the table interface or the row's action, as a click selects it.
//
// Rows are described on request only: an interface is made for a row that is
// asked for and kept until its row moves, and a row's text is a bounded
// prefix, so that a list of a million rows, or a row of a megabyte, costs
// what is asked of it.
class ListBoxAccessible final : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    // Characters of a row told: more than anyone listens to in one go.
    static constexpr qsizetype rowTextLength = 1024;

    explicit ListBoxAccessible(ListBox* box);
    ~ListBoxAccessible() override;
    // The factory that Qt asks for an interface for each object.
    static QAccessibleInterface* create(const QString& className, QObject* object);

    ListBox* box() const;
    ListRows& rows() const;

    void* interface_cast(QAccessible::InterfaceType type) override;
    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* childAt(int x, int y) const override;
    QAccessibleInterface* focusChild() const override;

    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override;
    int selectedCellCount() const override { return selectedRowCount(); }
    QList<QAccessibleInterface*> selectedCells() const override;
    QString columnDescription(int) const override { return {}; }
    QString rowDescription(int) const override { return {}; }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override;
    int columnCount() const override { return 1; }
    int rowCount() const override { return childCount(); }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override;
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override;
    bool selectRow(int row) override;
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override;
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent* event) override;

private:
    void forgetRowsFrom(int first);

    mutable std::map<int, QAccessible::Id> m_rows;
};

// One row of a list box, as its list tells it.
class ListRowAccessible final : public QAccessibleInterface,
                                public QAccessibleTableCellInterface,
                                public QAccessibleActionInterface {
public:
    ListRowAccessible(ListBoxAccessible& list, int row);

    bool isValid() const override;
    QObject* object() const override { return nullptr; }
    QAccessibleInterface* parent() const override { return &m_list; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override;
    void setText(QAccessible::Text, const QString&) override { }
    QRect rect() const override;
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override;
    void* interface_cast(QAccessible::InterfaceType type) override;

    bool isSelected() const override;
    QList<QAccessibleInterface*> columnHeaderCells() const override { return {}; }
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return 0; }
    int rowIndex() const override { return m_row; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return &m_list; }

    QStringList actionNames() const override;
    void doAction(const QString& actionName) override;
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    ListBoxAccessible& m_list;
    int m_row;
};
