#include "list_box.h"

#include "list_box_accessible.h"
#include "list_rows.h"

#include <QAccessible>

#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionFocusRect>

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

namespace {

constexpr int rowPadding = 2;
constexpr int textMargin = 3;
// How often a list that changes all the time is laid out and drawn again.
constexpr std::chrono::milliseconds refreshInterval { 16 };

} // namespace

ListBox::ListBox(ListRows& model, QWidget* parent)
    : QAbstractScrollArea(parent)
    , m_model(model)
    , m_fitting(QFontMetricsF(font()))
{
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setBackgroundRole(QPalette::Base);
    [[maybe_unused]] static const bool describesItself = [] {
        QAccessible::installFactory(&ListBoxAccessible::create);
        return true;
    }();
    using Change = QAccessibleTableModelChangeEvent::ModelChangeType;
    m_refresh.setSingleShot(true);
    m_refresh.setInterval(refreshInterval);
    connect(&m_refresh, &QTimer::timeout, this, &ListBox::refresh);
    const auto rowsChanged = [this](Change change, int first, int last) {
        scheduleRefresh();
        tellRowsChanged(change, first, last);
    };
    connect(&model, &ListRows::rowsInserted, this,
        [rowsChanged](const QModelIndex&, int first, int last) {
            rowsChanged(Change::RowsInserted, first, last);
        });
    connect(&model, &ListRows::rowsRemoved, this,
        [rowsChanged](const QModelIndex&, int first, int last) {
            rowsChanged(Change::RowsRemoved, first, last);
        });
    connect(&model, &ListRows::modelReset, this,
        [rowsChanged] { rowsChanged(Change::ModelReset, -1, -1); });
    connect(&model, &ListRows::dataChanged, this,
        [this](const QModelIndex& first, const QModelIndex& last) {
            viewport()->update();
            tellRowsChanged(QAccessibleTableModelChangeEvent::DataChanged, first.row(), last.row());
        });
    connect(&model, &ListRows::listIndexChanged, this, &ListBox::showListIndex);
}

// Assistive technology hears of the rows that changed, and of nothing when
// none listens: an append then costs one test.
void ListBox::tellRowsChanged(int change, int first, int last)
{
    if (!QAccessible::isActive())
        return;
    QAccessibleTableModelChangeEvent event(
        this, QAccessibleTableModelChangeEvent::ModelChangeType(change));
    event.setFirstRow(first);
    event.setLastRow(last);
    QAccessible::updateAccessibility(&event);
}

void ListBox::tellListIndex(int row)
{
    if (!QAccessible::isActive() || row < 0)
        return;
    QAccessibleEvent selection(this, QAccessible::Selection);
    selection.setChild(row);
    QAccessible::updateAccessibility(&selection);
    if (hasFocus()) {
        QAccessibleEvent focus(this, QAccessible::Focus);
        focus.setChild(row);
        QAccessible::updateAccessibility(&focus);
    }
}

int ListBox::rowHeight() const
{
    return fontMetrics().height() + rowPadding;
}

QRect ListBox::rowRect(int row) const
{
    const int top = int(qint64(row) * rowHeight() - verticalScrollBar()->value());
    return { 0, top, viewport()->width(), rowHeight() };
}

int ListBox::rowAt(int y) const
{
    const qint64 row = (qint64(y) + verticalScrollBar()->value()) / rowHeight();
    return row < m_model.ListCount() ? int(row) : -1;
}

void ListBox::updateScrollRange()
{
    const qint64 content = qint64(m_model.ListCount()) * rowHeight();
    const qint64 overflow = content - viewport()->height();
    verticalScrollBar()->setRange(
        0, int(std::clamp<qint64>(overflow, 0, std::numeric_limits<int>::max())));
    verticalScrollBar()->setPageStep(viewport()->height());
    verticalScrollBar()->setSingleStep(rowHeight());
}

void ListBox::scrollToRow(int row)
{
    const QRect rect = rowRect(row);
    QScrollBar* bar = verticalScrollBar();
    if (rect.top() < 0)
        bar->setValue(bar->value() + rect.top());
    else if (rect.bottom() >= viewport()->height())
        bar->setValue(bar->value() + rect.bottom() - viewport()->height() + 1);
}

void ListBox::showListIndex(int row)
{
    m_selectionMoved = true;
    scheduleRefresh();
    tellListIndex(row);
}

// A transcript gains a row with every chat line, and the scroll bar's every
// change of range costs Qt an event of its own: the layout and the picture
// follow the rows at most once a refresh interval, however many arrive.
void ListBox::scheduleRefresh()
{
    if (!m_refresh.isActive())
        m_refresh.start();
}

void ListBox::refresh()
{
    updateScrollRange();
    if (std::exchange(m_selectionMoved, false) && m_model.ListIndex() >= 0)
        scrollToRow(m_model.ListIndex());
    viewport()->update();
}

void ListBox::paintEvent(QPaintEvent* event)
{
    QPainter painter(viewport());
    const int first = std::max(0, rowAt(event->rect().top()));
    const int selected = m_model.ListIndex();
    for (int row = first; row < m_model.ListCount(); ++row) {
        const QRect rect = rowRect(row);
        if (rect.top() > event->rect().bottom())
            break;
        if (row == selected) {
            painter.fillRect(rect, palette().brush(QPalette::Highlight));
            painter.setPen(palette().color(QPalette::HighlightedText));
        } else {
            painter.setPen(palette().color(QPalette::Text));
        }
        const QRect textRect = rect.adjusted(textMargin, 0, -textMargin, 0);
        painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
            m_fitting.prefix(
                m_model.ListPrefix(row, m_fitting.fits(textRect.width())), textRect.width()));
        if (row == selected && hasFocus()) {
            QStyleOptionFocusRect focus;
            focus.initFrom(this);
            focus.rect = rect;
            focus.backgroundColor = palette().color(QPalette::Highlight);
            style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
        }
    }
}

void ListBox::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        const int row = rowAt(event->position().toPoint().y());
        if (row >= 0)
            m_model.setListIndex(row);
    }
    QAbstractScrollArea::mousePressEvent(event);
}

void ListBox::keyPressEvent(QKeyEvent* event)
{
    const int last = m_model.ListCount() - 1;
    const int current = m_model.ListIndex();
    const int page = std::max(1, viewport()->height() / rowHeight());
    int row = current;
    switch (event->key()) {
    case Qt::Key_Up:
        row = current - 1;
        break;
    case Qt::Key_Down:
        row = current + 1;
        break;
    case Qt::Key_PageUp:
        row = current - page;
        break;
    case Qt::Key_PageDown:
        row = current + page;
        break;
    case Qt::Key_Home:
        row = 0;
        break;
    case Qt::Key_End:
        row = last;
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    if (last >= 0)
        m_model.setListIndex(std::clamp(row, 0, last));
}

void ListBox::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollRange();
}

void ListBox::changeEvent(QEvent* event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        m_fitting = FittingText(QFontMetricsF(font()));
        updateScrollRange();
    }
}
