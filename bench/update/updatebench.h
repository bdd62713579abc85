#pragma once

// Update benchmark, shared pieces: the worker on its own thread against the scripted device, measured against
// the physical limit of a 115200-baud line and against lrzsz's sb sending to rb.
//   (a) paced 115200 link: update time from the request to updateSuccess() for 4 KiB, 64 KiB and
//       236544 bytes, beside the wire minimum and the efficiency, with a breakdown by phase;
//   (b) unpaced pseudo-terminal, 236544 bytes: our full update against the scripted device, our
//       transfer into rb, and sb --ymodem into rb; medians, and the ratio ours / sb;
//   (c) CPU time of the worker thread during the paced 236544-byte update.
// Prints figures; asserts nothing.

#include "device/serialworker.h"
#include "fakedevice.h"
#include "pacedlink.h"
#include "scripteddevice.h"
#include "workertestaccess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <sys/resource.h>
#include <vector>

namespace UpdateBench {

inline constexpr int kBaud = 115200;
inline constexpr int kFullImage = 236544;
struct PacedCase
{
    int size;
    bool report; // the device prints its completion report
};
inline constexpr PacedCase kPacedCases[] = {{4096, true}, {65536, true}, {kFullImage, true}, {4096, false}};
inline constexpr int kTracedSize = 65536;
// Runs of each unpaced measurement; the median is reported.
inline constexpr int kUnpacedRuns = 5;
// Bounds of the waits (a 236544-byte update at 115200 takes about 21 s).
inline constexpr int kUpdateLimitMs = 120000;
inline constexpr int kRbStartMs = 5000;
inline constexpr int kProcessLimitMs = 60000;
inline const QString kRb = QStringLiteral("/usr/bin/rb");
inline const QString kSb = QStringLiteral("/usr/bin/sb");


// One time base for every thread, in milliseconds since the benchmark started.
void startClock();
double nowMs();

// A pseudo-random image that starts with a plausible vector table.
QByteArray pattern(int size);
double median(std::vector<double> values);

// end-of-batch block with their CRC, EOT, and one ACK per block. No widgets, no I/O.
struct WireBytes
{
    qint64 toDevice = 0;
    qint64 acks = 0;
    qint64 total() const { return toDevice + acks; }
};

WireBytes wireMinimum(qint64 size);

// The image written as app.bin in the folder; empty when it could not be written.
QString writeImage(const QTemporaryDir &dir, const QByteArray &image);

// A SerialWorker on a thread of its own, as in the application; an update's outcome is timed
// when its signal reaches the main thread.
class ThreadedWorker
{
public:
    ThreadedWorker()
    {
        m_worker = new SerialWorker;
        m_worker->moveToThread(&m_thread);
        m_thread.start();
        QObject::connect(m_worker, &SerialWorker::updateSuccess, &m_context,
                         [this] { finish(QString()); });
        QObject::connect(m_worker, &SerialWorker::updateFailed, &m_context,
                         [this](const QString &reason) { finish(reason); });
    }

    ~ThreadedWorker()
    {
        QMetaObject::invokeMethod(
            m_worker, [this] { m_worker->disconnectPort(); }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
        delete m_worker;
    }

    bool connectTo(const QString &port)
    {
        bool open = false;
        QMetaObject::invokeMethod(
            m_worker,
            [this, port, &open] {
                m_worker->connectToPort(port);
                open = m_worker->state() == SerialWorker::Idle;
            },
            Qt::BlockingQueuedConnection);
        return open;
    }

    // Runs fn on the worker thread and waits on this thread for the outcome. Returns the failure
    // reason, empty on success; sets the time from the call to the outcome.
    QString run(const std::function<void(SerialWorker &)> &fn, double *elapsedMs)
    {
        m_outcome.reset();
        QEventLoop loop;
        m_loop = &loop;
        QTimer::singleShot(kUpdateLimitMs, &loop, &QEventLoop::quit);
        m_startMs = nowMs();
        QMetaObject::invokeMethod(
            m_worker, [this, fn] { fn(*m_worker); }, Qt::QueuedConnection);
        if (!m_outcome)
            loop.exec();
        m_loop = nullptr;
        *elapsedMs = m_endMs - m_startMs;
        return m_outcome ? *m_outcome : QStringLiteral("no outcome within the limit");
    }

    // Runs fn on the worker thread and waits for it.
    void onThread(const std::function<void(SerialWorker &)> &fn)
    {
        QMetaObject::invokeMethod(
            m_worker, [this, fn] { fn(*m_worker); }, Qt::BlockingQueuedConnection);
    }

    double startMs() const { return m_startMs; }
    // CPU time the worker thread has used so far, asked on that thread once it is free.
    double cpuMs()
    {
        double ms = 0;
        QMetaObject::invokeMethod(
            m_worker,
            [&ms] {
                rusage usage{};
                ::getrusage(RUSAGE_THREAD, &usage);
                ms = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
                     + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
            },
            Qt::BlockingQueuedConnection);
        return ms;
    }

private:
    void finish(const QString &reason)
    {
        if (m_outcome)
            return;
        m_endMs = nowMs();
        m_outcome = reason;
        if (m_loop)
            m_loop->quit();
    }

    QThread m_thread;
    SerialWorker *m_worker = nullptr;
    QObject m_context;
    std::optional<QString> m_outcome;
    QEventLoop *m_loop = nullptr;
    double m_startMs = 0;
    double m_endMs = 0;
};


// Times of the scripted device's events, taken on the device thread.
class EventClock
{
public:
    explicit EventClock(ScriptedDevice &device)
    {
        device.setEventHook([this](ScriptedDevice &, const QString &event) {
            QMutexLocker lock(&m_mutex);
            if (!m_times.contains(event))
                m_times.insert(event, nowMs());
        });
    }
    double at(const QString &event) const
    {
        QMutexLocker lock(&m_mutex);
        return m_times.value(event, -1);
    }

private:
    mutable QMutex m_mutex;
    QHash<QString, double> m_times;
};

// A list of times, appended from any thread.
class Times
{
public:
    void add(double ms)
    {
        QMutexLocker lock(&m_mutex);
        m_times.push_back(ms);
    }
    std::vector<double> values() const
    {
        QMutexLocker lock(&m_mutex);
        return m_times;
    }
    // The first time at or after ms, or -1.
    static double firstAfter(const std::vector<double> &times, double ms)
    {
        const auto it = std::lower_bound(times.begin(), times.end(), ms);
        return it == times.end() ? -1 : *it;
    }

private:
    mutable QMutex m_mutex;
    std::vector<double> m_times;
};

// (a) and (c): updates over the paced link, and the worker thread's CPU time.
void pacedUpdates();
// (b): unpaced, against rb and sb.
void unpacedComparison();

} // namespace UpdateBench
