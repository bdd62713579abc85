#include "simoptions.h"

#include "narration.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <iterator>

namespace DevSim {

namespace {
// --late-ack-block answers this long after the block came: 200 ms past the sender's reply time
// (2500 ms for a data block, 4096 ms for the others), so the sender has sent it again.
constexpr int kLateDataReplyMs = 2700;
constexpr int kLateReplyMs = 4300;
// A random fault happens at one of the first this many data blocks.
constexpr int kRandomFaultBlocks = 16;
} // namespace

BoardFault drawFault(const Options &options, int board)
{
    BoardFault fault;
    if (options.randomFaultPercent <= 0)
        return fault;
    // One generator per board, so that a board's fault does not depend on the boards before it.
    QRandomGenerator random(options.seed ^ (quint32(board) * 2654435761u));
    if (int(random.bounded(100)) >= options.randomFaultPercent)
        return fault;
    static const BoardFault::Kind kinds[] = {BoardFault::Kind::Cancel, BoardFault::Kind::Silence,
                                             BoardFault::Kind::LostPort, BoardFault::Kind::Nak,
                                             BoardFault::Kind::NoIdentification};
    fault.kind = kinds[random.bounded(int(std::size(kinds)))];
    fault.block = 1 + int(random.bounded(kRandomFaultBlocks));
    return fault;
}

QString faultText(const BoardFault &fault)
{
    const QString block = targetName(fault.block);
    switch (fault.kind) {
    case BoardFault::Kind::None:
        return QStringLiteral("no fault");
    case BoardFault::Kind::Cancel:
        return QStringLiteral("cancels at %1").arg(block);
    case BoardFault::Kind::Silence:
        return QStringLiteral("stays silent to %1").arg(block);
    case BoardFault::Kind::LostPort:
        return QStringLiteral("drops the line at %1").arg(block);
    case BoardFault::Kind::Nak:
        return QStringLiteral("answers %1 with NAK once").arg(block);
    case BoardFault::Kind::NoIdentification:
        return QStringLiteral("gives no identification");
    }
    return QString();
}

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
        QStringLiteral("After each update, good or failed, the board is unplugged (its line "
                       "closes) once the station has asked for its version, at the latest 3 s "
                       "after the update (see --leave-after), and the next board, number + 1, "
                       "is plugged in on a new port MS later: a production line."),
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
                       "open (nothing answers, 3 s after the report; at once when the device "
                       "cancelled the transfer) and the next board, number + 1, is put on MS "
                       "later: a fixture whose adapter stays."),
        QStringLiteral("MS"));
    const QCommandLineOption leaveAfter(
        QStringLiteral("leave-after"),
        QStringLiteral("With --next-board-after-update: the board is unplugged MS after its "
                       "update ended, instead of once the station has asked for its version "
                       "(or 3 s after the update)."),
        QStringLiteral("MS"));
    const QCommandLineOption randomFaults(
        QStringLiteral("random-faults"),
        QStringLiteral("Each board plays one fault with a chance of PERCENT: the device cancels, "
                       "stays silent to, drops the line at or NAKs once a data block from 1 to "
                       "16, or gives no identification. For a soak test with "
                       "--next-board-after-update."),
        QStringLiteral("PERCENT"));
    const QCommandLineOption seed(
        QStringLiteral("seed"),
        QStringLiteral("The seed of --random-faults, so that a run can be repeated (default: a "
                       "new one each run, printed at the start)."),
        QStringLiteral("N"));
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
                       swapBoard,   leaveAfter, randomFaults, seed, once, output,
                       expect});
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
    if (parser.isSet(leaveAfter)) {
        bool ok = false;
        o.leaveAfterMs = parser.value(leaveAfter).toInt(&ok);
        if (!ok || o.leaveAfterMs < 0 || o.leaveAfterMs > 3600000 || !parser.isSet(nextBoard)) {
            complain(QStringLiteral("--leave-after wants a time in ms from 0 to 3600000, with "
                                    "--next-board-after-update"));
            return false;
        }
    }
    if (parser.isSet(randomFaults)) {
        bool ok = false;
        o.randomFaultPercent = parser.value(randomFaults).toInt(&ok);
        if (!ok || o.randomFaultPercent < 0 || o.randomFaultPercent > 100 ||
            !parser.isSet(nextBoard)) {
            complain(QStringLiteral("--random-faults wants a percentage from 0 to 100, with "
                                    "--next-board-after-update"));
            return false;
        }
    }
    o.seed = QRandomGenerator::global()->generate();
    if (parser.isSet(seed)) {
        bool ok = false;
        o.seed = parser.value(seed).toUInt(&ok);
        if (!ok) {
            complain(QStringLiteral("--seed wants a whole number"));
            return false;
        }
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

} // namespace DevSim
