#include "page_writer.h"

#include <QPainter>

PageWriter::PageWriter(QPainter& painter, const QRect& page, std::function<void()> newPage)
    : m_painter(painter)
    , m_page(page)
    , m_newPage(std::move(newPage))
    , m_fitting(QFontMetricsF(painter.font(), painter.device()))
{
}

void PageWriter::writeLine(QByteArrayView line)
{
    const QFontMetrics metrics = m_painter.fontMetrics();
    if (m_y + metrics.height() > m_page.height()) {
        m_newPage();
        m_y = 0;
    }
    const QString shown = metrics.elidedText(
        m_fitting.prefix(line, m_page.width()), Qt::ElideRight, m_page.width());
    m_painter.drawText(0, m_y + metrics.ascent(), shown);
    m_y += metrics.lineSpacing();
}
