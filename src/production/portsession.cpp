#include "production/portsession.h"

#include "device/deviceidentity.h"
#include "device/versionrule.h"
#include "update/firmwarerules.h"

#include <QDateTime>
#include <QFileInfo>
#include <QThread>

#include <chrono>

using namespace std::chrono_literals;

namespace {
// How often a waiting session looks at its port.
constexpr auto kPollInterval = 500ms;
// Between identification queries while waiting for a new device.
constexpr auto kQueryInterval = 1000ms;

// Time on the clock, comparable with the limits above.
std::chrono::milliseconds elapsed(const QElapsedTimer &clock)
{
    return std::chrono::milliseconds(clock.elapsed());
}

bool portExists(const QString &port)
{
    return QFileInfo::exists(portLocation(port));
}

QString nowUtc()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}
} // namespace

PortSession::PortSession(const Settings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_thread(new QThread(this))
    , m_worker(new SerialWorker)
    , m_readBack(systemSerialPorts)
{
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

    m_worker->setDebugMode(false);
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start();

    m_poll.setInterval(kPollInterval);
    connect(&m_poll, &QTimer::timeout, this, &PortSession::poll);

    connect(&m_readBack, &ReadBack::requestConnect, this, &PortSession::requestConnect);
    connect(&m_readBack, &ReadBack::requestQuery, this, &PortSession::queryIdentification);
    connect(&m_readBack, &ReadBack::finished, this, &PortSession::onReadBackFinished);
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
    return m_step == Step::Connecting || m_step == Step::Updating || m_step == Step::Verifying;
}

void PortSession::beginUnit()
{
    m_record = Production::UnitRecord();
    m_record.timeUtc = nowUtc();
    m_record.port = m_settings.port;
    m_record.image = m_settings.image;
    m_record.expectedVersion = m_settings.expectVersion;
    m_unitClock.start();
    m_shown = 0;
    m_total = int(m_settings.image.size);
    m_phase = SerialWorker::UpdatePhase::Querying;
    m_queryPending = false;
    m_interrupted = false;
}

void PortSession::startUpdate()
{
    // The system's listing tells identical adapters apart in the record.
    const QString resolved =
        QFileInfo(portLocation(m_settings.port)).canonicalFilePath();
    const PortListing listing =
        listingFor(systemSerialPorts(), m_settings.port, resolved);
    m_record.serialNumber = listing.serialNumber;
    m_record.vidPid = vidPidText(listing);
    m_listing = listing;

    setStep(Step::Updating);
    Q_EMIT requestSetMaxFirmwareSize(m_settings.sizeLimit);
    Q_EMIT requestUpdate(m_settings.image.path);
}

void PortSession::finishUnit(Production::Outcome outcome, const QString &reason)
{
    m_record.outcome = outcome;
    m_record.reason = reason;
    m_record.durationMs = m_unitClock.elapsed();
    m_record.bytesSent = m_shown;
    m_queryPending = false;
    ++m_units;
    Q_EMIT unitFinished(m_record);
    if (m_settings.loop && !m_stopping) {
        m_departureBaseline = m_record.versionReadBack;
        m_baselineKnown = m_record.readBack;
        m_boardSilent = false;
        m_sinceQuery.start();
        setStep(Step::WaitingForRemoval);
        m_poll.start();
        return;
    }
    end();
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
        finishUnit(Production::Outcome::Interrupted,
                   QStringLiteral("interrupted before the update started"));
        break;
    case Step::Verifying:
        m_readBack.stop();
        finishUnit(Production::Outcome::Interrupted,
                   QStringLiteral("interrupted before the version was read back"));
        break;
    case Step::WaitingForDevice:
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
        finishUnit(Production::Outcome::Interrupted,
                   QStringLiteral("interrupted; the update did not stop in time"));
    else
        end();
}

void PortSession::deviceReplaced()
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
            Q_EMIT requestDisconnect();
            setStep(Step::WaitingForDevice);
        } else if (!m_queryPending && elapsed(m_sinceQuery) >= kQueryInterval) {
            queryIdentification();
        }
        break;
    case Step::Connecting:
    case Step::Updating:
    case Step::Verifying: // the read-back keeps its own time
    case Step::Done:
        break;
    }
}

