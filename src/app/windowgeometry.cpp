#include "app/windowgeometry.h"

#include <QGuiApplication>
#include <QScreen>

namespace {
constexpr int kWidthMargin = 40;
constexpr int kHeightMargin = 60;
constexpr int kMinWidth = 480;
constexpr int kMaxWidth = 580;
constexpr int kMinHeight = 430;
constexpr int kMaxHeight = 640;
constexpr int kMinimumWidthCap = 540;
constexpr int kMinimumHeightCap = 480;
} // namespace

ScreenAreas systemScreenAreas()
{
    ScreenAreas areas;
    if (const QScreen *primary = QGuiApplication::primaryScreen())
        areas.primaryAvailable = primary->availableGeometry();
    const auto screens = QGuiApplication::screens();
    for (const QScreen *screen : screens)
        areas.available.append(screen->availableGeometry());
    return areas;
}

WindowPlacement defaultWindowPlacement(const QRect &available)
{
    const QRect area =
        available.isValid() ? available : QRect(0, 0, kFallbackScreenWidth, kFallbackScreenHeight);
    const int width = qBound(kMinWidth, area.width() - kWidthMargin, kMaxWidth);
    const int height = qBound(kMinHeight, area.height() - kHeightMargin, kMaxHeight);

    // 64-bit so that areas near the ends of the int range cannot overflow.
    const qint64 left = area.left();
    const qint64 top = area.top();
    const qint64 right = left + area.width() - 1;
    const qint64 bottom = top + area.height() - 1;
    const qint64 cx = (left + right) / 2;
    const qint64 cy = (top + bottom) / 2;
    const int x = int(cx - (width - 1) / 2);
    const int y = int(cy - (height - 1) / 2);

    return {QRect(x, y, width, height),
            QSize(qMin(width, kMinimumWidthCap), qMin(height, kMinimumHeightCap))};
}

bool plausibleWindowSize(const QSize &size, const QSize &defaultSize, const QList<QRect> &screens)
{
    QRect desktop;
    for (const QRect &screen : screens)
        desktop = desktop.united(screen);
    const QSize limit = desktop.size().expandedTo(defaultSize) * kMaxWindowToDesktopRatio;
    return size.width() <= limit.width() && size.height() <= limit.height();
}

bool showsEnoughOnScreens(const QRect &frame, const QList<QRect> &screens)
{
    for (const QRect &screen : screens) {
        const QRect visible = screen.intersected(frame);
        if (visible.width() >= kMinVisibleWidth && visible.height() >= kMinVisibleHeight)
            return true;
    }
    return false;
}
