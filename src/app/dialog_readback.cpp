#include "app/dialog.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <utility>

namespace {
const QString kIdentityQuery = QStringLiteral("*idn?");
} // namespace

void Dialog::setupReadBack()
{
    m_readBack = new ReadBack([] { return portEnumerator()(); }, this);
    connect(m_readBack, &ReadBack::requestConnect, this, &Dialog::onReadBackConnect);
    connect(m_readBack, &ReadBack::requestQuery, this,
            [this] { sendQuietQuery(QuietQuery::ReadBack); });
    connect(m_readBack, &ReadBack::portLost, this, &Dialog::onReadBackPortLost);
    connect(m_readBack, &ReadBack::finished, this, &Dialog::onReadBackFinished);
}

void Dialog::setReadBackTimingForTesting(const ReadBack::Timing &timing)
{
    m_readBack->setTimingForTesting(timing);
}

void Dialog::askIdentity()
{
    m_identity = DeviceIdentity();
    m_identityPending = true;
    showIdentity();
    sendQuietQuery(QuietQuery::Identity);
}

void Dialog::sendQuietQuery(QuietQuery kind)
{
    // One exchange at a time: behind a command in flight, the window's query goes first.
    if (m_commandInFlight) {
        m_quietQueued = kind;
        return;
    }
    m_inFlightQuiet = kind;
    m_pendingCommand = kIdentityQuery;
    m_commandInFlight = true;
    Q_EMIT requestSendCustomCommand(kIdentityQuery);
}

void Dialog::takeQuietReply(QuietQuery kind, const QString &response)
{
    if (kind == QuietQuery::ReadBack) {
        m_readBack->onQueryResponse(response);
        return;
    }
    m_identityPending = false;
    // The worker's refusal reached no device: nothing is known of it.
    m_identity = DeviceIdentity::fromReply(isWorkerRefusal(response) ? QString() : response);
    showIdentity();
    // A start that waited for the answer goes on, outside this report's handling.
    if (std::exchange(m_startWhenIdentified, false))
        QTimer::singleShot(0, this, &Dialog::updateFirmware);
}

void Dialog::sendNextCommand()
{
    const QuietQuery quiet = std::exchange(m_quietQueued, QuietQuery::None);
    if (quiet != QuietQuery::None && m_connectionState == Connected) {
        sendQuietQuery(quiet);
        return;
    }
    if (m_commandQueue.isEmpty())
        return;
    if (m_connectionState == Connected && !m_updateInProgress)
        dispatchCommand(m_commandQueue.takeFirst());
    else
        dropQueuedCommands(); // the line went away or an update took it
}

void Dialog::dropQueuedCommands()
{
    if (m_commandQueue.isEmpty())
        return;
    logMessage(tr("已取消 %1 条排队的命令").arg(m_commandQueue.size()), Info);
    m_commandQueue.clear();
}

void Dialog::showIdentity()
{
    if (m_connectionState != Connected) {
        m_deviceLabel->hide();
        return;
    }
    const QString text = m_identityPending ? tr("正在识别设备…") : m_identity.summary();
    m_deviceLabel->setText(tr("设备：%1").arg(text));
    m_deviceLabel->show();
}

void Dialog::startReadBack()
{
    ReadBack::Target target;
    target.port = m_updatePort;
    target.listing = m_updateListing;
    target.before = m_identityBeforeUpdate;
    m_afterSuccess.clear();
    m_readBack->start(target, m_connectionState == Connected);
}

void Dialog::onReadBackConnect(const QString &port)
{
    // The device reappeared under another name: the selector shows where the window connects.
    if (port != selectedPortName()) {
        scanSerialPorts();
        selectPort(port);
    }
    updateSerialPortState(Connecting);
    Q_EMIT requestConnect(port);
}

void Dialog::onReadBackPortLost()
{
    tellAfterSuccess([this] { logMessage(tr("设备正在重启（串口已断开）"), Info); });
}

void Dialog::onReadBackFinished(const ReadBack::Outcome &outcome)
{
    LogLevel level = Warning;
    recordReadBack(outcome, readBackText(outcome, &level));
    tellAfterSuccess([this, outcome] { presentReadBack(outcome); });
}

void Dialog::tellAfterSuccess(std::function<void()> step)
{
    // The device may restart, come back and answer before the success is shown.
    if (m_resultPending)
        m_afterSuccess.append(std::move(step));
    else
        step();
}

QString Dialog::readBackText(const ReadBack::Outcome &outcome, LogLevel *level) const
{
    const DeviceIdentity &before = m_identityBeforeUpdate;
    const DeviceIdentity &after = outcome.after;
    *level = Warning;
    switch (outcome.verdict) {
    case ReadBack::Verdict::NewVersion:
    case ReadBack::Verdict::UnexpectedVersion: // the window expects no particular version
        *level = Success;
        return tr("设备已运行新固件：版本 %1（更新前 %2）")
            .arg(after.versionText(), before.isEmpty() ? tr("未知") : before.versionText());
    case ReadBack::Verdict::SameVersion:
        return tr("设备已重启，但版本未改变（%1）").arg(after.versionText());
    case ReadBack::Verdict::AnotherUnit:
        return tr("另一台设备（序列号 %1）已连接").arg(after.serialNumber);
    case ReadBack::Verdict::Silence:
        break;
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(m_readBack->timing().limit);
    return tr("设备未在 %1 秒内回应，请检查设备是否正常启动").arg(seconds.count());
}

void Dialog::presentReadBack(const ReadBack::Outcome &outcome)
{
    LogLevel level = Warning;
    const QString text = readBackText(outcome, &level);
    logMessage(text, level);
    // The status bar names the device that answered (or none).
    m_identity = outcome.after;
    m_identityPending = false;
    showIdentity();
    showOutcome(text);
}

void Dialog::showOutcome(const QString &text)
{
    m_outcomeStatus = text;
    if (!m_updateInProgress)
        updateStatus(text);
}
