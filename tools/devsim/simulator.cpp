#include "simulator.h"

#include "narration.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace DevSim {

namespace {
// A sender waits at most 4096 ms for a reply before it repeats a block; this much silence in the
// middle of a transfer means it gave up, and the bootloader returns to the application.
constexpr int kAbandonedTransferMs = 6000;
// With --once the line stays up this long after the update, so the host can finish reading the
// report before its port goes away.
constexpr int kOnceLingerMs = 500;
// A board whose port re-enumerates leaves the line this soon after its report, when its
// application starts.
constexpr int kReenumerateLeaveMs = 100;
// A board on a fixture is taken off a while after its update, as a person would.
constexpr int kSwapLeaveMs = 3000;
// The next board: unplugged at the latest this long after its update, when the station never
// asked for its version, and this long after its application answered, so the reply is out.
constexpr int kUnplugLatestMs = 3000;
constexpr int kAnswerDrainMs = 100;
// Progress is printed at every quarter of the image.
constexpr int kProgressSteps = 4;
} // namespace

QByteArray identificationOf(const QString &text, int board)
{
    QString filled = text;
    filled.replace(QLatin1String("{n}"), QString::number(board));
    return filled.toUtf8() + "\r\n";
}

Simulator::Simulator(Options options)
    : m_options(std::move(options))
{
    m_watchdog.setSingleShot(true);
    m_watchdog.setInterval(kAbandonedTransferMs);
    connect(&m_watchdog, &QTimer::timeout, this, [this] { onAbandoned(); });
}

ScriptedDevice::Script Simulator::boardScript() const
{
    ScriptedDevice::Script script = m_options.script;
    script.identification = ScriptedDevice::silence();
    if (m_options.identification)
        script.identification =
            ScriptedDevice::text(identificationOf(*m_options.identification, m_board));
    if (m_options.identificationAfterUpdate) {
        script.identificationAfterUpdate = ScriptedDevice::text(
            identificationOf(*m_options.identificationAfterUpdate, m_board));
        if (m_boardUpdated)
            script.identification = *script.identificationAfterUpdate;
    }
    YmodemReceiver::Faults &faults = script.faults;
    switch (m_fault.kind) {
    case BoardFault::Kind::None:
        break;
    case BoardFault::Kind::Cancel:
        faults.cancelAtBlock = m_fault.block;
        break;
    case BoardFault::Kind::Silence:
    case BoardFault::Kind::LostPort: // the block is never answered: the line goes first
        faults.silentAtBlock = m_fault.block;
        faults.silentAttempts = -1;
        break;
    case BoardFault::Kind::Nak:
        faults.nakBlockOnce = m_fault.block;
        break;
    case BoardFault::Kind::NoIdentification:
        script.identification = ScriptedDevice::silence();
        script.identificationAfterUpdate.reset();
        break;
    }
    return script;
}

bool Simulator::start()
{
    m_fault = drawFault(m_options, m_board);
    m_losePortAt = m_fault.kind == BoardFault::Kind::LostPort ? m_fault.block : m_options.losePortAt;
    m_device = std::make_unique<ScriptedDevice>(boardScript());
    if (!m_device->isValid()) {
        complain(QStringLiteral("cannot open a pseudo-terminal"));
        return false;
    }
    QString port = m_device->portName();
    if (m_options.paced) {
        m_link = std::make_unique<PacedLink>(m_device->portName(), m_options.baud);
        if (!m_link->isValid()) {
            complain(QStringLiteral("cannot set up the paced link"));
            return false;
        }
        port = m_link->hostPortName();
    }
    // Read on the device's thread: the value, not the member.
    const QString losePortEvent = QStringLiteral("block:%1").arg(m_losePortAt);
    m_device->setEventHook([this, losePortEvent](ScriptedDevice &device, const QString &event) {
        if (event == losePortEvent) {
            device.closeMaster(); // runs inline on the device thread
        }
        QMetaObject::invokeMethod(
            this, [this, event] { onEvent(event); }, Qt::QueuedConnection);
    });
    if (!m_options.linkPath.isEmpty()) {
        removeLink();
        if (!QFile::link(port, m_options.linkPath)) {
            complain(QStringLiteral("cannot make the link %1").arg(m_options.linkPath));
            return false;
        }
    }
    say(QStringLiteral("Device ready. Port to use: %1").arg(port));
    if (!m_options.linkPath.isEmpty())
        say(QStringLiteral("Also reachable as %1").arg(m_options.linkPath));
    say(m_options.paced
            ? QStringLiteral("Line: %1 baud, 8N1, paced like a real UART")
                  .arg(m_link->baudRate())
            : QStringLiteral("Line: unpaced (as fast as the pseudo-terminal goes)"));
    if (m_options.randomFaultPercent > 0 && m_board == 1 && !m_boardUpdated)
        say(QStringLiteral("Random faults in %1 % of the boards, seed %2")
                .arg(m_options.randomFaultPercent)
                .arg(m_options.seed));
    if (nextBoardMode() || m_options.randomFaultPercent > 0)
        say(QStringLiteral("Board %1 is on the line: %2").arg(m_board).arg(faultText(m_fault)));
    return true;
}

