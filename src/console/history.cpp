#include "console/history.h"

#include <algorithm>
#include <utility>

namespace CommandHistory {

QStringList capped(QStringList history)
{
    while (history.size() > kMaxEntries)
        history.removeLast();
    return history;
}

QStringList pushed(QStringList history, const QString &command)
{
    history.removeAll(command);
    history.prepend(command);
    return capped(std::move(history));
}

BrowseStep browse(const QStringList &history, int index, Direction direction,
                  const QString &draft)
{
    const int count = int(history.size());
    // A stale position (the history shrank under it) counts as the oldest entry.
    index = std::min(index, count - 1);
    BrowseStep step;
    step.index = index;
    if (direction == Direction::Older) {
        if (count == 0 || index >= count - 1)
            return step;
        step.index = index + 1;
    } else {
        if (index < 0)
            return step;
        step.index = index - 1;
    }
    step.changed = true;
    step.text = step.index >= 0 ? history.at(step.index) : draft;
    return step;
}

QString menuLabel(const QString &command)
{
    if (command.size() <= kMenuLabelChars)
        return command;
    int cut = kMenuLabelChars;
    // Never split a surrogate pair.
    if (command.at(cut - 1).isHighSurrogate())
        --cut;
    return command.left(cut) + QChar(0x2026);
}

QList<MenuItem> menuItems(const QStringList &history)
{
    QList<MenuItem> items;
    if (history.isEmpty()) {
        items.append({MenuItem::Empty, {}, {}});
        return items;
    }
    const int shown = std::min(int(history.size()), kMenuEntries);
    for (int i = 0; i < shown; ++i)
        items.append({MenuItem::Command, menuLabel(history.at(i)), history.at(i)});
    if (history.size() > kMenuEntries)
        items.append({MenuItem::OlderHint, {}, {}});
    items.append({MenuItem::Separator, {}, {}});
    items.append({MenuItem::Clear, {}, {}});
    return items;
}

QPoint menuPosition(const QPoint &wanted, int buttonTop, const QSize &menuSize,
                    const QRect &available)
{
    const int left = available.left();
    const int top = available.top();
    const int right = available.left() + available.width();  // exclusive
    const int bottom = available.top() + available.height(); // exclusive

    int y = wanted.y();
    if (y + menuSize.height() > bottom) {
        const int above = buttonTop - menuSize.height();
        // A menu taller than the screen keeps its top edge on the screen.
        y = above >= top ? above : std::max(top, bottom - menuSize.height());
    }
    const int x = std::max(left, std::min(wanted.x(), right - menuSize.width()));
    return QPoint(x, y);
}

} // namespace CommandHistory
