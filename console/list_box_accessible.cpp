#include "list_box_accessible.h"

#include "list_box.h"
#include "list_rows.h"

ListBoxAccessible::ListBoxAccessible(ListBox* box)
    : QAccessibleWidget(box, QAccessible::List)
{
}

ListBoxAccessible::~ListBoxAccessible()
{
    forgetRowsFrom(0);
}

QAccessibleInterface* ListBoxAccessible::create(const QString& className, QObject* object)
{
    if (className == QLatin1String("ListBox") && object && object->isWidgetType())
        return new ListBoxAccessible(static_cast<ListBox*>(object));
    return nullptr;
}

ListBox* ListBoxAccessible::box() const
{
    return static_cast<ListBox*>(widget());
}

ListRows& ListBoxAccessible::rows() const
{
    return box()->model();
}

void* ListBoxAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TableInterface)
        return static_cast<QAccessibleTableInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

int ListBoxAccessible::childCount() const
{
    return rows().ListCount();
}

QAccessibleInterface* ListBoxAccessible::child(int index) const
{
    if (index < 0 || index >= childCount())
        return nullptr;
    auto [cached, made] = m_rows.try_emplace(index, 0);
    if (made) {
        auto* row = new ListRowAccessible(*const_cast<ListBoxAccessible*>(this), index);
        cached->second = QAccessible::registerAccessibleInterface(row);
    }
    return QAccessible::accessibleInterface(cached->second);
}

int ListBoxAccessible::indexOfChild(const QAccessibleInterface* child) const
{
    const auto* row = dynamic_cast<const ListRowAccessible*>(child);
    return row && row->parent() == this ? row->rowIndex() : -1;
}

QAccessibleInterface* ListBoxAccessible::childAt(int x, int y) const
{
    const QPoint point = box()->viewport()->mapFromGlobal(QPoint(x, y));
    return box()->viewport()->rect().contains(point) ? child(box()->rowAt(point.y())) : nullptr;
}

QAccessibleInterface* ListBoxAccessible::focusChild() const
{
    return box()->hasFocus() ? child(rows().ListIndex()) : nullptr;
}

QAccessibleInterface* ListBoxAccessible::cellAt(int row, int column) const
{
    return column == 0 ? child(row) : nullptr;
}

QList<QAccessibleInterface*> ListBoxAccessible::selectedCells() const
{
    QAccessibleInterface* selected = child(rows().ListIndex());
    return selected ? QList { selected } : QList<QAccessibleInterface*> {};
}

int ListBoxAccessible::selectedRowCount() const
{
    return rows().ListIndex() >= 0 ? 1 : 0;
}

QList<int> ListBoxAccessible::selectedRows() const
{
    return rows().ListIndex() >= 0 ? QList { rows().ListIndex() } : QList<int> {};
}

bool ListBoxAccessible::isRowSelected(int row) const
{
    return rows().Selected(row);
}

bool ListBoxAccessible::selectRow(int row)
{
    if (row < 0 || row >= childCount())
        return false;
    rows().setListIndex(row);
    return true;
}

bool ListBoxAccessible::unselectRow(int row)
{
    rows().setSelected(row, false);
    return !rows().Selected(row);
}

// Rows appended leave the others where they were; rows removed move those
// after them, whose interfaces then describe other rows and must go.
void ListBoxAccessible::modelChange(QAccessibleTableModelChangeEvent* event)
{
    switch (event->modelChangeType()) {
    case QAccessibleTableModelChangeEvent::RowsInserted:
    case QAccessibleTableModelChangeEvent::RowsRemoved:
        forgetRowsFrom(event->firstRow());
        break;
    case QAccessibleTableModelChangeEvent::ModelReset:
        forgetRowsFrom(0);
        break;
    default:
        break;
    }
}

void ListBoxAccessible::forgetRowsFrom(int first)
{
    for (auto row = m_rows.lower_bound(first); row != m_rows.end(); row = m_rows.erase(row))
        QAccessible::deleteAccessibleInterface(row->second);
}

ListRowAccessible::ListRowAccessible(ListBoxAccessible& list, int row)
    : m_list(list)
    , m_row(row)
{
}

bool ListRowAccessible::isValid() const
{
    return m_list.isValid() && m_row < m_list.childCount();
}

QString ListRowAccessible::text(QAccessible::Text t) const
{
    if (t != QAccessible::Name)
        return {};
    return QString::fromLatin1(m_list.rows().ListPrefix(m_row, ListBoxAccessible::rowTextLength));
}

QRect ListRowAccessible::rect() const
{
    const QWidget* viewport = m_list.box()->viewport();
    const QRect row = m_list.box()->rowRect(m_row);
    return QRect(viewport->mapToGlobal(row.topLeft()), row.size());
}

QAccessible::State ListRowAccessible::state() const
{
    QAccessible::State state;
    state.selectable = true;
    state.focusable = true;
    state.selected = isSelected();
    state.focused = state.selected && m_list.box()->hasFocus();
    state.invisible = !m_list.box()->viewport()->rect().intersects(m_list.box()->rowRect(m_row));
    return state;
}

void* ListRowAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TableCellInterface)
        return static_cast<QAccessibleTableCellInterface*>(this);
    if (type == QAccessible::ActionInterface)
        return static_cast<QAccessibleActionInterface*>(this);
    return nullptr;
}

bool ListRowAccessible::isSelected() const
{
    return m_list.isRowSelected(m_row);
}

QStringList ListRowAccessible::actionNames() const
{
    return { toggleAction() };
}

// Selects the row, as a click does, or the selection goes.
void ListRowAccessible::doAction(const QString& actionName)
{
    if (actionName != toggleAction())
        return;
    if (isSelected())
        m_list.unselectRow(m_row);
    else
        m_list.selectRow(m_row);
}
