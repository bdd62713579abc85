#pragma once

// Small pieces of window geometry.

#include <QPoint>
#include <QSize>
#include <QString>

class QFontMetrics;

// Distance of the log toast's top edge above the log panel's bottom edge.
inline constexpr int kToastBottomOffset = 54;

// Logical side of the status LED for the style's small icon size. No widgets, no I/O.
int ledSide(int smallIconSize);

// Device pixels of the LED pixmap's side at a device pixel ratio. No widgets, no I/O.
int ledPixmapSide(int side, double devicePixelRatio);

// Top-left of the toast in the log panel's coordinates: centred, 54 px above the bottom.
// No widgets, no I/O.
QPoint toastPosition(QSize panelSize, QSize toastSize);

// The status text as it fits into width pixels: cut on the right with an ellipsis when it is
// wider, whole while the label has no width yet. No widgets, no I/O.
QString elidedStatusText(const QFontMetrics &metrics, const QString &text, int width);
