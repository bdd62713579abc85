#pragma once

// Rules of the command history: adding a sent command, the size cap, arrow-key browsing, the
// popup menu's entries and where that menu goes on the screen.

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

namespace CommandHistory {

inline constexpr int kMaxEntries = 20;
inline constexpr int kMenuEntries = 12;
inline constexpr int kMenuLabelChars = 40;

// Cuts the list to its newest kMaxEntries (the front). No widgets, no I/O.
QStringList capped(QStringList history);

// The command moves to the front; equal entries (case-sensitive) are dropped, the list is capped.
// No widgets, no I/O.
QStringList pushed(QStringList history, const QString &command);

enum class Direction { Older, Newer };

// One arrow-key step. The line being typed is the newest entry, below the history: draft is
// that line, kept when browsing starts. When changed, index is the new position (-1 = back on
// the draft) and text is what the command field shows. No widgets, no I/O.
struct BrowseStep
{
    bool changed = false;
    int index = -1;
    QString text;
};
BrowseStep browse(const QStringList &history, int index, Direction direction,
                  const QString &draft);

// Menu text of a command: the command itself, or its first kMenuLabelChars characters and "…".
// No widgets, no I/O.
QString menuLabel(const QString &command);

// One line of the history menu; the window supplies the fixed texts of the non-command kinds.
struct MenuItem
{
    enum Kind { Empty, Command, OlderHint, Separator, Clear };
    Kind kind = Empty;
    QString label;   // Command only
    QString command; // Command only: the whole command, also its tooltip
};
// The menu for a history (newest first). No widgets, no I/O.
QList<MenuItem> menuItems(const QStringList &history);

// Top-left corner of the menu: below the button when it fits on the screen, else above it, else
// against the bottom edge; never left of or beyond the screen's right edge.
// No widgets, no I/O.
QPoint menuPosition(const QPoint &wanted, int buttonTop, const QSize &menuSize,
                    const QRect &available);

} // namespace CommandHistory
