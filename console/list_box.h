#pragma once

#include "fitting_text.h"

#include <QAbstractScrollArea>
#include <QTimer>

class ListRows;

// A list box over a ListRows: rows of one height, one selected row that
// follows the model's ListIndex both ways (clicks and keys set it; setting
// it selects the row and, at the next refresh, scrolls it into view).
//
// Only the visible rows are ever looked at, and of each only the part that
// fits its width, so appending to a list of a million rows costs what it
// costs with ten, and a row of a megabyte what a row of a hundred bytes does.
// Qt's item views do not: after each insert they lay out every row again.
// It describes itself to assistive technology (ListBoxAccessible) and tells
// it of each change, when one listens.
class ListBox final : public QAbstractScrollArea {
    Q_OBJECT

public:
    ListBox(ListRows& model, QWidget* parent);

    ListRows& model() const { return m_model; }
    // Where row `row` is drawn, in viewport coordinates, and the row drawn at
    // `y` (-1 where there is none).
    QRect rowRect(int row) const;
    int rowAt(int y) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    int rowHeight() const;
    void tellRowsChanged(int change, int first, int last);
    void tellListIndex(int row);
    void updateScrollRange();
    void scrollToRow(int row);
    void showListIndex(int row);
    void scheduleRefresh();
    void refresh();

    ListRows& m_model;
    FittingText m_fitting;
    QTimer m_refresh;
    // The selection has moved since the last refresh, which shows it.
    bool m_selectionMoved = false;
};
