#include "station/stationrules.h"

#include "device/deviceidentity.h"
#include "device/reasoncode.h"
#include "device/versionrule.h"
#include "update/firmwarerules.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>

namespace Station {

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("Station", text);
}

// Around the result text inside its panel.
constexpr int kResultMargin = 16;
} // namespace

GridShape gridShape(int count, QSize area)
{
    if (count <= 0)
        return {};
    GridShape best;
    double bestScale = -1.0;
    for (int columns = 1; columns <= count; ++columns) {
        const int rows = (count + columns - 1) / columns;
        const double cellWidth = double(qMax(area.width(), 1)) / columns;
        const double cellHeight = double(qMax(area.height(), 1)) / rows;
        // The largest tile of the preferred shape that fits the cell, by its height.
        const double scale = std::min(cellWidth / kTileAspect, cellHeight);
        const bool larger = scale > bestScale + 1e-9;
        const bool tie = !larger && scale > bestScale - 1e-9;
        if (larger || (tie && rows < best.rows)) {
            bestScale = scale;
            best = {columns, rows};
        }
    }
    return best;
}

int resultFontPixels(QSize panel, int characters)
{
    const int byHeight = panel.height() / 2;
    const int byWidth = (panel.width() - kResultMargin) / qMax(characters, 2);
    return std::clamp(std::min(byHeight, byWidth), kSmallestResultPixels, kLargestResultPixels);
}

QString phaseText(Phase phase)
{
    switch (phase) {
    case Phase::Idle:
        return tr("未开始");
    case Phase::WaitingForBoard:
        return tr("等待设备");
    case Phase::Identifying:
        return tr("正在识别设备");
    case Phase::EnteringBootloader:
        return tr("正在进入引导程序");
    case Phase::Transferring:
        return tr("正在传输固件");
    case Phase::Checking:
        return tr("正在检查结果");
    case Phase::Verifying:
        return tr("正在校验版本");
    case Phase::RemoveBoard:
        return tr("请取下设备");
    case Phase::Stopped:
        return tr("已停止");
    }
    return QString();
}

Phase phaseOf(const PortSession::Status &status)
{
    using Step = PortSession::Step;
    using WorkerPhase = SerialWorker::UpdatePhase;
    switch (status.step) {
    case Step::WaitingForDevice:
        return Phase::WaitingForBoard;
    case Step::Connecting:
    case Step::Checking:
        return Phase::Identifying;
    case Step::Updating:
        switch (status.phase) {
        case WorkerPhase::Querying:
            return Phase::Identifying;
        case WorkerPhase::WaitingForBootloader:
            return Phase::EnteringBootloader;
        case WorkerPhase::Transferring:
            return Phase::Transferring;
        case WorkerPhase::CheckingReport:
            return Phase::Checking;
        }
        return Phase::Identifying;
    case Step::Verifying:
        return Phase::Verifying;
    case Step::WaitingForRemoval:
        return Phase::RemoveBoard;
    case Step::Done:
        return Phase::Stopped;
    }
    return Phase::Idle;
}

QString unitText(const QString &identification)
{
    const DeviceIdentity identity = DeviceIdentity::fromReply(identification);
    if (!identity.hasFields())
        return identity.reply;
    return QStringLiteral("%1 · %2").arg(identity.model, identity.serialNumber);
}

QString outcomeText(const QString &outcome)
{
    switch (tallyOf(outcome)) {
    case Tally::Passed:
        return tr("通过");
    case Tally::Failed:
        return tr("失败");
    case Tally::Neither:
        break;
    }
    if (outcome == ReasonCode::kAlreadyUpdated)
        return tr("已更新过");
    return tr("已中断");
}

Tally tallyOf(const QString &outcome)
{
    if (outcome == QLatin1String("success"))
        return Tally::Passed;
    // An interrupted unit is the operator's doing, not the board's, and a board updated earlier
    // in the run was counted then: they count for neither.
    if (outcome == QLatin1String("interrupted") || outcome == ReasonCode::kAlreadyUpdated ||
        outcome.isEmpty())
        return Tally::Neither;
    return Tally::Failed;
}