void Simulator::onEvent(const QString &event)
{
    if (!m_device)
        return; // the board has left the line
    // The receiver's own requests are no sign of a sender.
    if (m_receiving && !event.startsWith(QLatin1String("C:")))
        m_watchdog.start();
    if (event == QLatin1String("identification")) {
        const bool silent = !m_options.identification ||
                            m_fault.kind == BoardFault::Kind::NoIdentification;
        say(silent ? QStringLiteral("Identification query: staying silent")
                   : QStringLiteral("Identification query answered"));
        if (m_leaveOnAnswer) {
            // The station has asked for the new version: the operator unplugs the board.
            m_leaveOnAnswer = false;
            QTimer::singleShot(kAnswerDrainMs, this,
                               [this, generation = m_leaveGeneration] { leaveWhenDue(generation); });
        }
    } else if (event.startsWith(QLatin1String("command:"))) {
        say(QStringLiteral("Command received: %1").arg(event.mid(8)));
    } else if (event == QLatin1String("start:fwupd")) {
        say(QStringLiteral("Start command *FWUPD received: entering the bootloader"));
    } else if (event == QLatin1String("start:legacy")) {
        say(QStringLiteral("Legacy start command received: entering the bootloader"));
    } else if (event == QLatin1String("menu")) {
        say(QStringLiteral("Bootloader menu printed"));
    } else if (event == QLatin1String("choice")) {
        say(QStringLiteral("Download chosen"));
    } else if (event.startsWith(QLatin1String("C:"))) {
        if (!m_receiving) {
            say(QStringLiteral("Receiver ready: asking for the file in CRC mode"));
            m_watchdog.start();
        }
        m_receiving = true;
        m_announced = false;
        m_arrivals.clear();
    } else if (event.startsWith(QLatin1String("block:"))) {
        onBlock(event.mid(6).toInt());
    } else if (event == QLatin1String("finished")) {
        onFinished();
    } else if (event == QLatin1String("cancelled")) {
        say(QStringLiteral("The receiver cancelled the transfer; the device restarts"));
        m_device->restart();
        endOfUpdate(false);
        boardDone();
        if (m_options.swapInPlace)
            swapBoard(); // the failed board is taken off the fixture at once
    } else if (event == QLatin1String("host-cancel")) {
        say(QStringLiteral("The sender cancelled the transfer (CAN); the device starts its "
                           "application again"));
        endOfUpdate(false);
        boardDone();
    } else if (event == QLatin1String("cancel-ignored")) {
        say(QStringLiteral("  Fault: the sender's cancel (CAN) ignored, as asked; the receiver "
                           "keeps waiting"));
    } else if (event == QLatin1String("receiver-timeout")) {
        say(QStringLiteral("The receiver timed out waiting for a block: it gives up the "
                           "transfer and asks for a new file"));
    } else if (event == QLatin1String("closed")) {
        say(QStringLiteral("The line was closed"));
    }
}

