#pragma once

#include <QByteArrayView>
#include <QFontMetricsF>
#include <QString>

// The part of a Latin-1 row that can show in a given width: enough
// characters to fill it in the narrowest character of the font, and never
// more. Drawing, measuring or eliding that part costs what the width holds,
// however long the row (a chat line may be a megabyte).
class FittingText {
public:
    explicit FittingText(const QFontMetricsF& metrics);

    // How many characters of a row can show in `width`, and one more, so
    // that a row cut there still overflows the width and is drawn or elided
    // as the whole row would be.
    qsizetype fits(qreal width) const;
    QString prefix(QByteArrayView row, qreal width) const;

private:
    qreal m_narrowest;
};
