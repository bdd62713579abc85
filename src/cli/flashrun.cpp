#include "cli/flashrun.h"

#include "production/portsession.h"
#include "device/devicetimeouts.h"
#include "update/firmwarerules.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {
// Redraws of the progress lines on a terminal, at most this often.
constexpr auto kRepaintInterval = 200ms;
// After Ctrl+C the workers get this long to abort before their units are recorded as they are;
// the whole exit stays within a second.
constexpr auto kAbortDeadline = 600ms;
constexpr auto kThreadStop = 250ms;
// An abort during the transfer first tells the device's receiver (CAN) and lets that drain: the
// deadline must leave the worker time for it, or the device is left waiting for the next block.
static_assert(DeviceTimeouts{}.cancelDrain < kAbortDeadline);
constexpr int kDefaultColumns = 100;

int g_signalPipe[2] = {-1, -1};

void onSignalCaught(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

void writeOut(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

int terminalColumns()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return kDefaultColumns;
}

// What a port's progress line shows, in the flasher's words.
FlashReport::ProgressView progressView(const PortSession::Status &s)
{
    using Step = PortSession::Step;
    using Phase = SerialWorker::UpdatePhase;
    FlashReport::ProgressView v;
    v.port = s.port;
    v.shown = s.shown;
    v.total = s.total;
    switch (s.step) {
    case Step::WaitingForDevice:
        v.phase = QStringLiteral("waiting for a device");
        break;
    case Step::Connecting:
        v.phase = QStringLiteral("opening the port");
        break;
    case Step::Updating:
        switch (s.phase) {
        case Phase::Querying:
            v.phase = QStringLiteral("query");
            break;
        case Phase::WaitingForBootloader:
            v.phase = QStringLiteral("waiting for bootloader");
            break;
        case Phase::Transferring:
            v.phase = QStringLiteral("transferring");
            v.transferring = true;
            v.rateKBps = s.rateKBps;
            v.secondsLeft = s.secondsLeft;
            break;
        case Phase::CheckingReport:
            v.phase = QStringLiteral("checking report");
            break;
        }
        break;
    case Step::Verifying:
        v.phase = QStringLiteral("verifying version");
        break;
    case Step::WaitingForRemoval:
        v.phase = FlashReport::outcomeName(s.lastOutcome) +
                  QStringLiteral(", waiting for the device to go");
        break;
    case Step::Done:
        if (s.units == 0) {
            v.phase = QStringLiteral("stopped");
            break;
        }
        v.phase = FlashReport::outcomeName(s.lastOutcome);
        if (!s.lastReason.isEmpty())
            v.phase += QStringLiteral(": ") + s.lastReason;
        break;
    }
    return v;
}

QString resultLine(const FlashReport::UnitRecord &r)
{
    QString line = QStringLiteral("%1  %2").arg(r.port, FlashReport::outcomeName(r.outcome));
    if (!r.reason.isEmpty())
        line += QStringLiteral(": ") + r.reason;
    line +=
        QStringLiteral("  (%1 bytes, %2 s)").arg(r.bytesSent).arg(r.durationMs / 1000.0, 0, 'f', 1);
    return line;
}
} // namespace

FlashRun::FlashRun(const FlashOptions &options, const FlashReport::ImageFacts &image, int sizeLimit)
    : m_options(options), m_image(image), m_sizeLimit(sizeLimit)
{
    m_live = !m_options.quiet && ::isatty(STDOUT_FILENO);
    m_repaint.setInterval(kRepaintInterval);
    connect(&m_repaint, &QTimer::timeout, this, &FlashRun::repaint);
    m_deadline.setSingleShot(true);
    m_deadline.setInterval(kAbortDeadline);
    connect(&m_deadline, &QTimer::timeout, this, &FlashRun::forceEnd);
}

FlashRun::~FlashRun()
{
    qDeleteAll(m_sessions);
}

int FlashRun::exec()
{
    // Ctrl+C and SIGTERM arrive through a pipe, so they are handled in the event loop.
    if (::pipe(g_signalPipe) == 0) {
        m_signalNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
        connect(m_signalNotifier, &QSocketNotifier::activated, this, &FlashRun::onSignal);
        std::signal(SIGINT, onSignalCaught);
        std::signal(SIGTERM, onSignalCaught);
    }
    if (m_options.nextOnEnter) {
        m_inputNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(m_inputNotifier, &QSocketNotifier::activated, this, &FlashRun::onInput);
    }

    for (const QString &port : std::as_const(m_options.ports)) {
        m_portWidth = qMax(m_portWidth, FlashReport::displayWidth(port));
        PortSession::Settings settings;
        settings.port = port;
        settings.image = m_image;
        settings.sizeLimit = m_sizeLimit;
        settings.expectVersion = m_options.expectVersion;
        settings.loop = m_options.loop;
        auto *session = new PortSession(settings);
        m_sessions.append(session);
        connect(session, &PortSession::unitFinished, this, &FlashRun::onUnitFinished);
        connect(session, &PortSession::changed, this,
                [this, session] { onSessionChanged(session); });
        connect(session, &PortSession::notice, this,
                [this, port](const QString &text) { say(port + QStringLiteral("  ") + text); });
        connect(session, &PortSession::finished, this, &FlashRun::onSessionFinished,
                Qt::QueuedConnection);
    }
    if (m_live)
        m_repaint.start();
    for (PortSession *session : std::as_const(m_sessions))
        session->start();

    QCoreApplication::exec();

    // Every session is done: the workers release their ports as their threads end.
    const QDeadlineTimer deadline(kThreadStop);
    bool stopped = true;
    for (PortSession *session : std::as_const(m_sessions))
        stopped = session->stopThread(deadline) && stopped;
    if (!stopped) {
        // A worker stuck in a wait would hold the exit past its second: leave without it. The
        // records are written and the ports close with the process.
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(m_exitStatus);
    }
    return m_exitStatus;
}

