#include "device/reasoncode.h"

#include <QCoreApplication>
#include <QStringList>

namespace ReasonCode {

namespace {
QString worker(const char *source)
{
    return QCoreApplication::translate("SerialWorker", source);
}
QString hintText(const char *source)
{
    return QCoreApplication::translate("PortErrorText", source);
}

// The code for a port failure by the hint its message carries.
QString forPortHint(const QString &message)
{
    if (message.contains(hintText("设备已断开或丢失，请检查数据线后重新连接")))
        return kPortLost;
    if (message.contains(hintText("没有访问串口的权限，请将当前用户加入 dialout 组并重新登录")))
        return kPortDenied;
    if (message.contains(QStringLiteral("串口被其他程序占用")))
        return kPortBusy;
    return kPortError;
}
} // namespace

QString forWorkerReason(const QString &reason)
{
    if (reason.isEmpty())
        return QString();
    if (reason == worker("设备响应超时"))
        return kDeviceTimeout;
    if (reason == worker("设备中止了传输"))
        return kDeviceCancelled;
    if (reason == worker("用户取消更新"))
        return kUserCancelled;
    if (reason.startsWith(worker("传输错误（错误码：%1）").section(QStringLiteral("%1"), 0, 0)))
        return kTransferFailed;
    if (reason == worker("串口未打开"))
        return kPortLost;
    if (reason == worker("设备未连接"))
        return kPortBusy; // the line is busy with another update or command
    if (reason.startsWith(worker("串口错误")) || reason.startsWith(QStringLiteral("无法打开串口")))
        return forPortHint(reason);
    if (reason.startsWith(worker("写入错误：%1").arg(QString())) ||
        reason == worker("启动命令发送失败") || reason == worker("下载命令发送失败"))
        return kWriteFailed;
    if (reason == worker("无法打开固件文件") || reason == worker("固件文件为空") ||
        reason == worker("固件文件超出大小限制") || reason.startsWith(QStringLiteral("固件为 ")))
        return kImageRefused;
    return kFailed;
}

QStringList all()
{
    return {kDeviceTimeout, kDeviceCancelled, kTransferFailed, kPortLost,      kPortBusy,
            kPortDenied,    kPortError,       kWriteFailed,    kUserCancelled, kImageRefused,
            kVersionMismatch, kNoReadBack,    kUnitReplaced,   kAlreadyUpdated, kFailed};
}

} // namespace ReasonCode
