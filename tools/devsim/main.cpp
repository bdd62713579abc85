// fwdevsim: the scripted device as a program. It opens a pseudo-terminal, prints the port to use,
// plays the device (identification, start command, bootloader menu, YMODEM receiver, completion
// report) behind a cable paced like a real UART, saves every received image and says whether it
// matched and whether the device would start it. Faults can be injected per block. Runs until
// Ctrl+C, or for one update with --once. For production-line runs it can keep a stable link to
// its current port and leave the line after each update, coming back as the same board (a port
// that re-enumerates) or as the next one.

#include "pacedlink.h"
#include "scripteddevice.h"
#include "update/imagecheck.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {

constexpr int kDefaultBaud = 115200;
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
// --late-ack-block answers this long after the block came: 200 ms past the sender's reply time
// (2500 ms for a data block, 4096 ms for the others), so the sender has sent it again.
constexpr int kLateDataReplyMs = 2700;
constexpr int kLateReplyMs = 4300;
// Progress is printed at every quarter of the image.
constexpr int kProgressSteps = 4;
const QString kDefaultIdentification = QStringLiteral("Orvane,TM-1,SN0001,1.0.38");

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

void say(const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void complain(const QString &line)
{
    std::fputs(("fwdevsim: " + line).toLocal8Bit().constData(), stderr);
    std::fputc('\n', stderr);
}

// A block target as the options name it: a block number (0 = header), "eot" or "end".
// No widgets, no I/O.
std::optional<int> parseTarget(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("eot"))
        return YmodemReceiver::kEot;
    if (t == QLatin1String("end"))
        return YmodemReceiver::kEndOfBatch;
    bool ok = false;
    const int value = t.toInt(&ok);
    if (!ok || value < 0 || value > 0xFFFF)
        return std::nullopt;
    return value;
}

QString targetName(int target)
{
    if (target == 0)
        return QStringLiteral("the header block");
    if (target == YmodemReceiver::kEot)
        return QStringLiteral("EOT");
    if (target == YmodemReceiver::kEndOfBatch)
        return QStringLiteral("the end-of-batch block");
    return QStringLiteral("data block %1").arg(target);
}

// The name to save a received image under: the header's file name without any directory, or a
// fixed name when nothing usable is left. No widgets, no I/O.
QString safeFileName(const QByteArray &headerName)
{
    const QString name = QFileInfo(QString::fromUtf8(headerName)).fileName();
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("received.bin");
    return name;
}

QString hexWord(const char *bytes)
{
    return QStringLiteral("0x%1").arg(
        QString::number(qFromLittleEndian<quint32>(bytes), 16).toUpper(), 8, QLatin1Char('0'));
}

// What the device would do with an image: its vector table and the image check's verdict, in
// words. No widgets, no I/O.
QString vectorTableText(const QByteArray &image)
{
    using ImageCheck::Verdict;
    const ImageCheck::Result check = ImageCheck::checkImage(image, image.size());
    QString verdict;
    switch (check.verdict) {
    case Verdict::TooShort:
        return QStringLiteral(
            "Vector table: none (fewer than 8 bytes); the device would not start");
    case Verdict::Plausible:
        verdict = QStringLiteral("a plausible application; the device would start it");
        break;
    case Verdict::NotFirmware:
        verdict = QStringLiteral("text or a HEX file, not firmware");
        break;
    case Verdict::StackOutsideSram:
        verdict = QStringLiteral("the stack pointer is not in SRAM or not word-aligned");
        break;
    case Verdict::WholeFlashImage:
        verdict = QStringLiteral("a whole-flash image linked at 0x08000000, bootloader included");
        break;
    case Verdict::ResetOutsideApplication:
        verdict = QStringLiteral("the reset handler is not inside the application");
        break;
    }
    if (!check.plausible())
        verdict += QStringLiteral("; the device would not start");
    return QStringLiteral("Vector table: initial SP %1, reset handler %2, %3")
        .arg(hexWord(image.constData()), hexWord(image.constData() + 4), verdict);
}

// Number of data blocks an image of this size takes (1024-byte blocks, then 128-byte ones).
int blockCount(qint64 size)
{
    return int(size / 1024 + (size % 1024 + 127) / 128);
}

