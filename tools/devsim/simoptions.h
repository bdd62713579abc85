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

// Reads the options into o; prints the reason and returns false when they make no sense.
bool readOptions(QCommandLineParser &parser, const QCoreApplication &app, Options &o);

// A block target as the options name it: a block number (0 = header), "eot" or "end".
// No widgets, no I/O.
std::optional<int> parseTarget(const QString &text);

} // namespace DevSim
