#include "app/layoutmath.h"

#include <QFontMetrics>

#include <algorithm>
#include <cmath>

namespace {
// The LED never gets smaller than this icon size allows, and keeps a small margin inside it.
constexpr int kMinLedIconSize = 16;
constexpr int kLedInset = 4;
} // namespace

int ledSide(int smallIconSize)
{
    return std::max(smallIconSize, kMinLedIconSize) - kLedInset;
}

int ledPixmapSide(int side, double devicePixelRatio)
{
    return static_cast<int>(std::lround(side * devicePixelRatio));
}

QPoint toastPosition(QSize panelSize, QSize toastSize)
{
    return {(panelSize.width() - toastSize.width()) / 2, panelSize.height() - kToastBottomOffset};
}

QString elidedStatusText(const QFontMetrics &metrics, const QString &text, int width)
{
    if (width <= 0)
        return text;
    return metrics.elidedText(text, Qt::ElideRight, width);
}
