#include "device/porterrortext.h"

#include <QCoreApplication>

namespace PortErrorText {

QString hint(QSerialPort::SerialPortError error, const QString &systemText)
{
    const auto says = [&systemText](const char *words) {
        return systemText.contains(QLatin1String(words), Qt::CaseInsensitive);
    };
    const auto tr = [](const char *text) {
        return QCoreApplication::translate("PortErrorText", text);
    };
    // Qt reports a port that another program holds as a permission error too: its lock file is
    // taken ("Permission error while locking the device") or the port is opened exclusively
    // (EBUSY). Only a denial that is no such case needs the dialout advice.
    const bool inUse = says("locking") || says("busy") || says("already in use");
    if (says("Permission denied") || (error == QSerialPort::PermissionError && !inUse))
        return tr("没有访问串口的权限，请将当前用户加入 dialout 组并重新登录");
    if (inUse || error == QSerialPort::OpenError)
        return tr("串口被其他程序占用（请关闭正在使用该串口的程序，如串口终端、串口调试助手、"
                  "另一个本工具窗口或 fwflash，然后重试）");
    if (error == QSerialPort::DeviceNotFoundError || error == QSerialPort::ResourceError ||
        error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
        says("Input/output error") || says("No such file") || says("No such device"))
        return tr("设备已断开或丢失，请检查数据线后重新连接");
    return tr("串口出现未知错误，请重新连接设备后再试");
}

QString withSystemText(QSerialPort::SerialPortError error, const QString &systemText)
{
    const QString text = hint(error, systemText);
    if (systemText.isEmpty())
        return text;
    return text + QStringLiteral("（%1）").arg(systemText);
}

} // namespace PortErrorText
