#pragma once

// The station's decisions, apart from its widgets: how the tiles are laid out, what a tile shows
// for its port's session, the run's counters, the lines of the result list and when 开始 may start.
// No widgets, no I/O.

#include "production/portsession.h"

#include <QSize>
#include <QString>
#include <QStringList>

namespace Station {

// The station runs at most this many ports at once: 16 tiles still fit a 1366 × 768 screen with
// their results readable.
inline constexpr int kMaxPorts = 16;
// The result list keeps the newest this many units.
inline constexpr int kRecentResults = 20;
// Tiles look best about this much wider than high: the port, the unit and the phase on lines of
// their own, a bar and a big result.
inline constexpr double kTileAspect = 1.6;

// Columns and rows of the tile grid.
struct GridShape
{
    int columns = 0;
    int rows = 0;
    bool operator==(const GridShape &other) const
    {
        return columns == other.columns && rows == other.rows;
    }
};

// The grid for count tiles in area: of every column count, the one whose cells hold the largest
// tile of kTileAspect; on a tie the fewer rows. 0 × 0 for no tiles. No widgets, no I/O.
GridShape gridShape(int count, QSize area);

// Pixel size of the result text ("通过", "42%") in a result panel of this size, for a text of so
// many characters: half the panel's height, leaving room for the reason under it, and no wider
// than the panel; never above kLargestResultPixels nor below kSmallestResultPixels. 48 px (about
// 13 mm at 96 dpi) reads from two metres. No widgets, no I/O.
inline constexpr int kLargestResultPixels = 120;
inline constexpr int kSmallestResultPixels = 16;
int resultFontPixels(QSize panel, int characters);

// What a tile says the board is doing.
enum class Phase {
    Idle,               // the station does not run
    WaitingForBoard,    // the port is not there, or opens for no board yet
    Identifying,        // the port opens, the device is asked who it is
    EnteringBootloader, // the start command is written, the bootloader's menu awaited
    Transferring,       // the image goes out
    Checking,           // the bootloader's completion report
    Verifying,          // the new application is asked for its version
    RemoveBoard,        // the unit is done; the next comes once it is taken off
    Stopped,            // the run ended on this port
};
// "等待设备", "正在识别", ... No widgets, no I/O.
QString phaseText(Phase phase);
// The phase of a port's session. No widgets, no I/O.
Phase phaseOf(const PortSession::Status &status);

// The colour of a tile's result panel.
enum class Look {
    Idle,        // grey: no board, or the station stands still
    Working,     // blue: a unit is being updated
    Passed,      // green: 通过
    Failed,      // red: 失败, with the reason
    Interrupted, // orange: stopped by the operator
};

// The last unit a tile finished, as the station learnt it from its record.
struct LastUnit
{
    // "success", "failed", "version-mismatch", "interrupted", or "already-updated" (updated
    // earlier in the run, left as it is); empty: none yet
    QString outcome;
    QString reason;  // Chinese, empty on success
    QString unit;    // "TM-1 · SN0001", or the reply without fields
};

// Everything a tile shows.
struct TileView
{
    QString port;
    QString unit;  // the board on the port now, or the last one
    Phase phase = Phase::Idle;
    Look look = Look::Idle;
    QString big;    // the result panel's text: "通过", "失败", "42%", "放入设备"
    QString reason; // under it, for a failure
    int percent = 0;
    bool progressShown = false; // the bar shows while a unit runs
    QString detail;             // "12.3 KB/s · 剩余 14 秒" while transferring
    QString last;               // "上一块：SN0001 通过"
    bool retryOffered = false;  // a failed board is still on the port
};

// A running station's tile for a session and the last unit it finished: a failure stays red while
// its board is on the port; the tile turns grey when the board is taken off and blue when the next
// (or the same, after 重试) is being updated. No widgets, no I/O.
TileView tileView(const PortSession::Status &status, const LastUnit &last);
// The tile of a ticked port while the station does not run. No widgets, no I/O.
TileView idleTileView(const QString &port, const LastUnit &last);

// "TM-1 · SN0001" from an identification reply; the reply itself when it has no fields; empty
// when it is empty. No widgets, no I/O.
QString unitText(const QString &identification);
// How an outcome is said on a tile and in the list: "通过", "失败", "已中断", "已更新过".
// No widgets, no I/O.
QString outcomeText(const QString &outcome);
// Whether an outcome counts as passed, as failed, or neither (an interrupted unit, a board
// updated earlier in the run).
enum class Tally { Passed, Failed, Neither };
Tally tallyOf(const QString &outcome);

// The run's counters: units passed and failed since 开始.
struct Counters
{
    int passed = 0;
    int failed = 0;
    void add(const QString &outcome);
    int units() const { return passed + failed; }
};
// Passed units in percent of the units counted; -1 before the first. No widgets, no I/O.
double yieldPercent(const Counters &counters);
// Units counted per hour over the run's time so far; -1 before the first unit. No widgets, no I/O.
double unitsPerHour(const Counters &counters, qint64 runMs);
// "92.3%" and "85" as the counters show them; "—" for -1. No widgets, no I/O.
QString yieldText(const Counters &counters);
QString unitsPerHourText(const Counters &counters, qint64 runMs);

// A line of the result list: "14:03:22  ttyUSB0  TM-1 · SN0001  通过", with "：reason" after a
// failure. time is "HH:mm:ss". No widgets, no I/O.
QString resultLine(const QString &time, const QString &port, const LastUnit &unit);

// Why 开始 cannot start (the status line), or an empty string when it can. No widgets, no I/O.
QString startRefusal(bool imageChosen, int tickedPorts, const QString &expectedVersion);

} // namespace Station