// The identification text of board number n: "{n}" in the text stands for the number.
// No widgets, no I/O.
QByteArray identificationOf(const QString &text, int board)
{
    QString filled = text;
    filled.replace(QLatin1String("{n}"), QString::number(board));
    return filled.toUtf8() + "\r\n";
}

struct Options
{
    ScriptedDevice::Script script;
    // The identification reply; none: the device stays silent.
    std::optional<QString> identification = kDefaultIdentification;
    std::optional<QString> identificationAfterUpdate;
    // A symbolic link kept pointing at the current port (removed while no device is there).
    QString linkPath;
    // After each completed update the device leaves the line and is back this many ms later;
    // -1: it stays. sameBoardBack: the board that left returns (its port re-enumerated), else the
    // next board (number + 1) is plugged in; swapInPlace: on the same line, which stays open.
    // next board (number + 1) is plugged in.
    int returnAfterMs = -1;
    bool sameBoardBack = false;
    bool swapInPlace = false;
    int baud = kDefaultBaud;
    bool paced = true;
    int losePortAt = -1000; // no target
    bool once = false;
    QString outputDir;
    QString expectPath;
    QByteArray expected;
};

// Drives one simulated device at a time and narrates what happens on the line.
class Simulator : public QObject
{
public:
    explicit Simulator(Options options) : m_options(std::move(options))
    {
        m_watchdog.setSingleShot(true);
        m_watchdog.setInterval(kAbandonedTransferMs);
        connect(&m_watchdog, &QTimer::timeout, this, [this] { onAbandoned(); });
    }

    ~Simulator() { removeLink(); }

