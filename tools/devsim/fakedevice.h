#pragma once

// Fake serial device on a pseudo-terminal. The worker opens slavePath() like any serial port;
// the fake device owns the master side and runs on a thread of its own, so it keeps answering
// while the worker sits in its nested waits. Closing the master makes the worker's port report a
// read error, which is how a lost port is simulated.

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <functional>

class QSocketNotifier;

class FakeDevice : public QObject
{
    Q_OBJECT

public:
    // Called on the device thread for every chunk the worker wrote.
    using Responder = std::function<void(FakeDevice &device, const QByteArray &chunk)>;

    FakeDevice();
    ~FakeDevice() override;

    bool isValid() const { return m_master >= 0 || m_masterClosed; }
    QString portName() const { return m_slavePath; }

    // Script: replaces the reply logic; runs on the device thread.
    void setResponder(Responder responder);

    // Thread-safe. Bytes go out in order; each call is one write to the master.
    void send(const QByteArray &bytes);
    // Thread-safe: sends after delayMs on the device thread.
    void sendLater(int delayMs, const QByteArray &bytes);
    // Thread-safe: closes the master, so the worker's port fails.
    void closeMaster();

    // Everything the worker wrote so far (thread-safe copies).
    QByteArray received() const;
    void clearReceived();
    // Waits on the calling thread until received() satisfies the predicate, or timeoutMs passes.
    // Does not spin the caller's event loop.
    bool waitForReceived(const std::function<bool(const QByteArray &)> &predicate,
                         int timeoutMs);
    // Convenience: waits until at least count bytes arrived.
    bool waitForReceivedCount(int count, int timeoutMs);

    // Runs fn on the device thread and waits for it.
    void runOnDeviceThread(const std::function<void()> &fn);

    // Device thread: nothing written in the next ms (ms < 0: until the host writes again) goes
    // out before; then the held writes go out in order, one every gapMs (a device busy with
    // something, then catching up).
    void holdOutput(int ms, int gapMs);

protected:
    // Device-thread hook for subclasses; the default calls the responder.
    virtual void onReceived(const QByteArray &chunk);
    // Device-thread write, used by subclasses' scripts.
    void writeNow(const QByteArray &bytes);
    bool isDeviceThread() const { return QThread::currentThread() == &m_thread; }

private:
    void setupNotifiers();
    void readMaster();
    void flushPending();
    void doClose();
    void releaseHeld(int gapMs);

    QThread m_thread;
    int m_master = -1;
    int m_slave = -1;
    bool m_masterClosed = false;
    QString m_slavePath;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QByteArray m_pendingWrite;
    bool m_holding = false;
    int m_releaseGapMs = -1; // >= 0: the held writes go when the host writes again
    QList<QByteArray> m_held;

    mutable QMutex m_mutex;
    QWaitCondition m_receivedChanged;
    QByteArray m_received;
    Responder m_responder;
};