void FlashRun::onUnitFinished(const FlashReport::UnitRecord &record)
{
    m_records.append(record);
    if (!m_options.jsonPath.isEmpty()) {
        QFile json(m_options.jsonPath);
        const QByteArray line = FlashReport::jsonLine(record);
        if (!json.open(QIODevice::WriteOnly | QIODevice::Append) || json.write(line) != line.size())
            std::fprintf(stderr, "fwflash: cannot write the record to %s: %s\n",
                         qPrintable(m_options.jsonPath), qPrintable(json.errorString()));
    }
    if (m_options.loop)
        say(resultLine(record));
}

void FlashRun::onSessionChanged(PortSession *session)
{
    if (m_options.quiet)
        return;
    if (m_live) {
        m_dirty = true;
        return;
    }
    // Plain lines: one per phase, and one at every 10 % of the transfer.
    const FlashReport::ProgressView view = progressView(session->status());
    Shown &shown = m_shown[session];
    const int tenths = view.transferring ? FirmwareRules::percent(view.shown, view.total) / 10 : -1;
    if (view.phase == shown.phase && tenths <= shown.tenths)
        return;
    shown.phase = view.phase;
    shown.tenths = tenths;
    writeOut(QDateTime::currentDateTimeUtc().toString(Qt::ISODate) + QStringLiteral("  ") +
             FlashReport::progressLine(view, m_portWidth) + QLatin1Char('\n'));
}

void FlashRun::repaint()
{
    if (!m_dirty)
        return;
    m_dirty = false;
    const int columns = terminalColumns() - 1;
    QString text;
    if (m_drawnLines > 0)
        text += QStringLiteral("\x1b[%1A").arg(m_drawnLines);
    for (PortSession *session : std::as_const(m_sessions)) {
        text += QStringLiteral("\r\x1b[K") +
                FlashReport::clipToWidth(FlashReport::progressLine(progressView(session->status()), m_portWidth),
                                         columns) +
                QLatin1Char('\n');
    }
    m_drawnLines = int(m_sessions.size());
    writeOut(text);
}

void FlashRun::say(const QString &text)
{
    if (!m_live) {
        writeOut(text + QLatin1Char('\n'));
        return;
    }
    // Above the progress lines, which are then drawn again below it.
    QString out;
    if (m_drawnLines > 0)
        out += QStringLiteral("\x1b[%1A\r\x1b[J").arg(m_drawnLines);
    m_drawnLines = 0;
    writeOut(out + text + QLatin1Char('\n'));
    m_dirty = true;
    repaint();
}

void FlashRun::onSignal()
{
    char byte;
    [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
    if (m_signalled) {
        forceEnd(); // a second Ctrl+C does not wait for the workers
        return;
    }
    m_signalled = true;
    for (PortSession *session : std::as_const(m_sessions))
        m_unitRunningAtSignal = m_unitRunningAtSignal || session->unitRunning();
    m_deadline.start();
    for (PortSession *session : std::as_const(m_sessions))
        session->interrupt();
}

void FlashRun::forceEnd()
{
    for (PortSession *session : std::as_const(m_sessions))
        session->forceEnd();
}

void FlashRun::onInput()
{
    char buffer[256];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
        m_inputNotifier->setEnabled(false); // end of input: Enter can no longer come
        return;
    }
    if (!QByteArray(buffer, int(n)).contains('\n'))
        return;
    for (PortSession *session : std::as_const(m_sessions))
        session->deviceReplaced();
}

void FlashRun::onSessionFinished()
{
    for (PortSession *session : std::as_const(m_sessions)) {
        if (session->step() != PortSession::Step::Done)
            return;
    }
    finish();
}

void FlashRun::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_deadline.stop();
    m_repaint.stop();
    if (m_live) {
        m_dirty = true;
        repaint();
    }

    // One batch is summed up in the order the ports were given; the loop in the order of units.
    if (!m_options.loop) {
        std::stable_sort(
            m_records.begin(), m_records.end(),
            [this](const FlashReport::UnitRecord &a, const FlashReport::UnitRecord &b) {
                return m_options.ports.indexOf(a.port) < m_options.ports.indexOf(b.port);
            });
    }
    QList<FlashReport::Outcome> outcomes;
    int passed = 0;
    for (const FlashReport::UnitRecord &record : std::as_const(m_records)) {
        outcomes.append(record.outcome);
        passed += record.outcome == FlashReport::Outcome::Success ? 1 : 0;
    }
    QString text = QStringLiteral("\n");
    if (!m_records.isEmpty())
        text += FlashReport::summaryTable(m_records);
    if (m_options.loop)
        text += QStringLiteral("Units: %1 passed, %2 failed\n")
                    .arg(passed)
                    .arg(m_records.size() - passed);
    writeOut(text);

    // In the loop Ctrl+C is the normal end; it counts as an interruption only when it cut a unit
    // short.
    const bool interrupted = m_signalled && (!m_options.loop || m_unitRunningAtSignal);
    m_exitStatus = FlashReport::exitStatus(outcomes, interrupted);
    QCoreApplication::exit(m_exitStatus);
}