    // The script of the board on the line now.
    ScriptedDevice::Script boardScript() const
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
        return script;
    }

    bool start()
    {
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
        m_device->setEventHook([this](ScriptedDevice &device, const QString &event) {
            if (event == QStringLiteral("block:%1").arg(m_options.losePortAt)) {
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
        return true;
    }

private:
    void onEvent(const QString &event)
    {
        if (!m_device)
            return; // the board has left the line
        // The receiver's own requests are no sign of a sender.
        if (m_receiving && !event.startsWith(QLatin1String("C:")))
            m_watchdog.start();
        if (event == QLatin1String("identification")) {
            say(!m_options.identification ? QStringLiteral("Identification query: staying silent")
                                          : QStringLiteral("Identification query answered"));
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
        } else if (event == QLatin1String("host-cancel")) {
            say(QStringLiteral("The sender cancelled the transfer (CAN); the device starts its "
                               "application again"));
            endOfUpdate(false);
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

    void onBlock(int target)
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
        if (target == m_options.losePortAt) {
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

    // Says which scripted fault this arrival of a block meets, if any.
    void sayFault(int target, int arrival)
    {
        const YmodemReceiver::Faults &faults = m_options.script.faults;
        if (target == m_options.losePortAt)
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

    void onFinished()
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
        if (m_options.returnAfterMs >= 0 && !m_options.once) {
            const int leaveMs = m_options.sameBoardBack ? kReenumerateLeaveMs
                                : m_options.swapInPlace ? kSwapLeaveMs
                                                        : kOnceLingerMs;
            QTimer::singleShot(leaveMs, this, [this] {
                if (m_options.swapInPlace)
                    swapBoard();
                else
                    leaveTheLine();
            });
        }
    }

    // A fixture whose adapter stays: the line stays open, the board is taken off it (nothing
    // answers) and the next board is put on after the time asked for.
    void swapBoard()
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

    // The board goes (its line closes, the link disappears) and comes back, or the next board
    // comes, after the time asked for.
    void leaveTheLine()
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

    // Removes the link, never anything that is not a link.
    void removeLink()
    {
        if (!m_options.linkPath.isEmpty() && QFileInfo(m_options.linkPath).isSymLink())
            QFile::remove(m_options.linkPath);
    }

    // Where an image of this name goes. A file the simulator did not write itself in this run (the
    // user's own image, say) is never overwritten: the image then gets a numbered name, which
    // later images of the same name reuse.
    QString savePathFor(const QString &name)
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

    bool compareWithExpected(const QByteArray &data)
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

    void onAbandoned()
    {
        if (!m_receiving)
            return;
        say(QStringLiteral("No data for %1 s: the sender gave up; the device restarts")
                .arg(kAbandonedTransferMs / 1000));
        m_device->restart();
        endOfUpdate(false);
    }

    // A closed line cannot be reopened: the device comes back on a new port.
    void replaceLostDevice()
    {
        m_link.reset();
        m_device.reset();
        removeLink();
        endOfUpdate(false);
        if (m_options.once)
            return;
        if (!start())
            QCoreApplication::exit(2);
    }

    void endOfUpdate(bool matched)
    {
        m_receiving = false;
        m_watchdog.stop();
        m_exitCode = matched ? 0 : 1;
        if (m_options.once)
            QTimer::singleShot(kOnceLingerMs, this, [this] { QCoreApplication::exit(m_exitCode); });
        else
            say(QStringLiteral("Waiting for the next update (Ctrl+C to stop)"));
    }

    Options m_options;
    std::unique_ptr<ScriptedDevice> m_device;
    std::unique_ptr<PacedLink> m_link; // destroyed before the device it relays to
    QTimer m_watchdog;
    QHash<QString, QString> m_savedAs; // wanted path -> path used
    bool m_receiving = false;
    bool m_announced = false;
    QHash<int, int> m_arrivals; // block target -> arrivals in this update
    qint64 m_declaredSize = -1;
    int m_nextStep = 1;
    int m_exitCode = 1;
    int m_board = 1;             // the board on the line, for "{n}" in its identification
    bool m_boardUpdated = false; // it has taken an update before (and left the line since)
};

// Reads the options into o; prints the reason and returns false when they make no sense.
bool readOptions(QCommandLineParser &parser, const QCoreApplication &app, Options &o)
{
    const QCommandLineOption idn(
        QStringLiteral("idn"),
        QStringLiteral("Reply to the identification query (*IDN?) with TEXT and CR LF. A version "
                       "of 1.0.38 or later, as the last field, makes the tool use *FWUPD; "
                       "default: \"%1\". {n} in TEXT stands for the board's number (1, 2, ... "
                       "with --next-board-after-update).")
            .arg(kDefaultIdentification),
        QStringLiteral("TEXT"));
    const QCommandLineOption noIdn(
        QStringLiteral("no-idn"),
        QStringLiteral("Stay silent on the identification query (the tool then uses the legacy "
                       "start command)."));
    const QCommandLineOption baud(
        QStringLiteral("baud"),
        QStringLiteral("Pace the line like a UART at N baud, 8N1 (default %1).").arg(kDefaultBaud),
        QStringLiteral("N"));
    const QCommandLineOption unpaced(QStringLiteral("unpaced"),
                                     QStringLiteral("Do not pace the line: bytes pass as fast as "
                                                    "the pseudo-terminal carries them."));
    const QString targetHelp = QStringLiteral(" K: 0 for the header block, 1.. for data blocks, "
                                              "eot, or end for the end-of-batch block.");
    const QCommandLineOption nak(QStringLiteral("nak-block"),
                                 QStringLiteral("Answer block K with NAK once.") + targetHelp,
                                 QStringLiteral("K"));
    const QCommandLineOption silent(
        QStringLiteral("silent-block"),
        QStringLiteral("Say nothing to block K and drop it, every time it comes (see "
                       "--silent-times).") +
            targetHelp,
        QStringLiteral("K"));
    const QCommandLineOption silentTimes(
        QStringLiteral("silent-times"),
        QStringLiteral("With --silent-block: stay silent only to the first N arrivals of the "
                       "block, then answer as usual."),
        QStringLiteral("N"));
    const QCommandLineOption cancel(QStringLiteral("cancel-block"),
                                    QStringLiteral("Answer block K with CAN CAN.") + targetHelp,
                                    QStringLiteral("K"));
    const QCommandLineOption losePort(
        QStringLiteral("lose-port-block"),
        QStringLiteral("Close the line when block K arrives, without answering it (a pulled "
                       "cable); the device then comes back on a new port.") +
            targetHelp,
        QStringLiteral("K"));
    const QCommandLineOption lateAck(
        QStringLiteral("late-ack-block"),
        QStringLiteral("Answer block K late, past the sender's reply time (2700 ms for a data "
                       "block, 4300 ms for the others), and answer the copy the sender sends "
                       "meanwhile too: a device busy erasing flash.") +
            targetHelp,
        QStringLiteral("K"));
    const QCommandLineOption ignoreCancel(
        QStringLiteral("ignore-cancel"),
        QStringLiteral("Take no notice of the sender's cancel (CAN): the receiver keeps waiting "
                       "for its next block, gives up after 1 s without one and then asks for a "
                       "new file with its 'C' run every second."));
    const QCommandLineOption noReport(
        QStringLiteral("no-report"),
        QStringLiteral("Print nothing after the transfer (no completion report)."));
    const QCommandLineOption reportSize(
        QStringLiteral("report-size"),
        QStringLiteral("Report N bytes written in the completion report instead of the bytes "
                       "received."),
        QStringLiteral("N"));
    const QCommandLineOption waiting(
        QStringLiteral("receiver-waiting"),
        QStringLiteral("Send the receiver's 'C' run right after the start command, without the "
                       "menu (a bootloader that already waits for a file)."));
    const QCommandLineOption idnAfter(
        QStringLiteral("idn-after-update"),
        QStringLiteral("Once an update has completed, answer the identification query with TEXT "
                       "instead (the version of the image just received); {n} as for --idn."),
        QStringLiteral("TEXT"));
    const QCommandLineOption link(
        QStringLiteral("link"),
        QStringLiteral("Keep a symbolic link PATH pointing at the current port, a name that "
                       "survives the device being replaced; it is removed while no device is "
                       "there and when the simulator stops. An existing file that is not a link "
                       "is refused."),
        QStringLiteral("PATH"));
    const QCommandLineOption nextBoard(
        QStringLiteral("next-board-after-update"),
        QStringLiteral("After each completed update the board is unplugged (its line closes, "
                       "0.5 s after the report) and the next board, number + 1, is plugged in "
                       "on a new port MS later: a production line."),
        QStringLiteral("MS"));
    const QCommandLineOption sameBoard(
        QStringLiteral("reenumerate-after-update"),
        QStringLiteral("After each completed update the board leaves the line 0.1 s after the "
                       "report and comes back on a new port MS later, answering with "
                       "--idn-after-update: a port that re-enumerates when the new application "
                       "starts."),
        QStringLiteral("MS"));
    const QCommandLineOption swapBoard(
        QStringLiteral("swap-board-after-update"),
        QStringLiteral("After each completed update the board is taken off a line that stays "
                       "open (nothing answers, 3 s after the report) and the next board, "
                       "number + 1, is put on MS later: a fixture whose adapter stays."),
        QStringLiteral("MS"));
    const QCommandLineOption once(QStringLiteral("once"),
                                  QStringLiteral("Exit after one update; the exit status is 0 when "
                                                 "the received image matched."));
    const QCommandLineOption output(
        QStringLiteral("output"),
        QStringLiteral("Save received images in DIR (default: the current folder), named after "
                       "the file name in the header block; an existing file is never "
                       "overwritten (NAME.1, NAME.2, ... instead)."),
        QStringLiteral("DIR"));
    const QCommandLineOption expect(
        QStringLiteral("expect"),
        QStringLiteral("Also compare every received image byte for byte with FILE and print the "
                       "first differing offset."),
        QStringLiteral("FILE"));
    parser.setApplicationDescription(QStringLiteral(
        "Simulated firmware-update device on a pseudo-terminal. Prints the port to open, plays "
        "the device's application and bootloader, and checks and saves each image it receives. "
        "Faults apply to every update. Stop it with Ctrl+C."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({idn,         noIdn,   baud,     unpaced, nak,          silent,
                       silentTimes, cancel,  losePort, lateAck, ignoreCancel, noReport,
                       reportSize,  waiting, idnAfter, link,    nextBoard,    sameBoard,
                       swapBoard,   once,    output,   expect});
    parser.process(app);

    if (!parser.positionalArguments().isEmpty()) {
        complain(
            QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
        return false;
    }
    if (parser.isSet(noIdn))
        o.identification.reset();
    else if (parser.isSet(idn))
        o.identification = parser.value(idn);
    if (parser.isSet(idnAfter))
        o.identificationAfterUpdate = parser.value(idnAfter);
    if (int(parser.isSet(nextBoard)) + int(parser.isSet(sameBoard)) + int(parser.isSet(swapBoard)) >
        1) {
        complain(QStringLiteral("--next-board-after-update, --reenumerate-after-update and "
                                "--swap-board-after-update cannot be combined"));
        return false;
    }
    for (const QCommandLineOption *option : {&nextBoard, &sameBoard, &swapBoard}) {
        if (!parser.isSet(*option))
            continue;
        bool ok = false;
        o.returnAfterMs = parser.value(*option).toInt(&ok);
        if (!ok || o.returnAfterMs < 0 || o.returnAfterMs > 3600000) {
            complain(QStringLiteral("--%1 wants a time in ms from 0 to 3600000")
                         .arg(option->names().first()));
            return false;
        }
        o.sameBoardBack = option == &sameBoard;
        o.swapInPlace = option == &swapBoard;
    }
    if (parser.isSet(link)) {
        o.linkPath = QFileInfo(parser.value(link)).absoluteFilePath();
        const QFileInfo existing(o.linkPath);
        if (existing.exists() && !existing.isSymLink()) {
            complain(QStringLiteral("--link: %1 exists and is no link").arg(o.linkPath));
            return false;
        }
    }

    o.paced = !parser.isSet(unpaced);
    if (parser.isSet(baud)) {
        bool ok = false;
        o.baud = parser.value(baud).toInt(&ok);
        if (!ok || o.baud < 50 || o.baud > 4000000) {
            complain(QStringLiteral("--baud wants a rate from 50 to 4000000"));
            return false;
        }
    }

    auto target = [&](const QCommandLineOption &option, int *out) {
        if (!parser.isSet(option))
            return true;
        const std::optional<int> value = parseTarget(parser.value(option));
        if (!value) {
            complain(QStringLiteral("--%1 wants a block number, eot or end")
                         .arg(option.names().first()));
            return false;
        }
        *out = *value;
        return true;
    };
    YmodemReceiver::Faults &faults = o.script.faults;
    if (!target(nak, &faults.nakBlockOnce) || !target(silent, &faults.silentAtBlock) ||
        !target(cancel, &faults.cancelAtBlock) || !target(losePort, &o.losePortAt) ||
        !target(lateAck, &o.script.lateReplyBlock))
        return false;
    if (parser.isSet(lateAck))
        o.script.lateReplyMs = o.script.lateReplyBlock > 0 ? kLateDataReplyMs : kLateReplyMs;
    faults.ignoreCancel = parser.isSet(ignoreCancel);
    if (parser.isSet(silentTimes)) {
        bool ok = false;
        faults.silentAttempts = parser.value(silentTimes).toInt(&ok);
        if (!ok || faults.silentAttempts < 1) {
            complain(QStringLiteral("--silent-times wants a count of 1 or more"));
            return false;
        }
    }
    if (parser.isSet(losePort)) {
        if (parser.isSet(silent)) {
            complain(QStringLiteral("--lose-port-block and --silent-block cannot be combined"));
            return false;
        }
        // The block is never answered: the line goes before the reply.
        faults.silentAtBlock = o.losePortAt;
        faults.silentAttempts = -1;
    }

    o.script.printReport = !parser.isSet(noReport);
    if (parser.isSet(reportSize)) {
        bool ok = false;
        o.script.reportSize = parser.value(reportSize).toInt(&ok);
        if (!ok || o.script.reportSize < 0) {
            complain(QStringLiteral("--report-size wants a byte count"));
            return false;
        }
    }
    o.script.receiverWaiting = parser.isSet(waiting);
    o.once = parser.isSet(once);

    o.outputDir = parser.isSet(output) ? parser.value(output) : QDir::currentPath();
    if (!QFileInfo(o.outputDir).isDir()) {
        complain(QStringLiteral("--output: %1 is not a folder").arg(o.outputDir));
        return false;
    }
    if (parser.isSet(expect)) {
        o.expectPath = parser.value(expect);
        QFile file(o.expectPath);
        if (!file.open(QIODevice::ReadOnly)) {
            complain(QStringLiteral("--expect: cannot read %1").arg(o.expectPath));
            return false;
        }
        o.expected = file.readAll();
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fwdevsim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FW_VERSION));

    QCommandLineParser parser;
    Options options;
    if (!readOptions(parser, app, options))
        return 2;

    // Ctrl+C and SIGTERM end the event loop, so the pseudo-terminals are closed in order.
    if (::pipe(g_signalPipe) != 0)
        return 2;
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
        say(QStringLiteral("Stopped"));
        QCoreApplication::exit(130);
    });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    Simulator simulator(options);
    if (!simulator.start())
        return 2;
    return app.exec();
}