void Simulator::onBlock(int target)
{
    if (target == 0 && !m_announced) {
        // A header block that was not taken (a scripted silence) declares nothing yet.
        const YmodemReceiver receiver = m_device->receiver();
        m_declaredSize = receiver.declaredSize();
        m_nextStep = 1;
        if (m_declaredSize >= 0) {
            m_announced = true;
            say(QStringLiteral("Receiving \"%1\", %2 bytes")
                    .arg(QString::fromUtf8(receiver.fileName()))
                    .arg(m_declaredSize));
        }
    }
    sayFault(target, ++m_arrivals[target]);
    if (target == m_losePortAt) {
        say(QStringLiteral("Line dropped at %1, as asked").arg(targetName(target)));
        replaceLostDevice();
        return;
    }
    const int total = blockCount(qMax<qint64>(m_declaredSize, 0));
    if (target > 0 && total > 0 && m_nextStep < kProgressSteps &&
        target * kProgressSteps >= total * m_nextStep) {
        say(QStringLiteral("  %1 %  (block %2 of %3)")
                .arg(100 * m_nextStep / kProgressSteps)
                .arg(target)
                .arg(total));
        ++m_nextStep;
    }
}

void Simulator::sayFault(int target, int arrival)
{
    const YmodemReceiver::Faults faults = boardScript().faults;
    if (target == m_losePortAt)
        return; // said when the line goes
    if (target == -1)
        return; // a damaged block: no target, and -1 also stands for "no such fault"
    if (target == faults.silentAtBlock &&
        (faults.silentAttempts < 0 || arrival <= faults.silentAttempts))
        say(QStringLiteral("  Fault: no answer to %1").arg(targetName(target)));
    else if (target == faults.cancelAtBlock)
        say(QStringLiteral("  Fault: CAN CAN to %1").arg(targetName(target)));
    else if (target == faults.nakBlockOnce && arrival == 1)
        say(QStringLiteral("  Fault: NAK to %1").arg(targetName(target)));
    else if (target == m_options.script.lateReplyBlock && arrival == 1)
        say(QStringLiteral("  Fault: %1 answered %2 ms late, and its copy too")
                .arg(targetName(target))
                .arg(m_options.script.lateReplyMs));
}

void Simulator::onFinished()
{
    const YmodemReceiver receiver = m_device->receiver();
    const QByteArray data = receiver.fileData();
    const QString path = savePathFor(safeFileName(receiver.fileName()));
    say(QStringLiteral("Transfer complete: end of batch acknowledged"));

    bool matched = true;
    if (receiver.failed()) {
        matched = false;
        say(QStringLiteral("  Block checks FAILED: %1").arg(receiver.error()));
    } else {
        say(QStringLiteral("  Block checks passed"));
    }
    if (data.size() == receiver.declaredSize()) {
        say(QStringLiteral("  Size matches the declared %1 bytes")
                .arg(receiver.declaredSize()));
    } else {
        matched = false;
        say(QStringLiteral("  Size MISMATCH: %1 bytes received, %2 declared")
                .arg(data.size())
                .arg(receiver.declaredSize()));
    }
    say(QStringLiteral("  ") + vectorTableText(data));
    if (!m_options.expectPath.isEmpty())
        matched = compareWithExpected(data) && matched;

    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit())
        say(QStringLiteral("  Saved to %1").arg(path));
    else
        say(QStringLiteral("  Could not save to %1: %2").arg(path, file.errorString()));
    say(matched ? QStringLiteral("Result: the image MATCHED")
                : QStringLiteral("Result: the image did NOT match"));
    endOfUpdate(matched);
    if (nextBoardMode()) {
        boardDone();
    } else if (m_options.returnAfterMs >= 0 && !m_options.once) {
        const int leaveMs = m_options.sameBoardBack ? kReenumerateLeaveMs : kSwapLeaveMs;
        QTimer::singleShot(leaveMs, this, [this] {
            if (m_options.swapInPlace)
                swapBoard();
            else
                leaveTheLine();
        });
    }
}

bool Simulator::nextBoardMode() const
{
    return m_options.returnAfterMs >= 0 && !m_options.sameBoardBack && !m_options.swapInPlace &&
           !m_options.once;
}

void Simulator::boardDone()
{
    if (!nextBoardMode() || !m_device)
        return;
    const quint64 generation = ++m_leaveGeneration;
    const bool onAnswer = m_options.leaveAfterMs < 0;
    m_leaveOnAnswer = onAnswer;
    QTimer::singleShot(onAnswer ? kUnplugLatestMs : m_options.leaveAfterMs, this,
                       [this, generation] { leaveWhenDue(generation); });
}

void Simulator::leaveWhenDue(quint64 generation)
{
    // Only the board whose update scheduled this leave goes, and only once.
    if (generation != m_leaveGeneration || !m_device)
        return;
    ++m_leaveGeneration;
    m_leaveOnAnswer = false;
    leaveTheLine();
}

