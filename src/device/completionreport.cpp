#include "device/completionreport.h"

#include <QRegularExpression>
#include <QString>

namespace CompletionReport {

bool isFinal(const QByteArray &text)
{
    return text.contains("Jump To App");
}

bool hasCompletionLine(const QByteArray &text)
{
    return text.contains("Programming Completed Successfully!");
}

void appendBounded(QByteArray &collected, const QByteArray &more)
{
    const qsizetype room = kTextCap - collected.size();
    if (room > 0)
        collected.append(more.left(room));
}

Reading read(const QByteArray &text, int declaredSize)
{
    Reading reading;
    if (!hasCompletionLine(text))
        return reading;
    reading.verdict = Verdict::Confirmed;

    static const QRegularExpression sizeLine(QStringLiteral("Size:\\s*(\\d+)\\s*Bytes"));
    const QRegularExpressionMatch match = sizeLine.match(QString::fromLatin1(text));
    if (!match.hasMatch())
        return reading;
    bool fits = false;
    const int reported = match.captured(1).toInt(&fits);
    if (!fits || reported <= 0)
        return reading;
    reading.reportedSize = reported;
    reading.verdict = reported == declaredSize ? Verdict::SizeConfirmed : Verdict::SizeMismatch;
    return reading;
}

} // namespace CompletionReport
