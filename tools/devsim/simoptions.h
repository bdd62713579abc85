#pragma once

// fwdevsim's options: what the device on the line does, which faults it plays and how boards come
// and go.

#include "scripteddevice.h"

#include <QString>

#include <optional>

class QCommandLineParser;
class QCoreApplication;

namespace DevSim {

constexpr int kDefaultBaud = 115200;
inline const QString kDefaultIdentification = QStringLiteral("Orvane,TM-1,SN0001,1.0.38");

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
    int returnAfterMs = -1;
    bool sameBoardBack = false;
    bool swapInPlace = false;
    // The next board: the board leaves this many ms after its update ended; -1: once the station
    // has asked for its version (its application answered the identification query), or after
    // kUnplugLatestMs.
    int leaveAfterMs = -1;
    // Each board plays one fault, drawn at random, with this chance in percent (0: none).
    int randomFaultPercent = 0;
    quint32 seed = 0;
    int baud = kDefaultBaud;
    bool paced = true;
    int losePortAt = -1000; // no target
    bool once = false;
    QString outputDir;
    QString expectPath;
    QByteArray expected;
};

// The fault a board plays, drawn with the options' chance and seed; the same for a board number.
struct BoardFault
{
    enum class Kind { None, Cancel, Silence, LostPort, Nak, NoIdentification };
    Kind kind = Kind::None;
    int block = -1; // the data block it happens at
};
// No widgets, no I/O.
BoardFault drawFault(const Options &options, int board);
// "cancels at data block 5", ... No widgets, no I/O.
QString faultText(const BoardFault &fault);

// Reads the options into o; prints the reason and returns false when they make no sense.
bool readOptions(QCommandLineParser &parser, const QCoreApplication &app, Options &o);

// A block target as the options name it: a block number (0 = header), "eot" or "end".
// No widgets, no I/O.
std::optional<int> parseTarget(const QString &text);

} // namespace DevSim
