#include "cli/flashrun.h"

#include "production/portsession.h"
#include "device/devicetimeouts.h"
#include "update/firmwarerules.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
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

void onSignalCaught(int number)
{
    const char byte = char(number);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

int terminalColumns(std::FILE *stream)
{
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return kDefaultColumns;
}

QString timeStamp()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

// What a port's progress line shows, in the flasher's words: every wait says what it waits for
// and how long it has waited (of its limit, where it has one).
FlashReport::ProgressView progressView(const PortSession::Status &s)
{
    using Step = PortSession::Step;
    using Phase = SerialWorker::UpdatePhase;
    FlashReport::ProgressView v;
    v.port = s.port;
    v.shown = s.shown;
    v.total = s.total;
    const QString waited = FlashReport::waitText(s.stepMs, s.limitMs);
    switch (s.step) {
    case Step::WaitingForDevice:
        v.phase = QStringLiteral("waiting for a device (%1)").arg(waited);
        if (!s.waitingFor.isEmpty())
            v.phase += QStringLiteral(": ") + s.waitingFor;
        break;
    case Step::Connecting:
        v.phase = QStringLiteral("opening the port");
        break;
    case Step::Checking:
        v.phase = QStringLiteral("asking the device who it is (%1)").arg(waited);
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
        v.phase = QStringLiteral("verifying version: waiting for the application (%1)").arg(waited);
        break;
    case Step::WaitingForRemoval:
        v.phase = QStringLiteral("%1 %2, waiting for the device to go (%3)")
                      .arg(s.lastUnit.isEmpty() ? QStringLiteral("unit") : s.lastUnit,
                           s.lastOutcome, waited);
        break;
    case Step::Done:
        if (s.units == 0) {
            v.phase = QStringLiteral("stopped");
            break;
        }
        v.phase = s.lastOutcome;
        if (!s.lastReasonCode.isEmpty())
            v.phase += QStringLiteral(": ") + s.lastReasonCode;
        break;
    }
    return v;
}

QString resultLine(const UpdateRecord &r)
{
    QString line = QStringLiteral("%1  %2  %3").arg(r.port, r.outcome, FlashReport::unitText(r));
    if (!r.reasonCode.isEmpty())
        line += QStringLiteral("  %1: %2").arg(r.reasonCode, r.reason);
    line += QStringLiteral("  (%1 bytes, %2 s)").arg(r.bytesSent).arg(r.durationMs / 1000.0, 0,
                                                                        'f', 3);
    return line;
}
} // namespace

FlashRun::FlashRun(const FlashOptions &options, const FlashReport::ImageFacts &image, int sizeLimit,
                   const QString &recordsUrl)
    : m_options(options)
    , m_image(image)
    , m_sizeLimit(sizeLimit)
    , m_keeper(std::make_unique<RecordKeeper>(recordsUrl))
{
    // With the records on standard output, everything else goes to standard error.
    m_out = m_options.jsonToStdout() ? stderr : stdout;
    m_live = !m_options.quiet && ::isatty(::fileno(m_out));
    m_repaint.setInterval(kRepaintInterval);
    connect(&m_repaint, &QTimer::timeout, this, &FlashRun::repaint);
    m_deadline.setSingleShot(true);
    m_deadline.setInterval(kAbortDeadline);
    connect(&m_deadline, &QTimer::timeout, this, &FlashRun::forceEnd);
    connect(m_keeper.get(), &RecordKeeper::storeProblem, this,
            [this](const QString &message) { complain(message); });
}

FlashRun::~FlashRun()
{
    qDeleteAll(m_sessions);
}