void PortSession::queryIdentification()
{
    m_queryPending = true;
    m_sinceQuery.start();
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
        finishUnit(Production::Outcome::Interrupted,
                   QStringLiteral("interrupted before the update started"));
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
        finishUnit(Production::Outcome::Failed, error);
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
    m_record.queried = true;
    m_record.identification = identification;
    m_record.startCommand = Production::startCommandText(command);
}

void PortSession::onProgress(int bytesSent, int totalBytes)
{
    if (m_step != Step::Updating)
        return;
    m_total = totalBytes;
    m_shown = FirmwareRules::shownBytes(bytesSent, totalBytes);
    m_rate.add(m_shown, m_transferClock.elapsed());
    Q_EMIT changed();
}

void PortSession::onUpdateSuccess()
{
    if (m_step != Step::Updating)
        return;
    m_shown = m_total;
    if (m_settings.expectVersion.isEmpty()) {
        finishUnit(Production::Outcome::Success, QString());
        return;
    }
    if (m_stopping) {
        finishUnit(Production::Outcome::Interrupted,
                   QStringLiteral("interrupted before the version was read back"));
        return;
    }
    m_queryPending = false;
    setStep(Step::Verifying);
    ReadBack::Target target;
    target.port = m_settings.port;
    target.listing = m_listing;
    target.before = DeviceIdentity::fromReply(m_record.identification);
    target.expectVersion = m_settings.expectVersion;
    m_readBack.start(target, m_portOpen);
}

void PortSession::onUpdateFailed(const QString &reason)
{
    if (m_step != Step::Updating)
        return;
    finishUnit(m_interrupted ? Production::Outcome::Interrupted : Production::Outcome::Failed,
               reason);
}

void PortSession::onCommandResponse(const QString &reply)
{
    if (!m_queryPending)
        return;
    m_queryPending = false;
    if (m_step == Step::Verifying) {
        m_readBack.onQueryResponse(reply);
        return;
    }
    // A reply from a port that has gone since, or the worker's own refusal, tells nothing.
    if (!m_portOpen || isWorkerRefusal(reply))
        return;
    // Recorded and printed without raw control bytes, as the worker's identification is.
    const QString response = DeviceReply::escapedText(reply);
    if (m_step != Step::WaitingForRemoval)
        return;
    // On a port that stays, the reply tells the boards apart: a board that answered and then
    // falls silent is gone, and an answer after that silence, or a different answer, is the next
    // board. Silence before the first answer is an application still starting.
    if (response.isEmpty()) {
        m_boardSilent = m_baselineKnown;
        return;
    }
    if (!m_baselineKnown) {
        m_departureBaseline = response;
        m_baselineKnown = true;
        return;
    }
    if (m_boardSilent || response != m_departureBaseline) {
        beginUnit();
        startUpdate();
    }
}

void PortSession::onReadBackFinished(const ReadBack::Outcome &outcome)
{
    if (m_step != Step::Verifying)
        return;
    const QString reply = outcome.after.reply;
    m_record.readBack = !outcome.after.isEmpty();
    m_record.versionReadBack = reply;
    const QString expected = m_settings.expectVersion;
    switch (outcome.verdict) {
    case ReadBack::Verdict::NewVersion:
        finishUnit(Production::Outcome::Success, QString());
        return;
    case ReadBack::Verdict::SameVersion:
    case ReadBack::Verdict::UnexpectedVersion:
        finishUnit(Production::Outcome::VersionMismatch,
                   QStringLiteral("the application answers \"%1\", not version %2")
                       .arg(reply, expected));
        return;
    case ReadBack::Verdict::AnotherUnit:
        finishUnit(Production::Outcome::VersionMismatch,
                   QStringLiteral("another unit answers \"%1\" (serial number %2, not %3)")
                       .arg(reply, outcome.after.serialNumber,
                            DeviceIdentity::fromReply(m_record.identification).serialNumber));
        return;
    case ReadBack::Verdict::Silence:
        finishUnit(Production::Outcome::VersionMismatch,
                   QStringLiteral("the application did not answer within %1 s")
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
    if (m_step == Step::Updating && m_phase == SerialWorker::UpdatePhase::Transferring) {
        status.rateKBps = m_rate.kbps();
        status.secondsLeft = FirmwareRules::secondsRemaining(m_shown, m_total, status.rateKBps);
    }
    status.units = m_units;
    status.lastOutcome = m_record.outcome;
    status.lastReason = m_record.reason;
    return status;
}
