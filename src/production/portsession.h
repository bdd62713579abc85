#pragma once

// PortSession: the updates on one port, the production loop's unit of work. It drives its own
// SerialWorker on its own thread through queued requests, exactly as the window does, reads the
// new version back, and turns the worker's reports into the unit's record. In the loop it also
// waits for each device to come and to go, asks each new one who it is, skips a unit already
// updated in this run, and flashes the next unit at once when another one answers the read-back.
// Front ends compose one per port and show status().

#include "production/unitrecord.h"
#include "device/serialworker.h"
#include "update/firmwarerules.h"
#include "update/readback.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>

class QThread;

class PortSession : public QObject
{
    Q_OBJECT

public:
    enum class Step {
        WaitingForDevice,  // loop: the port does not exist or does not open yet
        Connecting,        // the port is being opened for a unit
        Checking,          // loop: asking the device who it is before updating it
        Updating,          // the worker runs the update
        Verifying,         // waiting for the application to tell its version
        WaitingForRemoval, // loop: the unit is done, the device still there
        Done,              // no more units on this port
    };

    struct Settings
    {
        QString port;
        Production::ImageFacts image;
        int sizeLimit = 0;
        QString expectVersion;
        bool loop = false;
        QString program = QStringLiteral("fwflash"); // the program its records name
        bool allowRepeat = false; // loop: update a unit again that was updated in this run
        bool trace = false;       // emit trace() with the protocol's steps
        // The units updated in this run, shared by the run's sessions; none: the session keeps
        // its own.
        std::shared_ptr<Production::RecentUnits> updated;
    };

    PortSession(const Settings &settings, QObject *parent = nullptr);
    ~PortSession() override;

    void start();
    // Ctrl+C: a running unit (see unitRunning) is aborted through the worker's abort and recorded
    // as interrupted; the session then ends.
    void interrupt();
    // A unit still running is recorded as interrupted now (the worker did not answer in time).
    void forceEnd();
    // --next-on-enter: the device that was updated has been replaced.
    void deviceReplaced();
    // 重试: the board still on the port is asked who it is and updated again. Its adapter is
    // not taken for a fixture's, as after Enter.
    void retry();
    // Stops the worker thread by the deadline; false when it did not stop.
    bool stopThread(QDeadlineTimer deadline);
    // Test hook: the waits of the read-back after an update.
    void setReadBackTimingForTesting(const ReadBack::Timing &timing);

    // Where the session stands, for a front end to show.
    struct Status
    {
        QString port;
        Step step = Step::WaitingForDevice;
        SerialWorker::UpdatePhase phase = SerialWorker::UpdatePhase::Querying; // while Updating
        int shown = 0; // bytes shown as sent, of total
        int total = 0;
        double rateKBps = 0.0; // while transferring
        int secondsLeft = -1;  // while transferring; -1 before there is a rate
        qint64 stepMs = 0;     // how long the session has been in this step
        qint64 limitMs = -1;   // the step's limit; -1 for a wait that a person ends
        int units = 0;         // units finished on this port
        QString lastOutcome;   // of the last unit: "success", ..., or "already-updated"
        QString lastReasonCode;
        QString lastUnit; // the last unit's serial number, or its identification
        QString waitingFor; // loop, WaitingForDevice: why the port does not open yet
    };

    Step step() const { return m_step; }
    // A unit is under way: being updated or verified, or, outside the loop, its port opening.
    bool unitRunning() const;
    Status status() const;

Q_SIGNALS:
    void unitFinished(const UpdateRecord &record);
    // A unit already updated in this run came back; it is left as it is. unit names it.
    void unitSkipped(const QString &unit);
    void changed(); // what status() shows changed
    void notice(const QString &text);
    void trace(const QString &text); // the protocol's steps, with Settings::trace
    void finished();                 // the session reached Done

    void requestConnect(const QString &port);
    void requestDisconnect();
    void requestUpdate(const QString &path);
    void requestAbort();
    void requestSetMaxFirmwareSize(int bytes);
    void requestCommand(const QString &command);

private:
    void onConnected();
    void onDisconnected();
    void onConnectionFailed(const QString &error);
    void onPhase(SerialWorker::UpdatePhase phase);
    void onIdentified(const QString &identification, const QByteArray &command);
    void onProgress(int bytesSent, int totalBytes);
    void onUpdateSuccess();
    void onUpdateFailed(const QString &reason);
    void onCommandResponse(const QString &reply);
    void onReadBackFinished(const ReadBack::Outcome &outcome);

    void beginUnit();
    void startUpdate();
    // A device on the open port told who it is (loop): update it, or skip it when it was updated
    // in this run already.
    void takeDevice(const QString &reply);
    // Records the unit; in the loop then waits for it to go, or takes nextDevice, a new device
    // already on the open port (its reply).
    void finishUnit(Production::Outcome outcome, const QString &reasonCode, const QString &reason,
                    const QString *nextDevice = nullptr);
    // answered: baseline is what the board said since its unit, not what it said before it.
    void waitForRemoval(const QString &baseline, bool answered);
    void setStep(Step step);
    void poll();
    void queryIdentification();
    void end();
    QString currentUsbSerial() const;

    Settings m_settings;
    QThread *m_thread = nullptr;
    SerialWorker *m_worker = nullptr;
    QTimer m_poll;
    ReadBack m_readBack; // --expect-version: the application after the update

    Step m_step = Step::WaitingForDevice;
    QElapsedTimer m_stepClock;
    SerialWorker::UpdatePhase m_phase = SerialWorker::UpdatePhase::Querying;
    bool m_portOpen = false;
    bool m_stopping = false;
    bool m_interrupted = false;
    bool m_queryPending = false;
    // Boards have changed on this port while it stayed open: its adapter is a fixture's, so its
    // USB serial number names no unit.
    bool m_portStays = false;
    bool m_readBackLostPort = false; // the port went away during this read-back
    QString m_lastNotice;

    UpdateRecord m_record;
    PortListing m_listing; // the system's listing of the port when the unit began
    QElapsedTimer m_unitClock;
    QElapsedTimer m_transferClock;
    qint64 m_transferMs = 0;            // at the last progress report
    // The same in nanoseconds, for the record: an unpaced transfer whose reports arrive together
    // takes less than a millisecond on this clock.
    qint64 m_transferNs = 0;
    FirmwareRules::RateEstimate m_rate; // over the transfer's progress reports
    QElapsedTimer m_sinceQuery;
    int m_units = 0; // units finished on this port
    // What the last unit came to, for status(): its name, outcome and reason code.
    QString m_lastUnit;
    QString m_lastResult;
    QString m_lastReasonCode;
    int m_shown = 0;
    int m_total = 0;
    // Loop: the identification the device gave after its unit (after a failed one, until it
    // answers, the one before it); a different one means a new device.
    QString m_departureBaseline;
    bool m_baselineKnown = false; // the board has answered since its unit
    bool m_boardSilent = false;   // ... and then stopped answering
};
