#include "station/stationwindow.h"

#include "device/deviceidentity.h"
#include "device/devicetimeouts.h"
#include "device/reasoncode.h"
#include "production/imagefacts.h"
#include "production/portnames.h"
#include "station/porttile.h"
#include "station/recordqueue.h"
#include "ui/theme.h"
#include "update/firmwarecheck.h"
#include "update/portdiscovery.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSettings>

#include <chrono>

using namespace std::chrono_literals;

namespace {
// After 停止 the workers get this long to cancel their transfers (the device's receiver is told
// with CAN and the line drains) before their units are recorded as they stand.
constexpr auto kStopDeadline = 1500ms;
static_assert(DeviceTimeouts{}.cancelDrain < kStopDeadline);
// The workers' threads, once every session has ended.
constexpr auto kThreadStop = 500ms;
} // namespace

bool StationWindow::unitsRunning() const
{
    for (const PortSession *session : m_sessions) {
        if (session->unitRunning())
            return true;
    }
    return false;
}

void StationWindow::toggleRun()
{
    if (m_stopping)
        return;
    if (isRunning())
        stop();
    else
        start();
}

void StationWindow::start()
{
    const QString version = m_versionEdit->text().trimmed();
    const QString refusal =
        Station::startRefusal(!m_image.path.isEmpty(), int(m_ticked.size()), version);
    if (!refusal.isEmpty()) {
        setStatus(refusal, true);
        return;
    }
    // A link and its target are one device: two workers must not share it.
    const QStringList ports = tickedPorts();
    QStringList resolved;
    for (const QString &port : ports)
        resolved << QFileInfo(portLocation(port)).canonicalFilePath();
    const auto [first, second] = Production::samePortTwice(resolved);
    if (first >= 0) {
        setStatus(tr("%1 和 %2 是同一个串口，请只勾选其中一个。").arg(ports[first], ports[second]),
                  true);
        return;
    }
    // The image is read again: a file changed since it was chosen is not sent unseen.
    const int limit = FirmwareCheck::storedSizeLimit(*m_settings);
    QString why;
    const std::optional<Production::ImageFacts> facts =
        Production::readImageFacts(m_image.path, limit, &why);
    if (!facts || facts->sha256 != m_image.sha256) {
        clearImage();
        setStatus(facts ? tr("固件文件在选定后已被修改，请重新选择。") : why, true);
        return;
    }

    buildTiles();
    m_counters = Station::Counters();
    m_dirty = QList<bool>(ports.size(), false);
    // One set for the run: a board moved to another port is known there too.
    const auto updated = std::make_shared<Production::RecentUnits>();
    for (int i = 0; i < ports.size(); ++i) {
        PortSession::Settings settings;
        settings.port = ports[i];
        settings.image = m_image;
        settings.sizeLimit = limit;
        settings.expectVersion = version;
        settings.loop = true;
        settings.program = QStringLiteral("fwstation");
        settings.updated = updated;
        auto *session = new PortSession(settings, this);
        m_sessions << session;
        connect(session, &PortSession::changed, this, [this, i] { onSessionChanged(i); });
        connect(session, &PortSession::unitFinished, this,
                [this, i](const UpdateRecord &record) { onUnitFinished(i, record); });
        connect(session, &PortSession::unitSkipped, this,
                [this, i, port = ports[i]](const QString &unit) {
                    setStatus(tr("%1：%2 在本次运行中已更新过，未再次烧录。").arg(port, unit));
                    // The tile tells this board, not the port's previous one.
                    m_lastUnits.insert(port, {ReasonCode::kAlreadyUpdated, QString(), unit});
                    paintTile(i);
                });
        connect(session, &PortSession::notice, this, [this, port = ports[i]](const QString &text) {
            setStatus(tr("%1：%2").arg(port, text));
        });
        connect(session, &PortSession::finished, this, &StationWindow::onSessionFinished,
                Qt::QueuedConnection);
    }
    m_portScan.stop();
    m_runClock.start();
    m_clock.start();
    m_repaint.start();
    refreshControls();
    showCounters();
    setStatus(tr("正在烧录 %1 个串口：%2").arg(ports.size()).arg(m_image.fileName));
    for (PortSession *session : std::as_const(m_sessions))
        session->start();
}

void StationWindow::stop()
{
    if (!isRunning() || m_stopping)
        return;
    m_stopping = true;
    refreshControls();
    setStatus(tr("正在停止…"));
    m_stopDeadline.start(kStopDeadline);
    // Each session ends at once when it waits, or aborts its unit through the worker, which
    // cancels the transfer on the device.
    const QList<PortSession *> sessions = m_sessions;
    for (PortSession *session : sessions)
        session->interrupt();
}

