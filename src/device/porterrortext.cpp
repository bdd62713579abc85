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
    if (error == QSerialPort::PermissionError || says("Permission denied"))
        return tr("没有访问串口的权限，请将当前用户加入 dialout 组并重新登录");
    if (error == QSerialPort::OpenError || says("busy") || says("already in use"))
        return tr("串口正被其他程序占用，请先关闭该程序");
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
