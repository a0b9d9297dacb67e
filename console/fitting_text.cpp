#include "fitting_text.h"

#include <algorithm>
#include <cmath>

FittingText::FittingText(const QFontMetricsF& metrics)
    : m_narrowest(metrics.maxWidth())
{
    // Latin-1's printable characters; control characters and the soft hyphen
    // take no room of their own.
    for (int c = 0x20; c <= 0xff; ++c) {
        if ((c >= 0x7f && c <= 0x9f) || c == 0xad)
            continue;
        const qreal advance = metrics.horizontalAdvance(QChar(c));
        if (advance > 0)
            m_narrowest = std::min(m_narrowest, advance);
    }
    m_narrowest = std::max<qreal>(m_narrowest, 1);
}

qsizetype FittingText::fits(qreal width) const
{
    return qsizetype(std::ceil(std::max<qreal>(width, 0) / m_narrowest)) + 1;
}

QString FittingText::prefix(QByteArrayView row, qreal width) const
{
    return QString::fromLatin1(row.first(std::min(row.size(), fits(width))));
}