void FlashRun::writeOut(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_out);
    std::fflush(m_out);
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

    // One set for the run: a unit moved to another fixture is known there too.
    const auto updated = std::make_shared<Production::RecentUnits>();
    for (const QString &port : std::as_const(m_options.ports)) {
        m_portWidth = qMax(m_portWidth, FlashReport::displayWidth(port));
        PortSession::Settings settings;
        settings.port = port;
        settings.image = m_image;
        settings.sizeLimit = m_sizeLimit;
        settings.expectVersion = m_options.expectVersion;
        settings.loop = m_options.loop;
        settings.allowRepeat = m_options.allowRepeat;
        settings.trace = m_options.verbose;
        settings.updated = updated;
        auto *session = new PortSession(settings);
        m_sessions.append(session);
        connect(session, &PortSession::unitFinished, this, &FlashRun::onUnitFinished);
        connect(session, &PortSession::unitSkipped, this, [this, port](const QString &unit) {
            ++m_skipped;
            say(QStringLiteral("%1  already-updated: %2 was updated earlier in this run; left as "
                               "it is (--allow-repeat updates it again)")
                    .arg(port, unit));
        });
        connect(session, &PortSession::changed, this,
                [this, session] { onSessionChanged(session); });
        connect(session, &PortSession::notice, this,
                [this, port](const QString &text) { say(port + QStringLiteral("  ") + text); });
        connect(session, &PortSession::trace, this,
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

void FlashRun::onUnitFinished(const UpdateRecord &record)
{
    writeRecord(record);
    ++m_units;
    if (record.outcome != QLatin1String("success"))
        ++m_failed;
    // Only what the summary shows stays: a batch's ports, or the loop's last units.
    m_recent.push_back(record);
    const int keep = m_options.loop ? kRecentUnits : qMax(kRecentUnits, int(m_sessions.size()));
    while (int(m_recent.size()) > keep)
        m_recent.pop_front();
    if (m_options.loop)
        say(resultLine(record));
}

void FlashRun::writeRecord(const UpdateRecord &record)
{
    const QByteArray line = FlashReport::jsonLine(record);
    if (m_options.jsonToStdout()) {
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        std::fflush(stdout);
    } else if (!m_options.jsonPath.isEmpty()) {
        QFile json(m_options.jsonPath);
        if (!json.open(QIODevice::WriteOnly | QIODevice::Append) || json.write(line) != line.size())
            complain(QStringLiteral("cannot write the record to %1: %2")
                         .arg(m_options.jsonPath, json.errorString()));
    }
    // Within two seconds: stored, or spooled to be stored later.
    const RecordKeeper::Result result = m_keeper->append(record);
    if (result.written == RecordKeeper::Written::Spooled)
        ++m_spooled;
    if (result.written != RecordKeeper::Written::Stored)
        complain(result.message);
    else if (m_lastWritten != RecordKeeper::Written::Stored)
        complain(QStringLiteral("the record store %1 takes records again")
                     .arg(m_keeper->storeName()));
    m_lastWritten = result.written;
}

void FlashRun::onSessionChanged(PortSession *session)
{
    if (m_options.quiet)
        return;
    if (m_live) {
        m_dirty = true;
        return;
    }
    // Plain lines: one per phase, and one at every 10 % of the transfer. A wait's own clock is
    // left out, so that it is one line too.
    const FlashReport::ProgressView view = progressView(session->status());
    const QString phase = view.phase.section(QStringLiteral(" ("), 0, 0);
    Shown &shown = m_shown[session];
    const int tenths = view.transferring ? FirmwareRules::percent(view.shown, view.total) / 10 : -1;
    if (phase == shown.phase && tenths <= shown.tenths)
        return;
    shown.phase = phase;
    shown.tenths = tenths;
    writeOut(timeStamp() + QStringLiteral("  ") + FlashReport::progressLine(view, m_portWidth) +
             QLatin1Char('\n'));
}

void FlashRun::repaint()
{
    // The waits' clocks move: lines are redrawn while anything waits, not only on changes.
    if (!m_dirty && m_sessions.isEmpty())
        return;
    m_dirty = false;
    const int columns = terminalColumns(m_out) - 1;
    QString text;
    if (m_drawnLines > 0)
        text += QStringLiteral("\x1b[%1A").arg(m_drawnLines);
    for (PortSession *session : std::as_const(m_sessions)) {
        text += QStringLiteral("\r\x1b[K") +
                FlashReport::clipToWidth(
                    FlashReport::progressLine(progressView(session->status()), m_portWidth),
                    columns) +
                QLatin1Char('\n');
    }
    m_drawnLines = int(m_sessions.size());
    writeOut(text);
}

void FlashRun::say(const QString &text)
{
    if (!m_live) {
        writeOut(timeStamp() + QStringLiteral("  ") + text + QLatin1Char('\n'));
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

void FlashRun::complain(const QString &text)
{
    // One line for a problem that lasts, not one per record.
    if (text == m_lastComplaint)
        return;
    m_lastComplaint = text;
    const QString line = QStringLiteral("fwflash: records: ") + text;
    if (m_live && ::isatty(STDERR_FILENO)) {
        say(line); // the same terminal: above the progress lines
        return;
    }
    std::fprintf(stderr, "%s\n", qPrintable(line));
    std::fflush(stderr);
}

void FlashRun::onSignal()
{
    char byte = 0;
    [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
    if (m_signal != 0) {
        forceEnd(); // a second signal does not wait for the workers
        return;
    }
    m_signal = byte == SIGTERM ? SIGTERM : SIGINT;
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
    QList<UpdateRecord> shown(m_recent.begin(), m_recent.end());
    if (!m_options.loop) {
        std::stable_sort(shown.begin(), shown.end(),
                         [this](const UpdateRecord &a, const UpdateRecord &b) {
                             return m_options.ports.indexOf(a.port) <
                                    m_options.ports.indexOf(b.port);
                         });
    }
    QString text = QStringLiteral("\n");
    if (!shown.isEmpty())
        text += FlashReport::summaryTable(shown);
    if (m_units > int(shown.size()))
        text += QStringLiteral("(the last %1 of %2 units; the records hold them all)\n")
                    .arg(shown.size())
                    .arg(m_units);
    if (m_options.loop) {
        text += QStringLiteral("Units: %1 passed, %2 failed").arg(m_units - m_failed).arg(m_failed);
        if (m_skipped > 0)
            text += QStringLiteral(", %1 skipped as updated earlier in this run").arg(m_skipped);
        text += QLatin1Char('\n');
    }
    if (m_spooled > 0)
        text += QStringLiteral("Records: %1 waiting in %2 for %3, which did not take them\n")
                    .arg(m_spooled)
                    .arg(m_keeper->spoolPath(), m_keeper->storeName());
    writeOut(text);

    // In the loop a signal while no unit runs is the normal end; it counts as an interruption
    // only when it cut a unit short.
    const bool interrupted = m_signal != 0 && (!m_options.loop || m_unitRunningAtSignal);
    m_exitStatus = FlashReport::exitStatus(m_failed, interrupted ? m_signal : 0);
    QCoreApplication::exit(m_exitStatus);
}
