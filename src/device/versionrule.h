#pragma once

#include <QByteArray>
#include <QString>

// The start command the device understands, chosen from its identification text.
// No widgets, no I/O.
namespace VersionRule {
QByteArray firmwareUpdateCommand(); // "*FWUPD\r\n"
QByteArray legacyStartCommand();    // 5D 0C 2F 7A 19 E4
// The first dotted version that ends the text or is followed by a comma decides: with four
// numbers the second must be 1 or more, with three the third must be 38 or more; anything else
// (no such version at all) gets the legacy command. No widgets, no I/O.
QByteArray startCommandFor(const QString &identification);
// A version a front end may expect after an update: three or four dotted numbers ("1.0.39").
// No widgets, no I/O.
bool isVersionText(const QString &text);
} // namespace VersionRule

// Turning the bytes of a device reply into text. No widgets, no I/O.
namespace DeviceReply {
// The identification reply: empty when the wait ran out or nothing came; otherwise UTF-8 with
// white space trimmed, falling back to Latin-1 when that leaves nothing. No widgets, no I/O.
QString identificationText(const QByteArray &reply, bool timedOut);
// The text with every control character (C0, DEL, C1) written as \xHH, so that a device's reply
// never reaches the log, a terminal or a record as raw control bytes. No widgets, no I/O.
QString escapedText(const QString &text);
// The reply holds YMODEM protocol bytes (ACK, NAK, CAN, 'C') and nothing else but white space:
// the device's receiver is still waiting for a file, no application answered. No widgets, no I/O.
bool onlyProtocolBytes(const QByteArray &reply);
// A console reply: UTF-8 with only CR and LF trimmed at both ends; the Latin-1 reading (trimmed
// the same way) when the UTF-8 reading holds U+FFFD. No widgets, no I/O.
QString consoleText(const QByteArray &reply);
// The line written for a console command: CR LF appended unless it already ends with exactly
// CR LF, then UTF-8. No widgets, no I/O.
QByteArray commandLine(const QString &command);
} // namespace DeviceReply
