#include "update/readback.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>

using std::chrono::milliseconds;

namespace {
milliseconds elapsed(const QElapsedTimer &clock)
{
    return milliseconds(clock.isValid() ? clock.elapsed() : 0);
}
} // namespace

ReadBack::ReadBack(PortEnumerator ports, QObject *parent)
    : QObject(parent), m_ports(ports ? std::move(ports) : PortEnumerator(systemSerialPorts))
{
    m_stepTimer.setSingleShot(true);
    m_limitTimer.setSingleShot(true);
    // The limit is a promise to the user: a coarse timer may fire 5 % early.
    m_limitTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_stepTimer, &QTimer::timeout, this, &ReadBack::step);
    connect(&m_limitTimer, &QTimer::timeout, this,
            [this] { finish(Verdict::Silence, DeviceIdentity()); });
}

void ReadBack::start(const Target &target, bool portOpen)
{
    m_target = target;
    m_port = target.port;
    m_portsBefore.clear();
    m_running = true;
    m_portOpen = portOpen;
    m_connectPending = false;
    m_queryPending = false;
    m_sinceOpen.start();
    m_sinceQuery.invalidate();
    if (!portOpen) {
        for (const PortListing &port : m_ports())
            m_portsBefore.insert(port.name);
    }
    m_limitTimer.start(m_timing.limit);
    schedule(portOpen ? m_timing.appStart : milliseconds(0));
}

void ReadBack::stop()
{
    m_running = false;
    m_stepTimer.stop();
    m_limitTimer.stop();
}

void ReadBack::onConnected()
{
    if (!m_running)
        return;
    m_connectPending = false;
    m_portOpen = true;
    m_sinceOpen.start();
    // A port that came back belongs to an application that is already up.
    m_sinceQuery.invalidate();
    schedule(milliseconds(0));
}

void ReadBack::onDisconnected()
{
    if (!m_running)
        return;
    m_connectPending = false;
    // A query on the line that went away gets no answer worth waiting for: ask again once the
    // device is back (a late reply to it is taken as no answer).
    m_queryPending = false;
    const bool wasOpen = m_portOpen;
    m_portOpen = false;
    if (wasOpen) {
        // A port that reappears under another name is one that was not listed now.
        const QList<PortListing> listed = m_ports();
        for (const PortListing &port : listed)
            m_portsBefore.insert(port.name);
        Q_EMIT portLost();
    }
    schedule(m_timing.portPoll);
}

void ReadBack::onConnectionFailed()
{
    if (!m_running)
        return;
    m_connectPending = false;
    schedule(m_timing.portPoll);
}

void ReadBack::onQueryResponse(const QString &response)
{
    if (!m_running || !m_queryPending)
        return;
    m_queryPending = false;
    const DeviceIdentity after = DeviceIdentity::fromReply(response);
    // Nothing yet (the application is still starting), or no device was reached: ask again.
    if (!m_portOpen || isWorkerRefusal(response) || after.isEmpty()) {
        schedule(m_timing.queryInterval);
        return;
    }
    finish(judgeReadBack(m_target.before, after, m_target.expectVersion), after);
}

void ReadBack::schedule(milliseconds delay)
{
    if (m_running)
        m_stepTimer.start(std::max(delay, milliseconds(0)));
}

void ReadBack::step()
{
    if (!m_running || m_queryPending || m_connectPending)
        return;
    if (m_portOpen) {
        const milliseconds untilStart = m_timing.appStart - elapsed(m_sinceOpen);
        const milliseconds untilQuery = m_sinceQuery.isValid()
                                            ? m_timing.queryInterval - elapsed(m_sinceQuery)
                                            : milliseconds(0);
        const milliseconds wait = std::max(untilStart, untilQuery);
        if (wait > milliseconds(0)) {
            schedule(wait);
            return;
        }
        m_queryPending = true;
        m_sinceQuery.start();
        Q_EMIT requestQuery();
        return;
    }
    const QString port = findPort();
    if (port.isEmpty()) {
        schedule(m_timing.portPoll);
        return;
    }
    m_port = port;
    m_connectPending = true;
    Q_EMIT requestConnect(port);
}

QString ReadBack::findPort() const
{
    const QList<PortListing> listed = m_ports();
    const QString own = m_target.port;
    const bool ownListed = std::any_of(listed.begin(), listed.end(),
                                       [&own](const PortListing &p) { return p.name == own; });
    if (ownListed || QFileInfo::exists(portLocation(own)))
        return own;
    return reappearedPort(m_target.listing, listed, m_portsBefore, m_target.followVidPid);
}

QString reappearedPort(const PortListing &was, const QList<PortListing> &listed,
                       const QSet<QString> &before, bool followVidPid)
{
    for (const PortListing &port : listed) {
        if (!was.serialNumber.isEmpty()) {
            if (port.serialNumber == was.serialNumber)
                return port.name;
        } else if (followVidPid && was.hasIds && port.hasIds && port.vendorId == was.vendorId &&
                   port.productId == was.productId && !before.contains(port.name)) {
            return port.name;
        }
    }
    return QString();
}

void ReadBack::finish(Verdict verdict, const DeviceIdentity &after)
{
    if (!m_running)
        return;
    stop();
    Outcome outcome;
    outcome.verdict = verdict;
    outcome.after = after;
    outcome.port = m_port;
    Q_EMIT finished(outcome);
}

ReadBack::Verdict judgeReadBack(const DeviceIdentity &before, const DeviceIdentity &after,
                                const QString &expectVersion)
{
    using Verdict = ReadBack::Verdict;
    if (after.isEmpty())
        return Verdict::Silence;
    if (before.hasFields() && after.hasFields() && before.serialNumber != after.serialNumber)
        return Verdict::AnotherUnit;
    const bool unchanged = !before.isEmpty() && after.versionText() == before.versionText();
    if (!expectVersion.isEmpty()) {
        if (carriesVersion(after.reply, expectVersion))
            return Verdict::NewVersion;
        return unchanged ? Verdict::SameVersion : Verdict::UnexpectedVersion;
    }
    return unchanged ? Verdict::SameVersion : Verdict::NewVersion;
}

bool isWorkerRefusal(const QString &response)
{
    const auto tr = [](const char *source) {
        return QCoreApplication::translate("SerialWorker", source);
    };
    return response == tr("串口未打开") || response == tr("设备未连接") ||
           response.startsWith(tr("写入错误：%1").arg(QString()));
}
