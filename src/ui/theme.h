#pragma once

#include <QList>
#include <QPair>
#include <QString>

// The single palette, the two font stacks and the style-sheet templates built from them.
// No widgets, no I/O.
namespace Theme {

// Colours that widgets paint directly; they repeat palette values.
inline constexpr char kAccent[] = "#2563eb";
inline constexpr char kDialogBorder[] = "#d8e0ea";
inline constexpr char kSeparator[] = "#eef2f7";
inline constexpr char kTextSub[] = "#5b6b80";
inline constexpr char kDisabledText[] = "#94a3b8";
inline constexpr char kTextMain[] = "#0f172a";
inline constexpr char kDanger[] = "#dc2626";
inline constexpr char kCardBg[] = "#ffffff";
// Not in the palette.
inline constexpr char kLedAmber[] = "#f59e0b";
inline constexpr char kLedGreen[] = "#22c55e";
// A passed unit's panel on the station, white text on it (the LED green is too light for that).
inline constexpr char kPassGreen[] = "#15803d";

QString uiFontStack();
QString monoFontStack();
// The 48 (placeholder, colour) pairs in their fixed order.
const QList<QPair<QString, QString>> &palette();

// Replaces every palette placeholder, in the palette's order.
QString fillPalette(QString sheet);

QString windowStyleSheetTemplate();
QString confirmStyleSheetTemplate();
// Templates with fonts and palette filled in.
QString windowStyleSheet();
QString confirmStyleSheet();

} // namespace Theme
