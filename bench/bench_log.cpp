// Log panel benchmark: time of one entry once the 5000-entry cap is reached, resident memory and
// heap in use up to 100,000 entries past the cap, and a flood of 10,000 worker messages sent from
// another thread as fast as it goes, with the longest delay a timer in the window's thread sees.
// Prints figures; asserts nothing.

#include "app/heaptuning.h"
#include "window_access.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <malloc.h>
#include <memory>
#include <vector>

namespace {

constexpr int kCap = 5000;
constexpr int kTimed = 20000;
constexpr int kMemoryEntries = 100000;
constexpr int kFlood = 10000;
constexpr std::chrono::milliseconds kProbeInterval{5};
constexpr std::chrono::seconds kFloodLimit{120};

long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// The allocator's main heap: handed out and not given back, and free but kept.
QString heapKiB()
{
    const struct mallinfo2 info = mallinfo2();
    return QStringLiteral("%1 / %2").arg(info.uordblks / 1024).arg(info.fordblks / 1024);
}

// CPU time of the process (its other threads are idle here); unlike the wall clock it leaves out
// time spent waiting for a core on a loaded machine.
double cpuMicros()
{
    return std::clock() * (1e6 / CLOCKS_PER_SEC);
}

void printDistribution(const char *title, std::vector<double> micros)
{
    double sum = 0;
    for (double v : micros)
        sum += v;
    std::sort(micros.begin(), micros.end());
    std::printf("  %s: mean %.3f ms, p99 %.3f ms, worst %.3f ms\n", title,
                sum / micros.size() / 1000.0, micros[micros.size() * 99 / 100] / 1000.0,
                micros.back() / 1000.0);
}

QString entryText(int i)
{
    return QStringLiteral("entry %1: 设备确认：写入完成（%2 字节）。\r\nsecond line")
        .arg(i)
        .arg(236544);
}

} // namespace

int main(int argc, char *argv[])
{
    keepLargeBlocksOutOfTheHeap(); // as the program's own main does
    qputenv("QT_QPA_PLATFORM", "offscreen");
    usePrivateSettingsFolder();
    QApplication app(argc, argv);
    Dialog::setPortEnumerator([] { return QList<PortListing>{}; });
    Dialog window;
    DialogTestAccess access(window);
    window.show();
    QApplication::processEvents();

    const Dialog::LogLevel levels[] = {Dialog::Info, Dialog::Command, Dialog::Response,
                                       Dialog::Error, Dialog::Success};

    for (int i = 0; i < kCap; ++i)
        window.logMessage(QStringLiteral("warm-up entry %1 <tag> & 100%").arg(i), levels[i % 5]);
    QApplication::processEvents();

    std::vector<double> micros;
    std::vector<double> cpuSamples;
    micros.reserve(kTimed);
    cpuSamples.reserve(kTimed);
    QElapsedTimer timer;
    double worstPassMs = 0;
    std::printf("entries past the cap: resident KiB, heap in use / free in heap KiB\n");
    std::printf("  %6d: %ld, %s\n", 0, residentKiB(), qPrintable(heapKiB()));
    for (int i = 1; i <= kMemoryEntries; ++i) {
        const double cpuStart = cpuMicros();
        timer.start();
        window.logMessage(entryText(i), levels[i % 5]);
        if (i <= kTimed) {
            micros.push_back(timer.nsecsElapsed() / 1000.0);
            cpuSamples.push_back(cpuMicros() - cpuStart);
        }
        if (i % 100 == 0) {
            timer.start();
            QApplication::processEvents();
            worstPassMs = std::max(worstPassMs, timer.nsecsElapsed() / 1e6);
        }
        if (i % 10000 == 0)
            std::printf("  %6d: %ld, %s\n", i, residentKiB(), qPrintable(heapKiB()));
    }

    std::printf("log entry at the %d-entry cap, %d entries:\n", kCap, kTimed);
    printDistribution("wall clock", micros);
    printDistribution("CPU time", cpuSamples);
    std::printf("  worst event-loop pass after 100 entries %.3f ms\n", worstPassMs);

    // Flood: the worker's log signal from another thread, queued to the window.
    SerialWorker *worker = access.worker();
    QElapsedTimer sinceProbe;
    qint64 worstDelayMs = 0;
    QTimer probe;
    probe.setInterval(kProbeInterval);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        worstDelayMs =
            std::max(worstDelayMs, sinceProbe.restart() - qint64(kProbeInterval.count()));
    });
    QElapsedTimer floodClock;
    qint64 emitMs = 0;
    std::unique_ptr<QThread> emitter(QThread::create([&] {
        for (int i = 1; i <= kFlood; ++i)
            Q_EMIT worker->logMessage(QStringLiteral("flood %1").arg(i));
        emitMs = floodClock.elapsed();
    }));
    QEventLoop loop;
    QTimer watch;
    watch.setInterval(kProbeInterval);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (emitter->isFinished() && access.logView()->queuedEntries() == 0 &&
            messageOf(access.log()->lastBlock()) == QStringLiteral("flood %1").arg(kFlood))
            loop.quit();
        if (floodClock.elapsed() > std::chrono::milliseconds(kFloodLimit).count())
            loop.quit();
    });
    sinceProbe.start();
    probe.start();
    watch.start();
    floodClock.start();
    emitter->start();
    loop.exec();
    const qint64 drainMs = floodClock.elapsed();
    emitter->wait();

    int inOrder = 0;
    for (QTextBlock block = access.log()->begin(); block.isValid(); block = block.next()) {
        if (messageOf(block) == QStringLiteral("flood %1").arg(kFlood - kCap + 1 + inOrder))
            ++inOrder;
    }
    std::printf("flood of %d worker messages: sent in %lld ms, drained in %lld ms\n", kFlood,
                static_cast<long long>(emitMs), static_cast<long long>(drainMs));
    std::printf("  longest event delay seen by a %lld ms timer: %lld ms\n",
                static_cast<long long>(kProbeInterval.count()),
                static_cast<long long>(worstDelayMs));
    std::printf("  entries: %d, newest %d in order: %s\n", access.log()->blockCount(), kCap,
                inOrder == kCap && access.log()->blockCount() == kCap ? "yes" : "no");
    return 0;
}