void StationWindow::onSessionFinished()
{
    for (const PortSession *session : std::as_const(m_sessions)) {
        if (session->step() != PortSession::Step::Done)
            return;
    }
    if (isRunning())
        endRun();
}

void StationWindow::endRun()
{
    m_stopDeadline.stop();
    m_repaint.stop();
    m_clock.stop();
    for (int i = 0; i < m_sessions.size(); ++i)
        paintTile(i);
    const QDeadlineTimer deadline(kThreadStop);
    for (PortSession *session : std::as_const(m_sessions)) {
        session->stopThread(deadline);
        disconnect(session, nullptr, this, nullptr);
        session->deleteLater();
    }
    m_sessions.clear();
    m_stopping = false;
    m_portScan.start();
    scanPorts();
    refreshControls();
    showCounters();
    setStatus(tr("已停止。本次通过 %1 块，失败 %2 块。")
                  .arg(m_counters.passed)
                  .arg(m_counters.failed));
}

void StationWindow::buildTiles()
{
    if (isRunning())
        return;
    const QStringList ports = tickedPorts();
    const QList<PortTile *> &shown = m_grid->tiles();
    bool same = shown.size() == ports.size();
    for (int i = 0; same && i < ports.size(); ++i)
        same = shown[i]->view().port == ports[i];
    if (same) {
        for (int i = 0; i < ports.size(); ++i)
            shown[i]->showView(Station::idleTileView(ports[i], m_lastUnits.value(ports[i])));
        return;
    }
    QList<PortTile *> tiles;
    for (int i = 0; i < ports.size(); ++i) {
        auto *tile = new PortTile;
        tile->showView(Station::idleTileView(ports[i], m_lastUnits.value(ports[i])));
        connect(tile, &PortTile::retryRequested, this, [this, i] { retry(i); });
        tiles << tile;
    }
    m_grid->setTiles(tiles);
}

void StationWindow::onSessionChanged(int index)
{
    // A new phase or colour shows at once; progress within a phase waits for the next repaint.
    const PortTile *tile = m_grid->tiles().value(index);
    if (!tile)
        return;
    const PortSession::Status status = m_sessions[index]->status();
    const Station::Phase phase = Station::phaseOf(status);
    if (phase != tile->view().phase)
        paintTile(index);
    else
        m_dirty[index] = true;
}

void StationWindow::paintTile(int index)
{
    PortTile *tile = m_grid->tiles().value(index);
    if (!tile || index >= m_sessions.size())
        return;
    const PortSession::Status status = m_sessions[index]->status();
    tile->showView(Station::tileView(status, m_lastUnits.value(status.port)));
    m_dirty[index] = false;
}

void StationWindow::paintDirtyTiles()
{
    for (int i = 0; i < m_dirty.size(); ++i) {
        if (m_dirty[i])
            paintTile(i);
    }
}

void StationWindow::onUnitFinished(int index, const UpdateRecord &record)
{
    Station::LastUnit last;
    last.outcome = record.outcome;
    last.reason = record.reason;
    last.unit = Station::unitText(record.identBefore);
    m_lastUnits.insert(record.port, last);
    m_counters.add(last.outcome);
    addResult(record.port, last);
    showCounters();
    m_records->append(record);
    paintTile(index);
}

void StationWindow::retry(int index)
{
    // Only a failed board still on its port is tried again; the rest of the run goes on.
    if (m_stopping || index >= m_sessions.size())
        return;
    PortTile *tile = m_grid->tiles().value(index);
    if (!tile || !tile->view().retryOffered)
        return;
    m_sessions[index]->retry();
}

void StationWindow::showCounters()
{
    const qint64 runMs = isRunning() ? m_runClock.elapsed() : 0;
    m_passed->setText(QString::number(m_counters.passed));
    m_failed->setText(QString::number(m_counters.failed));
    m_yield->setText(Station::yieldText(m_counters));
    // Between runs the rate of the last run stays.
    if (isRunning() || m_counters.units() == 0)
        m_perHour->setText(Station::unitsPerHourText(m_counters, runMs));
}

void StationWindow::addResult(const QString &port, const Station::LastUnit &unit)
{
    const QString time = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss"));
    auto *item = new QListWidgetItem(Station::resultLine(time, port, unit));
    item->setToolTip(item->text());
    const Station::Tally tally = Station::tallyOf(unit.outcome);
    if (tally != Station::Tally::Neither)
        item->setForeground(QColor(QLatin1String(tally == Station::Tally::Passed
                                                     ? Theme::kPassGreen
                                                     : Theme::kDanger)));
    m_results->insertItem(0, item);
    while (m_results->count() > Station::kRecentResults)
        delete m_results->takeItem(m_results->count() - 1);
}
