#include "console/logentry.h"

#include "ui/states.h"

#include <algorithm>

namespace LogPanel {

QString levelColor(int level)
{
    switch (level) {
    case Log::Command:
        return QStringLiteral("#93c5fd");
    case Log::Response:
    case Log::Success:
        return QStringLiteral("#86efac");
    case Log::Error:
        return QStringLiteral("#fca5a5");
    case Log::Warning:
        return QStringLiteral("#fdba74");
    case Log::Info:
    default:
        return QStringLiteral("#cbd5e1");
    }
}

bool levelIsBold(int level)
{
    return level == Log::Error;
}

QString escapeMessage(const QString &message)
{
    QString text = message;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text = text.toHtmlEscaped();
    text.replace(QLatin1Char('\n'), QLatin1String("<br>"));
    return text;
}

QString entryHtml(const QString &time, const QString &message, int level)
{
    static const QString entryTemplate =
        QStringLiteral("<span style=\"color:%1\">[%2]</span>&nbsp;"
                       "<span style=\"color:%3;%4white-space:pre-wrap;\">%5</span>");
    const QString weight = levelIsBold(level) ? QStringLiteral("font-weight:bold;") : QString();
    // The multi-argument arg() substitutes in a single pass, so placeholders that appear in the
    // message itself are never expanded.
    return entryTemplate.arg(QLatin1String(kTimeColor), time.toHtmlEscaped(), levelColor(level),
                             weight, escapeMessage(message));
}

QByteArray logFileBytes(const QString &plainText)
{
    QString text = plainText;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return QByteArrayLiteral("\xEF\xBB\xBF") + text.toUtf8();
}

QSize toastSize(int textWidth)
{
    return QSize(std::min(std::max(textWidth, 0), kToastMaxTextWidth) + kToastPadding,
                 kToastHeight);
}

} // namespace LogPanel