namespace {
// The result panel for the last unit's outcome.
void showOutcome(TileView *view, const LastUnit &last)
{
    switch (tallyOf(last.outcome)) {
    case Tally::Passed:
        view->look = Look::Passed;
        break;
    case Tally::Failed:
        view->look = Look::Failed;
        view->reason = last.reason;
        break;
    case Tally::Neither:
        if (last.outcome.isEmpty())
            view->look = Look::Idle;
        else // a board updated earlier in the run has its image
            view->look = last.outcome == ReasonCode::kAlreadyUpdated ? Look::Passed
                                                                     : Look::Interrupted;
        break;
    }
    view->big = view->look == Look::Idle ? QString() : outcomeText(last.outcome);
}

QString lastLine(const LastUnit &last)
{
    if (last.outcome.isEmpty())
        return QString();
    const QString unit = last.unit.isEmpty() ? tr("未识别") : last.unit;
    return tr("上一块：%1 %2").arg(unit, outcomeText(last.outcome));
}
} // namespace

TileView idleTileView(const QString &port, const LastUnit &last)
{
    TileView view;
    view.port = port;
    view.unit = last.unit;
    view.phase = Phase::Idle;
    showOutcome(&view, last);
    if (view.look == Look::Idle)
        view.big = tr("就绪");
    view.last = lastLine(last);
    return view;
}

TileView tileView(const PortSession::Status &status, const LastUnit &last)
{
    TileView view;
    view.port = status.port;
    view.unit = last.unit;
    view.phase = phaseOf(status);
    view.last = lastLine(last);
    switch (view.phase) {
    case Phase::Identifying:
    case Phase::EnteringBootloader:
    case Phase::Transferring:
    case Phase::Checking:
    case Phase::Verifying:
        view.look = Look::Working;
        view.unit.clear(); // the board now on the port is not the last one
        view.percent = FirmwareRules::percent(status.shown, status.total);
        view.big = QStringLiteral("%1%").arg(view.percent);
        view.progressShown = true;
        if (view.phase == Phase::Transferring && status.rateKBps > 0.0) {
            view.detail = QStringLiteral("%1 KB/s").arg(status.rateKBps, 0, 'f', 1);
            if (status.secondsLeft >= 0)
                view.detail += tr(" · 剩余 %1 秒").arg(status.secondsLeft);
        }
        break;
    case Phase::RemoveBoard:
        // The board of the last unit is still on the port: its result stands, a failure in red
        // until it is taken off or tried again.
        showOutcome(&view, last);
        view.retryOffered = view.look == Look::Failed;
        break;
    case Phase::Stopped:
        showOutcome(&view, last);
        break;
    case Phase::Idle:
    case Phase::WaitingForBoard:
        view.look = Look::Idle;
        view.unit.clear(); // no board on the port
        view.big = tr("放入设备");
        break;
    }
    return view;
}

void Counters::add(const QString &outcome)
{
    switch (tallyOf(outcome)) {
    case Tally::Passed:
        ++passed;
        break;
    case Tally::Failed:
        ++failed;
        break;
    case Tally::Neither:
        break;
    }
}

double yieldPercent(const Counters &counters)
{
    if (counters.units() == 0)
        return -1.0;
    return 100.0 * counters.passed / counters.units();
}

double unitsPerHour(const Counters &counters, qint64 runMs)
{
    if (counters.units() == 0 || runMs <= 0)
        return -1.0;
    return counters.units() * 3600000.0 / double(runMs);
}

QString yieldText(const Counters &counters)
{
    const double percent = yieldPercent(counters);
    return percent < 0 ? QStringLiteral("—") : QStringLiteral("%1%").arg(percent, 0, 'f', 1);
}

QString unitsPerHourText(const Counters &counters, qint64 runMs)
{
    const double perHour = unitsPerHour(counters, runMs);
    return perHour < 0 ? QStringLiteral("—") : QString::number(qRound(perHour));
}

QString resultLine(const QString &time, const QString &port, const LastUnit &unit)
{
    QString line = QStringLiteral("%1  %2  %3  %4")
                       .arg(time, port, unit.unit.isEmpty() ? tr("未识别") : unit.unit,
                            outcomeText(unit.outcome));
    if (!unit.reason.isEmpty())
        line += tr("：%1").arg(unit.reason);
    return line;
}

QString startRefusal(bool imageChosen, int tickedPorts, const QString &expectedVersion)
{
    if (!imageChosen)
        return tr("请先选择固件文件。");
    if (tickedPorts <= 0)
        return tr("请勾选至少一个串口。");
    if (tickedPorts > kMaxPorts)
        return tr("最多同时烧录 %1 个串口（已勾选 %2 个）。").arg(kMaxPorts).arg(tickedPorts);
    if (!expectedVersion.isEmpty() && !VersionRule::isVersionText(expectedVersion))
        return tr("期望版本应为 X.Y.Z 形式，例如 1.0.39。");
    return QString();
}

} // namespace Station
