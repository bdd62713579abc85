#pragma once

// What every front end with a log and a connection shows, kept out of any one window so that code
// without widgets (log markup, the enabled-state table) and other front ends can use them.
// No widgets, no I/O.

namespace Log {
// How a log line is shown: its colour and weight.
enum Level : int {
    Info = 0,
    Command = 1,
    Response = 2,
    Error = 3,
    Success = 4,
    // Something the user should notice that is not (yet) a failure: a re-sent block, a device
    // that restarted without the new version.
    Warning = 5,
};
} // namespace Log

namespace Connection {
// Where the connection to the serial port stands.
enum State : int {
    Disconnected = 0,
    Connecting = 1,
    Connected = 2,
    Disconnecting = 3,
};
} // namespace Connection
