#pragma once

// The rules that turn the window's connection state and update flag into what the controls show.

#include "ui/states.h"

#include <QColor>
#include <QString>

#include <optional>

// Which controls may be used. No widgets, no I/O.
struct EnabledControls
{
    bool connectButton = false;
    bool portSelector = false;
    bool browseButton = false;
    bool pathField = false;
    bool startButton = false;
    bool commandField = false;
    bool sendButton = false;
    bool historyButton = false;
};

// Where a running update stands, as far as the start button is concerned.
enum class UpdatePhase {
    None,      // no update runs
    Running,   // the start button offers to cancel it
    Stopping,  // the user cancelled it, or its result is in: nothing more to press
};

// Enabled states for the update phase, the connection state and whether a path is entered.
// While an update runs the start button is its cancel button. No widgets, no I/O.
EnabledControls enabledControls(UpdatePhase phase, Connection::State state,
                                bool hasFirmwarePath);

// Start button text: "取消更新" while an update runs, "开始" otherwise. No widgets, no I/O.
QString startButtonText(UpdatePhase phase);

// What a connection state shows when no update runs; an empty optional leaves the widget as it
// is. No widgets, no I/O.
struct ConnectionStateRow
{
    QString statusText;
    std::optional<QString> connectText;
    std::optional<QString> connectToolTip;
    QColor ledColour;
    bool hideBaudLabel = false;
};

// The row for a state; no row for a value outside the enumeration. No widgets, no I/O.
std::optional<ConnectionStateRow> connectionStateRow(int state);
