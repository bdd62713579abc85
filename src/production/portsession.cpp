#include "production/portsession.h"

#include "records/attemptfacts.h"

#include "device/deviceidentity.h"
#include "device/reasoncode.h"
#include "device/versionrule.h"
#include "update/firmwarerules.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QThread>

#include <chrono>

using namespace std::chrono_literals;

namespace {
// How often a waiting session looks at its port.
constexpr auto kPollInterval = 500ms;
// Between identification queries while waiting for a device to go.
constexpr auto kQueryInterval = 1000ms;


// Time on the clock, comparable with the limits above.
std::chrono::milliseconds elapsed(const QElapsedTimer &clock)
{
    return std::chrono::milliseconds(clock.isValid() ? clock.elapsed() : 0);
}

bool portExists(const QString &port)
{
    return QFileInfo::exists(portLocation(port));
}

// The system's listing of a port as it is now.
PortListing listingNow(const QString &port)
{
    const QString resolved = QFileInfo(portLocation(port)).canonicalFilePath();
    return listingFor(systemSerialPorts(), port, resolved);
}

// A unit named for the user: its serial number, else its reply, else its adapter's.
QString unitName(const DeviceIdentity &identity, const QString &usbSerial)
{
    if (!identity.serialNumber.isEmpty())
        return identity.serialNumber;
    if (!identity.reply.isEmpty())
        return identity.reply;
    return usbSerial;
}

QString orNull(const QString &text)
{
    return text.isEmpty() ? QString() : text;
}
} // namespace

