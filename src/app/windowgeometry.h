#pragma once

#include <QList>
#include <QRect>
#include <QSize>

#include <functional>

// The screens as the window sees them: the primary screen's available area (null when there is
// no primary screen) and the available area of every screen.
struct ScreenAreas
{
    QRect primaryAvailable;
    QList<QRect> available;
};

using ScreenProvider = std::function<ScreenAreas()>;

// The system's screens through QGuiApplication.
ScreenAreas systemScreenAreas();

// Where a fresh window goes and how small it may get.
struct WindowPlacement
{
    QRect geometry;
    QSize minimumSize;
};

// Area assumed when there is no primary screen (or it reports no area).
inline constexpr int kFallbackScreenWidth = 1280;
inline constexpr int kFallbackScreenHeight = 800;
// A window must show at least this much on some screen to count as visible.
inline constexpr int kMinVisibleWidth = 120;
inline constexpr int kMinVisibleHeight = 60;
// How many times the screens' extent a restored window may have.
inline constexpr int kMaxWindowToDesktopRatio = 2;

// Default size (available area minus 40 × 60, clamped to 480..580 × 430..640), minimum size
// (at most 540 × 480) and a position centred on the area. No widgets, no I/O.
WindowPlacement defaultWindowPlacement(const QRect &available);

// True when a restored size is believable: at most twice as wide and as high as all screens
// together (or as the default size where that is larger). A damaged store could otherwise ask for
// a window whose backing store exhausts memory. No widgets, no I/O.
bool plausibleWindowSize(const QSize &size, const QSize &defaultSize, const QList<QRect> &screens);

// True when some screen shows at least 120 × 60 px of the frame. No widgets, no I/O.
bool showsEnoughOnScreens(const QRect &frame, const QList<QRect> &screens);
