#pragma once

// ReadBack: after a successful update, waits for the device's application to answer "*idn?" and
// judges what it says, for the window and the command-line flasher alike. It follows the device
// when its USB adapter re-enumerates as the application starts: the same port when it stays or
// comes back, else the port that appears with the same USB serial number, or with the same
// VID:PID when there is none and the target allows it. The front end feeds it its worker's reports and carries out its
// requests (open a port, send the query).

#include "device/deviceidentity.h"
#include "update/portdiscovery.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <chrono>

class ReadBack : public QObject
{
    Q_OBJECT

public:
    // Every wait of the read-back; the defaults are the real ones, tests shorten them through
    // setTimingForTesting.
    struct Timing
    {
        // The application must have answered within this, counted from the update's success.
        std::chrono::milliseconds limit{20000};
        // A port that stays open: the application needs a moment after "Jump To App".
        std::chrono::milliseconds appStart{500};
        // Between queries that got no answer.
        std::chrono::milliseconds queryInterval{1000};
        // Between looks for a port that went away.
        std::chrono::milliseconds portPoll{500};
    };

    enum class Verdict {
        NewVersion,        // another version than before (the expected one, when one is given)
        SameVersion,       // the version before the update
        UnexpectedVersion, // neither (only when a version is expected)
        AnotherUnit,       // a device with another serial number answered
        Silence,           // no answer within the limit
    };

    struct Target
    {
        QString port;          // where the update ran
        PortListing listing;   // how the system listed that port (serial number, VID:PID)
        DeviceIdentity before; // the identification before the update
        QString expectVersion; // empty: any other version than before is the new one
        // An adapter without a USB serial number: follow a new port with its VID:PID. Not where
        // another port's board may be the one that appears (several ports at once).
        bool followVidPid = true;
    };

    struct Outcome
    {
        Verdict verdict = Verdict::Silence;
        DeviceIdentity after; // empty on silence
        QString port;         // where the application answered
    };

    explicit ReadBack(PortEnumerator ports, QObject *parent = nullptr);

    // Test hook: shorter waits.
    void setTimingForTesting(const Timing &timing) { m_timing = timing; }
    const Timing &timing() const { return m_timing; }

    // Starts waiting; portOpen tells whether the front end's port is still open.
    void start(const Target &target, bool portOpen);
    // Ends the wait without an outcome (the user took over, another update starts).
    void stop();
    bool isRunning() const { return m_running; }

    // The front end's reports while running.
    void onConnected();
    void onDisconnected();
    void onConnectionFailed();
    // The reply to requestQuery; the worker's refusals count as no answer.
    void onQueryResponse(const QString &response);

Q_SIGNALS:
    // Open this port (the one of the update, or where the device reappeared).
    void requestConnect(const QString &port);
    // Send "*idn?" and pass the reply to onQueryResponse.
    void requestQuery();
    // The port went away: the device is restarting into its application.
    void portLost();
    void finished(const ReadBack::Outcome &outcome);

private:
    void step();
    void schedule(std::chrono::milliseconds delay);
    void finish(Verdict verdict, const DeviceIdentity &after);
    // Where the device is now: its port when it is there, else the port that reappeared with its
    // serial number or VID:PID; empty while none is there.
    QString findPort() const;

    PortEnumerator m_ports;
    Timing m_timing;
    Target m_target;
    QString m_port;              // the port being opened or open
    QSet<QString> m_portsBefore; // listed when the port went away: none of these reappeared
    bool m_running = false;
    bool m_portOpen = false;
    bool m_connectPending = false;
    bool m_queryPending = false;
    QElapsedTimer m_sinceOpen;
    QElapsedTimer m_sinceQuery;
    QTimer m_stepTimer;
    QTimer m_limitTimer;
};

// Judges the application's reply against the device before the update: silence, another unit
// (both replies have serial numbers, and they differ), then the version. With an expected version
// the reply must carry it. No widgets, no I/O.
ReadBack::Verdict judgeReadBack(const DeviceIdentity &before, const DeviceIdentity &after,
                                const QString &expectVersion);

// The port a device that left its own came back on: the listed one with its adapter's USB serial
// number; without one, with followVidPid, one with its VID:PID not listed before (in before).
// Empty when none. No widgets, no I/O.
QString reappearedPort(const PortListing &was, const QList<PortListing> &listed,
                       const QSet<QString> &before, bool followVidPid);

// The worker's own answers to a command that reached no device ("串口未打开", "设备未连接",
// "写入错误：…"). No widgets, no I/O.
bool isWorkerRefusal(const QString &response);
