#include "app/uistate.h"

#include "ui/theme.h"

#include <QCoreApplication>

namespace {
// The window's own translation context, so these texts translate with the rest of it.
QString trDialog(const char *text)
{
    return QCoreApplication::translate("Dialog", text);
}
} // namespace

EnabledControls enabledControls(UpdatePhase phase, Connection::State state,
                                bool hasFirmwarePath)
{
    const bool idle = phase == UpdatePhase::None;
    const bool connected = state == Connection::Connected;
    EnabledControls controls;
    controls.connectButton =
        idle && (state == Connection::Disconnected || state == Connection::Connected);
    controls.portSelector = idle;
    controls.browseButton = idle;
    controls.pathField = idle;
    controls.startButton = (idle && connected && hasFirmwarePath) || phase == UpdatePhase::Running;
    controls.commandField = idle && connected;
    controls.sendButton = idle && connected;
    controls.historyButton = idle && connected;
    return controls;
}

QString startButtonText(UpdatePhase phase)
{
    return phase == UpdatePhase::None ? trDialog("开始") : trDialog("取消更新");
}

std::optional<ConnectionStateRow> connectionStateRow(int state)
{
    ConnectionStateRow row;
    switch (state) {
    case Connection::Disconnected:
        row.statusText = trDialog("等待连接…");
        row.connectText = trDialog("连接");
        row.connectToolTip = trDialog("连接到选定串口");
        row.ledColour = QColor(QLatin1String(Theme::kDanger));
        row.hideBaudLabel = true;
        return row;
    case Connection::Connecting:
        row.statusText = trDialog("正在连接…");
        row.ledColour = QColor(QLatin1String(Theme::kLedAmber));
        row.hideBaudLabel = true;
        return row;
    case Connection::Connected:
        row.statusText = trDialog("已连接");
        row.connectText = trDialog("断开");
        row.connectToolTip = trDialog("断开");
        row.ledColour = QColor(QLatin1String(Theme::kLedGreen));
        return row;
    case Connection::Disconnecting:
        row.statusText = trDialog("正在断开…");
        row.ledColour = QColor(QLatin1String(Theme::kLedAmber));
        return row;
    default:
        return std::nullopt;
    }
}
