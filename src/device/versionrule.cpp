#include "device/versionrule.h"

#include <QRegularExpression>

#include <algorithm>

namespace VersionRule {

QByteArray firmwareUpdateCommand()
{
    return QByteArrayLiteral("*FWUPD\r\n");
}
QByteArray legacyStartCommand()
{
    return QByteArray::fromHex("5D0C2F7A19E4");
}

QByteArray startCommandFor(const QString &identification)
{
    // "$" also matches before a final line feed, as the device's reply may keep one.
    static const QRegularExpression version(
        QStringLiteral("(\\d+)\\.(\\d+)\\.(\\d+)(?:\\.(\\d+))?(?=$|,)"));
    const QRegularExpressionMatch match = version.match(identification);
    if (!match.hasMatch())
        return legacyStartCommand();

    // A number that does not fit a 32-bit int reads as 0 (toInt's failure value).
    const bool fourNumbers = match.capturedLength(4) > 0;
    if (fourNumbers)
        return match.captured(2).toInt() >= 1 ? firmwareUpdateCommand() : legacyStartCommand();
    return match.captured(3).toInt() >= 38 ? firmwareUpdateCommand() : legacyStartCommand();
}

bool isVersionText(const QString &text)
{
    static const QRegularExpression version(
        QStringLiteral("^\\d{1,9}\\.\\d{1,9}\\.\\d{1,9}(\\.\\d{1,9})?$"));
    return version.match(text).hasMatch();
}

} // namespace VersionRule

namespace DeviceReply {

namespace {
QString trimLineBreaks(const QString &text)
{
    auto isLineBreak = [](QChar c) { return c == u'\r' || c == u'\n'; };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isLineBreak(text.at(begin)))
        ++begin;
    while (end > begin && isLineBreak(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}
} // namespace

QString identificationText(const QByteArray &reply, bool timedOut)
{
    if (timedOut || reply.isEmpty())
        return QString();
    const QString text = QString::fromUtf8(reply).trimmed();
    if (!text.isEmpty())
        return text;
    return QString::fromLatin1(reply).trimmed();
}

QString escapedText(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

bool onlyProtocolBytes(const QByteArray &reply)
{
    // ACK, NAK, CAN and the receiver's 'C'.
    static const QByteArray protocol("\x06\x15\x18\x43");
    const auto isSpace = [](char byte) { return byte == ' ' || (byte >= '\t' && byte <= '\r'); };
    return std::any_of(reply.cbegin(), reply.cend(),
                       [](char byte) { return protocol.contains(byte); }) &&
           std::all_of(reply.cbegin(), reply.cend(),
                       [&isSpace](char byte) { return protocol.contains(byte) || isSpace(byte); });
}

QString consoleText(const QByteArray &reply)
{
    const QString text = trimLineBreaks(QString::fromUtf8(reply));
    if (text.contains(QChar::ReplacementCharacter))
        return trimLineBreaks(QString::fromLatin1(reply));
    return text;
}

QByteArray commandLine(const QString &command)
{
    QString line = command;
    if (!line.endsWith(QLatin1String("\r\n")))
        line += QLatin1String("\r\n");
    return line.toUtf8();
}

} // namespace DeviceReply
