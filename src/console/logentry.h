#pragma once

// Rules of the log panel: entry markup, level colours, the size limit, the saved file's bytes and
// the toast's size. The window's log members are thin adapters around these.

#include <QByteArray>
#include <QSize>
#include <QString>

#include <chrono>

namespace LogPanel {

// The document never keeps more paragraphs than this after an entry has been added.
inline constexpr int kMaxParagraphs = 5000;
// Toast: text elided to this width, padded, fixed height, shown for this long.
inline constexpr int kToastMaxTextWidth = 254;
inline constexpr int kToastPadding = 26;
inline constexpr int kToastHeight = 22;
inline constexpr std::chrono::milliseconds kToastDuration{1400};
// A burst of entries from the worker must not hold up the window's other events: this many are
// added at once per event-loop pass, the rest are queued and added for this long per pass.
inline constexpr int kEntriesAtOncePerPass = 32;
inline constexpr std::chrono::milliseconds kQueueSlice{8};
// Paragraph format of every entry.
inline constexpr qreal kEntryLineHeightPercent = 132.0;
inline constexpr qreal kEntryTopMargin = 2.0;

inline constexpr char kTimeColor[] = "#64748b";

// Text colour of a level (values of Dialog::LogLevel); unknown levels look like Info.
// No widgets, no I/O.
QString levelColor(int level);
// Only errors are bold. No widgets, no I/O.
bool levelIsBold(int level);

// Line ends unified, HTML-escaped, line breaks as <br>. No widgets, no I/O.
QString escapeMessage(const QString &message);

// Markup of one entry: time stamp and coloured message; "%" in the message stays literal.
// No widgets, no I/O.
QString entryHtml(const QString &time, const QString &message, int level);

// Bytes of a saved log: UTF-8 with byte-order mark, CR LF line ends. No widgets, no I/O.
QByteArray logFileBytes(const QString &plainText);

// Fixed size of the toast for a text of the given full width in pixels. No widgets, no I/O.
QSize toastSize(int textWidth);

} // namespace LogPanel