PortSession::PortSession(const Settings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_thread(new QThread(this))
    , m_worker(new SerialWorker)
    , m_readBack(systemSerialPorts)
{
    if (!m_settings.updated)
        m_settings.updated = std::make_shared<Production::RecentUnits>();
    using W = SerialWorker;
    connect(this, &PortSession::requestConnect, m_worker, &W::connectToPort);
    connect(this, &PortSession::requestDisconnect, m_worker, &W::disconnectPort);
    connect(this, &PortSession::requestUpdate, m_worker, &W::startUpdate);
    connect(this, &PortSession::requestAbort, m_worker, &W::abort);
    connect(this, &PortSession::requestSetMaxFirmwareSize, m_worker, &W::setMaxFirmwareSize);
    connect(this, &PortSession::requestCommand, m_worker, &W::sendCustomCommand);

    connect(m_worker, &W::connected, this, &PortSession::onConnected);
    connect(m_worker, &W::disconnected, this, &PortSession::onDisconnected);
    connect(m_worker, &W::connectionFailed, this, &PortSession::onConnectionFailed);
    connect(m_worker, &W::updatePhaseChanged, this, &PortSession::onPhase);
    connect(m_worker, &W::identified, this, &PortSession::onIdentified);
    connect(m_worker, &W::progress, this, &PortSession::onProgress);
    connect(m_worker, &W::updateSuccess, this, &PortSession::onUpdateSuccess);
    connect(m_worker, &W::updateFailed, this, &PortSession::onUpdateFailed);
    connect(m_worker, &W::customCommandResponse, this, &PortSession::onCommandResponse);
    if (m_settings.trace) {
        connect(m_worker, &W::logMessage, this, &PortSession::trace);
        connect(m_worker, &W::logWarning, this, &PortSession::trace);
    }

    m_worker->setDebugMode(m_settings.trace);
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start();

    m_poll.setInterval(kPollInterval);
    connect(&m_poll, &QTimer::timeout, this, &PortSession::poll);

    connect(&m_readBack, &ReadBack::requestConnect, this, &PortSession::requestConnect);
    connect(&m_readBack, &ReadBack::requestQuery, this, &PortSession::queryIdentification);
    connect(&m_readBack, &ReadBack::portLost, this, [this] {
        m_readBackLostPort = true;
        m_portStays = false;
        if (m_settings.trace)
            Q_EMIT trace(tr("串口已断开，等待设备重新出现"));
    });
    connect(&m_readBack, &ReadBack::finished, this, &PortSession::onReadBackFinished);
    m_stepClock.start();
}

void PortSession::setReadBackTimingForTesting(const ReadBack::Timing &timing)
{
    m_readBack.setTimingForTesting(timing);
}

PortSession::~PortSession()
{
    if (!stopThread(QDeadlineTimer(0))) {
        // A worker that is still busy when the process ends is left to the process's end: a
        // running QThread must not be destroyed.
        m_thread->setParent(nullptr);
    }
}

bool PortSession::stopThread(QDeadlineTimer deadline)
{
    m_thread->quit();
    return m_thread->wait(deadline);
}

void PortSession::start()
{
    if (m_settings.loop) {
        setStep(Step::WaitingForDevice);
        m_poll.start();
        poll();
        return;
    }
    beginUnit();
    setStep(Step::Connecting);
    Q_EMIT requestConnect(m_settings.port);
}

bool PortSession::unitRunning() const
{
    // In the loop a port being opened has no unit yet: nobody has asked who is on it.
    return (m_step == Step::Connecting && !m_settings.loop) || m_step == Step::Updating ||
           m_step == Step::Verifying;
}

void PortSession::beginUnit()
{
    m_record = Production::newRecord(m_settings.program, m_settings.port, m_settings.image,
                                     m_settings.expectVersion);
    m_unitClock.start();
    m_transferClock.invalidate();
    m_transferMs = 0;
    m_transferNs = 0;
    m_shown = 0;
    m_total = int(m_settings.image.size);
    m_phase = SerialWorker::UpdatePhase::Querying;
    m_queryPending = false;
    m_interrupted = false;
}

QString PortSession::currentUsbSerial() const
{
    return listingNow(m_settings.port).serialNumber;
}

void PortSession::startUpdate()
{
    // The system's listing tells identical adapters apart in the record.
    m_listing = listingNow(m_settings.port);
    m_record.usbSerial = orNull(m_listing.serialNumber);
    m_record.vidPid = orNull(vidPidText(m_listing));

    setStep(Step::Updating);
    Q_EMIT requestSetMaxFirmwareSize(m_settings.sizeLimit);
    Q_EMIT requestUpdate(m_settings.image.path);
}

void PortSession::takeDevice(const QString &reply)
{
    const DeviceIdentity identity = DeviceIdentity::fromReply(reply);
    const QString usbSerial = currentUsbSerial();
    const QString key = Production::unitKey(identity, usbSerial, !m_portStays);
    if (!m_settings.allowRepeat && !key.isEmpty() && m_settings.updated->contains(key)) {
        m_lastUnit = unitName(identity, usbSerial);
        m_lastResult = ReasonCode::kAlreadyUpdated;
        m_lastReasonCode.clear();
        Q_EMIT unitSkipped(m_lastUnit);
        waitForRemoval(identity.reply, !identity.isEmpty());
        return;
    }
    beginUnit();
    startUpdate();
}

void PortSession::finishUnit(Production::Outcome outcome, const QString &reasonCode,
                             const QString &reason, const QString *nextDevice)
{
    const bool success = outcome == Production::Outcome::Success;
    m_record.endedUtc = QDateTime::currentDateTimeUtc();
    m_record.outcome = Production::outcomeName(outcome);
    m_record.reasonCode = success ? QString() : orNull(reasonCode);
    m_record.reason = success ? QString() : orNull(reason);
    m_record.durationMs = m_unitClock.elapsed();
    m_record.bytesSent = m_shown;
    m_record.rateKBps = Production::rateKBps(m_shown, m_transferNs);
    m_queryPending = false;
    ++m_units;
    m_lastUnit = unitName(DeviceIdentity::fromReply(m_record.identBefore), m_record.usbSerial);
    m_lastResult = m_record.outcome;
    m_lastReasonCode = m_record.reasonCode;
    if (success) {
        m_settings.updated->add(Production::unitKey(DeviceIdentity::fromReply(m_record.identBefore),
                                                    m_listing.serialNumber, !m_portStays));
    }
    Q_EMIT unitFinished(m_record);
    if (m_settings.loop && !m_stopping) {
        if (nextDevice)
            takeDevice(*nextDevice);
        else if (!m_record.identAfter.isEmpty())
            waitForRemoval(m_record.identAfter, true);
        else
            // Nothing was read after the unit. A board that failed may stay silent until it is
            // swapped: a board naming another serial number than it did is the next one. One
            // that passed answers with its new version, so its first answer is its own.
            waitForRemoval(success ? QString() : m_record.identBefore, false);
        return;
    }
    end();
}

void PortSession::waitForRemoval(const QString &baseline, bool answered)
{
    m_departureBaseline = baseline;
    m_baselineKnown = answered;
    m_boardSilent = false;
    m_queryPending = false;
    m_sinceQuery.start();
    setStep(Step::WaitingForRemoval);
    m_poll.start();
}

void PortSession::end()
{
    if (m_step == Step::Done)
        return;
    m_poll.stop();
    Q_EMIT requestDisconnect();
    setStep(Step::Done);
    Q_EMIT finished();
}

void PortSession::setStep(Step step)
{
    if (step != m_step)
        m_stepClock.restart();
    m_step = step;
    Q_EMIT changed();
}

void PortSession::interrupt()
{
    m_stopping = true;
    switch (m_step) {
    case Step::Updating:
        m_interrupted = true;
        Q_EMIT requestAbort();
        break;
    case Step::Connecting:
        if (unitRunning())
            finishUnit(Production::Outcome::Interrupted, ReasonCode::kUserCancelled,
                       tr("更新开始前已中断"));
        else
            end();
        break;
    case Step::Verifying:
        m_readBack.stop();
        finishUnit(Production::Outcome::Interrupted, ReasonCode::kUserCancelled,
                   tr("读回版本前已中断"));
        break;
    case Step::WaitingForDevice:
    case Step::Checking: // only asked who it is: no update was started
    case Step::WaitingForRemoval:
    case Step::Done:
        end();
        break;
    }
}

void PortSession::forceEnd()
{
    m_stopping = true;
    m_readBack.stop();
    if (unitRunning())
        finishUnit(Production::Outcome::Interrupted, ReasonCode::kUserCancelled,
                   tr("已中断：更新未能及时停止"));
    else
        end();
}

void PortSession::deviceReplaced()
{
    if (m_step != Step::WaitingForRemoval)
        return;
    m_portStays = true; // Enter is for a port that stays while the boards change
    retry();
}

void PortSession::retry()
{
    if (m_step != Step::WaitingForRemoval)
        return;
    Q_EMIT requestDisconnect();
    setStep(Step::WaitingForDevice);
}

void PortSession::poll()
{
    switch (m_step) {
    case Step::WaitingForDevice:
        if (portExists(m_settings.port)) {
            beginUnit();
            setStep(Step::Connecting);
            Q_EMIT requestConnect(m_settings.port);
        }
        break;
    case Step::WaitingForRemoval:
        if (!m_portOpen || !portExists(m_settings.port)) {
            m_portStays = false; // the adapter went with the board
            Q_EMIT requestDisconnect();
            setStep(Step::WaitingForDevice);
        } else if (!m_queryPending && elapsed(m_sinceQuery) >= kQueryInterval) {
            queryIdentification();
        }
        break;
    case Step::Connecting:
    case Step::Checking:  // the worker's reply wait is bounded
    case Step::Updating:  // so are the worker's update waits
    case Step::Verifying: // the read-back keeps its own time
    case Step::Done:
        break;
    }
}

void PortSession::queryIdentification()
{
    m_queryPending = true;
    m_sinceQuery.start();
    if (m_settings.trace)
        Q_EMIT trace(QStringLiteral("→ *idn?"));
    Q_EMIT requestCommand(QStringLiteral("*idn?"));
}

void PortSession::onConnected()
{
    m_portOpen = true;
    m_lastNotice.clear();
    if (m_step == Step::Verifying)
        m_readBack.onConnected();
    if (m_step != Step::Connecting)
        return;
    if (m_stopping) {
        finishUnit(Production::Outcome::Interrupted, ReasonCode::kUserCancelled,
                   tr("更新开始前已中断"));
        return;
    }
    if (m_settings.loop) {
        // Who it is decides whether it is updated: a unit done earlier in this run is not.
        setStep(Step::Checking);
        queryIdentification();
        return;
    }
    startUpdate();
}

void PortSession::onDisconnected()
{
    m_portOpen = false;
    if (m_step == Step::Verifying)
        m_readBack.onDisconnected();
}

void PortSession::onConnectionFailed(const QString &error)
{
    if (m_step == Step::Verifying)
        m_readBack.onConnectionFailed(); // tried again while the device is on its way back
    if (m_step != Step::Connecting)
        return;
    if (!m_settings.loop) {
        finishUnit(Production::Outcome::Failed, ReasonCode::forWorkerReason(error), error);
        return;
    }
    // The port is there but does not open (yet): keep waiting, and say why once.
    if (error != m_lastNotice) {
        m_lastNotice = error;
        Q_EMIT notice(error);
    }
    setStep(Step::WaitingForDevice);
}

void PortSession::onPhase(SerialWorker::UpdatePhase phase)
{
    if (m_step != Step::Updating)
        return;
    m_phase = phase;
    if (phase == SerialWorker::UpdatePhase::Transferring) {
        m_transferClock.start();
        m_rate = FirmwareRules::RateEstimate();
    }
    Q_EMIT changed();
}

void PortSession::onIdentified(const QString &identification, const QByteArray &command)
{
    if (m_step != Step::Updating)
        return;
    Records::setIdentification(&m_record, identification);
    m_record.startCommand = Production::startCommandText(command);
}

void PortSession::onProgress(int bytesSent, int totalBytes)
{
    if (m_step != Step::Updating)
        return;
    m_total = totalBytes;
    m_shown = FirmwareRules::shownBytes(bytesSent, totalBytes);
    m_transferNs = m_transferClock.isValid() ? m_transferClock.nsecsElapsed() : 0;
    m_transferMs = m_transferNs / 1000000;
    m_rate.add(m_shown, m_transferMs);
    Q_EMIT changed();
}

void PortSession::onUpdateSuccess()
{
    if (m_step != Step::Updating)
        return;
    m_shown = m_total;
    if (m_settings.expectVersion.isEmpty()) {
        finishUnit(Production::Outcome::Success, QString(), QString());
        return;
    }
    if (m_stopping) {
        finishUnit(Production::Outcome::Interrupted, ReasonCode::kUserCancelled,
                   tr("读回版本前已中断"));
        return;
    }
    m_queryPending = false;
    setStep(Step::Verifying);
    ReadBack::Target target;
    target.port = m_settings.port;
    target.listing = m_listing;
    target.followVidPid = false; // the port that appears may be another session's board
    target.before = DeviceIdentity::fromReply(m_record.identBefore);
    target.expectVersion = m_settings.expectVersion;
    m_readBackLostPort = false;
    m_readBack.start(target, m_portOpen);
}

void PortSession::onUpdateFailed(const QString &reason)
{
    if (m_step != Step::Updating)
        return;
    if (m_interrupted) {
        finishUnit(Production::Outcome::Interrupted, ReasonCode::kUserCancelled, reason);
        return;
    }
    finishUnit(Production::Outcome::Failed, ReasonCode::forWorkerReason(reason), reason);
}

void PortSession::onCommandResponse(const QString &reply)
{
    if (!m_queryPending)
        return;
    m_queryPending = false;
    // Traced and recorded without raw control bytes, as the worker's identification is.
    const QString response = DeviceReply::escapedText(reply);
    if (m_settings.trace)
        Q_EMIT trace(QStringLiteral("← ") + response);
    if (m_step == Step::Verifying) {
        m_readBack.onQueryResponse(reply);
        return;
    }
    // A reply from a port that has gone since, or the worker's own refusal, tells nothing.
    if (!m_portOpen || isWorkerRefusal(reply)) {
        if (m_step == Step::Checking) {
            Q_EMIT requestDisconnect();
            setStep(Step::WaitingForDevice);
        }
        return;
    }
    if (m_step == Step::Checking) {
        takeDevice(response);
        return;
    }
    if (m_step != Step::WaitingForRemoval)
        return;
    // A receiver still waiting for a file ('C', ACK, NAK, CAN) is no application answering: it
    // tells neither that the board went nor that another came.
    if (DeviceReply::onlyProtocolBytes(reply.toLatin1()))
        return;
    // On a port that stays, the reply tells the boards apart: a board that answered and then
    // falls silent is gone, and an answer after that silence, or a different answer, is the next
    // board. Silence before the first answer is an application still starting.
    if (response.isEmpty()) {
        m_boardSilent = m_baselineKnown;
        return;
    }
    // The first answer is the board's own, unless it names another serial number than the
    // failed board did before its unit.
    if (!m_baselineKnown &&
        !Production::isAnotherUnit(DeviceIdentity::fromReply(m_departureBaseline),
                                   DeviceIdentity::fromReply(response), QString(), QString())) {
        m_departureBaseline = response;
        m_baselineKnown = true;
        return;
    }
    if (m_boardSilent || response != m_departureBaseline) {
        m_portStays = true; // the boards changed under an open port: a fixture's adapter
        takeDevice(response);
    }
}

void PortSession::onReadBackFinished(const ReadBack::Outcome &outcome)
{
    if (m_step != Step::Verifying)
        return;
    using Outcome = Production::Outcome;
    const DeviceIdentity before = DeviceIdentity::fromReply(m_record.identBefore);
    const DeviceIdentity &after = outcome.after;
    const QString usbAfter = listingNow(outcome.port).serialNumber;
    const bool another =
        outcome.verdict == ReadBack::Verdict::AnotherUnit ||
        (!after.isEmpty() &&
         Production::isAnotherUnit(before, after, m_listing.serialNumber, usbAfter));
    const bool confirmed = !another && outcome.verdict == ReadBack::Verdict::NewVersion;
    Production::setIdentificationAfter(&m_record, after, !another, confirmed);
    const QString expected = m_settings.expectVersion;
    if (another) {
        // The unit left before it could be verified, and the next one is on the line: the first
        // is recorded as such, and the new one is taken as any new device is.
        const QString now = unitName(after, usbAfter);
        const QString was = unitName(before, m_listing.serialNumber);
        // On a port that stayed open the boards were swapped on a fixture.
        m_portStays = m_portStays || !m_readBackLostPort;
        const QString next = after.reply;
        const bool sameLine = outcome.port == m_settings.port && m_portOpen;
        finishUnit(Outcome::Failed, ReasonCode::kUnitReplaced,
                   tr("读回版本前设备被换下：应答的是另一台设备（%1），不是更新的设备（%2）")
                       .arg(now, was.isEmpty() ? tr("未知") : was),
                   sameLine ? &next : nullptr);
        return;
    }
    switch (outcome.verdict) {
    case ReadBack::Verdict::NewVersion:
        finishUnit(Outcome::Success, QString(), QString());
        return;
    case ReadBack::Verdict::SameVersion:
        finishUnit(Outcome::VersionMismatch, ReasonCode::kVersionMismatch,
                   tr("设备已重启，但版本未改变（%1）").arg(after.versionText()));
        return;
    case ReadBack::Verdict::UnexpectedVersion:
        finishUnit(Outcome::VersionMismatch, ReasonCode::kVersionMismatch,
                   tr("设备应答的版本不是 %1：%2").arg(expected, after.reply));
        return;
    case ReadBack::Verdict::AnotherUnit: // handled above
    case ReadBack::Verdict::Silence:
        finishUnit(Outcome::VersionMismatch, ReasonCode::kNoReadBack,
                   tr("设备未在 %1 秒内应答")
                       .arg(std::chrono::duration_cast<std::chrono::seconds>(
                                m_readBack.timing().limit)
                                .count()));
        return;
    }
}

PortSession::Status PortSession::status() const
{
    Status status;
    status.port = m_settings.port;
    status.step = m_step;
    status.phase = m_phase;
    status.shown = m_shown;
    status.total = m_total;
    status.stepMs = m_stepClock.elapsed();
    switch (m_step) {
    case Step::Checking:
        status.limitMs = DeviceTimeouts{}.replyOverall.count();
        break;
    case Step::Verifying:
        status.limitMs = m_readBack.timing().limit.count();
        break;
    default:
        break;
    }
    if (m_step == Step::Updating && m_phase == SerialWorker::UpdatePhase::Transferring) {
        status.rateKBps = m_rate.kbps();
        status.secondsLeft = FirmwareRules::secondsRemaining(m_shown, m_total, status.rateKBps);
    }
    status.units = m_units;
    status.lastOutcome = m_lastResult;
    status.lastReasonCode = m_lastReasonCode;
    status.lastUnit = m_lastUnit;
    if (m_step == Step::WaitingForDevice)
        status.waitingFor = m_lastNotice;
    return status;
}
