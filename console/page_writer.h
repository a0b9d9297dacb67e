#pragma once

#include "fitting_text.h"

#include <QByteArrayView>
#include <QRect>

#include <functional>

class QPainter;

// Writes lines down pages through a painter: one line per call, cut short
// with an ellipsis where it is wider than the page, and a new page (asked of
// the caller) when the page is full. A line costs what the page's width
// holds, however long it is.
class PageWriter {
public:
    PageWriter(QPainter& painter, const QRect& page, std::function<void()> newPage);

    void writeLine(QByteArrayView line);

private:
    QPainter& m_painter;
    QRect m_page;
    std::function<void()> m_newPage;
    FittingText m_fitting;
    int m_y = 0;
};