void Simulator::swapBoard()
{
    if (!m_device)
        return;
    ScriptedDevice::Script gone = boardScript();
    gone.identification = ScriptedDevice::silence();
    m_device->setScript(gone);
    ++m_board;
    m_boardUpdated = false;
    say(QStringLiteral("The board was taken off the line; the next one comes in %1 ms")
            .arg(m_options.returnAfterMs));
    QTimer::singleShot(m_options.returnAfterMs, this, [this] {
        if (!m_device)
            return;
        m_device->setScript(boardScript());
        m_device->restart();
        say(QStringLiteral("Board %1 is on the line").arg(m_board));
    });
}

void Simulator::leaveTheLine()
{
    m_link.reset();
    m_device.reset();
    removeLink();
    m_boardUpdated = m_options.sameBoardBack;
    if (!m_options.sameBoardBack)
        ++m_board;
    say(m_options.sameBoardBack
            ? QStringLiteral("The board left the line; it comes back in %1 ms")
                  .arg(m_options.returnAfterMs)
            : QStringLiteral("The board was unplugged; the next one comes in %1 ms")
                  .arg(m_options.returnAfterMs));
    QTimer::singleShot(m_options.returnAfterMs, this, [this] {
        if (!start())
            QCoreApplication::exit(2);
    });
}

void Simulator::removeLink()
{
    if (!m_options.linkPath.isEmpty() && QFileInfo(m_options.linkPath).isSymLink())
        QFile::remove(m_options.linkPath);
}

QString Simulator::savePathFor(const QString &name)
{
    const QString wanted = QDir(m_options.outputDir).absoluteFilePath(name);
    if (m_savedAs.contains(wanted))
        return m_savedAs.value(wanted);
    QString path = wanted;
    for (int n = 1; QFileInfo::exists(path); ++n)
        path = QStringLiteral("%1.%2").arg(wanted).arg(n);
    m_savedAs.insert(wanted, path);
    return path;
}

bool Simulator::compareWithExpected(const QByteArray &data)
{
    const QByteArray &expected = m_options.expected;
    const qsizetype common = qMin(data.size(), expected.size());
    for (qsizetype i = 0; i < common; ++i) {
        if (data.at(i) != expected.at(i)) {
            say(QStringLiteral("  Differs from %1 first at offset %2 (0x%3): received 0x%4, "
                               "expected 0x%5")
                    .arg(m_options.expectPath)
                    .arg(i)
                    .arg(i, 0, 16)
                    .arg(quint8(data.at(i)), 2, 16, QLatin1Char('0'))
                    .arg(quint8(expected.at(i)), 2, 16, QLatin1Char('0')));
            return false;
        }
    }
    if (data.size() != expected.size()) {
        say(QStringLiteral("  Differs from %1 first at offset %2: %3 bytes received, %4 "
                           "expected")
                .arg(m_options.expectPath)
                .arg(common)
                .arg(data.size())
                .arg(expected.size()));
        return false;
    }
    say(QStringLiteral("  Identical to %1").arg(m_options.expectPath));
    return true;
}

void Simulator::onAbandoned()
{
    if (!m_receiving)
        return;
    say(QStringLiteral("No data for %1 s: the sender gave up; the device restarts")
            .arg(kAbandonedTransferMs / 1000));
    m_device->restart();
    endOfUpdate(false);
    boardDone();
}

void Simulator::replaceLostDevice()
{
    m_link.reset();
    m_device.reset();
    removeLink();
    endOfUpdate(false);
    if (m_options.once)
        return;
    if (nextBoardMode()) {
        ++m_leaveGeneration;
        leaveTheLine(); // the operator takes the failed board off; the next one comes
        return;
    }
    if (!start())
        QCoreApplication::exit(2);
}

void Simulator::endOfUpdate(bool matched)
{
    m_receiving = false;
    m_watchdog.stop();
    m_exitCode = matched ? 0 : 1;
    if (m_options.once)
        QTimer::singleShot(kOnceLingerMs, this, [this] { QCoreApplication::exit(m_exitCode); });
    else
        say(QStringLiteral("Waiting for the next update (Ctrl+C to stop)"));
}

} // namespace DevSim
