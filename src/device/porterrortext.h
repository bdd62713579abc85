#pragma once

// The words a user reads when the serial port fails: a short Chinese hint of what to do, with the
// system's own text kept for the log. No widgets, no I/O.

#include <QSerialPort>
#include <QString>

namespace PortErrorText {

// What to do about a port error, judged by its kind and the system's text: the device was
// unplugged or lost, the user lacks permission, another program holds the port, or anything else.
QString hint(QSerialPort::SerialPortError error, const QString &systemText);

// The hint followed by the system's text in full-width parentheses (none when it is empty).
QString withSystemText(QSerialPort::SerialPortError error, const QString &systemText);

} // namespace PortErrorText
