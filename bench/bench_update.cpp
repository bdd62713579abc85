// Update benchmark: the worker on its own thread against the scripted device, measured against
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
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <optional>
#include <sys/resource.h>
#include <vector>

namespace {

constexpr int kBaud = 115200;
constexpr int kFullImage = 236544;
struct PacedCase
{
    int size;
    bool report; // the device prints its completion report
};
const PacedCase kPacedCases[] = {{4096, true}, {65536, true}, {kFullImage, true}, {4096, false}};
constexpr int kTracedSize = 65536;
// Runs of each unpaced measurement; the median is reported.
constexpr int kUnpacedRuns = 5;
// Bounds of the waits (a 236544-byte update at 115200 takes about 21 s).
constexpr int kUpdateLimitMs = 120000;
constexpr int kRbStartMs = 5000;
constexpr int kProcessLimitMs = 60000;
const QString kRb = QStringLiteral("/usr/bin/rb");
const QString kSb = QStringLiteral("/usr/bin/sb");

QElapsedTimer g_clock; // one time base for every thread

double nowMs()
{
    return g_clock.nsecsElapsed() / 1e6;
}

// A pseudo-random image that starts with a plausible vector table.
QByteArray pattern(int size)
{
    QByteArray image(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        image[i] = char(x & 0xFF);
    }
    return withVectorTable(image);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Bytes a transfer of this image must put on the line, both directions: header, data blocks and
// end-of-batch block with their CRC, EOT, and one ACK per block. No widgets, no I/O.
struct WireBytes
{
    qint64 toDevice = 0;
    qint64 acks = 0;
    qint64 total() const { return toDevice + acks; }
};

WireBytes wireMinimum(qint64 size)
{
    const qint64 longBlocks = size / 1024;
    const qint64 shortBlocks = (size % 1024 + 127) / 128;
    constexpr int kFrame = 3 + 2; // start byte, number, complement; CRC-16
    WireBytes w;
    w.toDevice = (128 + kFrame) + longBlocks * (1024 + kFrame) + shortBlocks * (128 + kFrame) + 1 +
                 (128 + kFrame);
    w.acks = 1 + longBlocks + shortBlocks + 1 + 1;
    return w;
}

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

QString writeImage(const QTemporaryDir &dir, const QByteArray &image);

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

// The scripted device, also noting when each chunk from the host arrived and when each block
// was answered (the ACK is written before the block's event is recorded).
class TracedDevice : public ScriptedDevice
{
public:
    TracedDevice()
    {
        setEventHook([this](ScriptedDevice &, const QString &event) {
            if (event.startsWith(QLatin1String("block:")) && event.mid(6).toInt() > 0)
                answered.add(nowMs());
        });
    }
    Times chunks;
    Times answered;

protected:
    void onReceived(const QByteArray &chunk) override
    {
        chunks.add(nowMs());
        ScriptedDevice::onReceived(chunk);
    }
};

// Where the time between two data blocks goes, beyond the bytes on the line: each data block's
// ACK written by the device -> the worker's port reports it (link + wake-up) -> the worker has
// written the next block -> its first byte reaches the device. Medians in microseconds.
void turnaroundTrace(int size)
{
    QTemporaryDir dir;
    const QByteArray image = pattern(size);
    const QString path = writeImage(dir, image);
    TracedDevice device;
    PacedLink link(device.portName(), kBaud);
    ThreadedWorker worker;
    if (!link.isValid() || !worker.connectTo(link.hostPortName()))
        return;
    Times seen;
    Times written;
    worker.onThread([&seen, &written](SerialWorker &w) {
        QObject::connect(w.port(), &QSerialPort::readyRead, &w, [&seen] { seen.add(nowMs()); });
        QObject::connect(w.port(), &QSerialPort::bytesWritten, &w,
                         [&written] { written.add(nowMs()); });
    });
    double ms = 0;
    if (!worker.run([path](SerialWorker &w) { w.startUpdate(path); }, &ms).isEmpty())
        return;
    worker.onThread([](SerialWorker &w) {
        QObject::disconnect(w.port(), nullptr, &w, nullptr);
        QObject::connect(w.port(), &QSerialPort::readyRead, &w, &SerialWorker::handleReadyRead);
    });

    const std::vector<double> acks = device.answered.values();
    const std::vector<double> reads = seen.values();
    const std::vector<double> writes = written.values();
    const std::vector<double> arrivals = device.chunks.values();
    std::vector<double> toHost, inWorker, toDevice;
    // The last data block's ACK is followed by EOT, not a block: leave it out.
    for (size_t i = 0; i + 1 < acks.size(); ++i) {
        const double read = Times::firstAfter(reads, acks[i]);
        const double write = Times::firstAfter(writes, read);
        const double arrival = Times::firstAfter(arrivals, acks[i]);
        if (read < 0 || write < 0 || arrival < 0)
            continue;
        toHost.push_back(1000 * (read - acks[i]));
        inWorker.push_back(1000 * (write - read));
        toDevice.push_back(1000 * (arrival - write));
    }
    std::printf("\n    Turnaround after each data block of the %d-byte update (median us over %zu "
                "blocks; 86.8 us is one byte on the line):\n"
                "      ACK written by the device -> the worker's port reports it   %8.0f\n"
                "      reported -> the worker has written the next block           %8.0f\n"
                "      written -> its first byte reaches the device                %8.0f\n",
                size, toHost.size(), median(toHost), median(inWorker), median(toDevice));
}

QString writeImage(const QTemporaryDir &dir, const QByteArray &image)
{
    const QString path = dir.filePath(QStringLiteral("app.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return QString();
    return path;
}

// ---- (a) and (c): the paced link ----

void pacedUpdates()
{
    std::printf("\n(a) Update over a paced %d-baud link (8N1, %.1f us a byte), request to "
                "updateSuccess()\n",
                kBaud, 1e6 * 10 / kBaud);
    std::printf("%9s %11s %11s %10s | %9s %9s | %9s %9s %9s %9s %9s | %8s\n", "bytes",
                "measured ms", "minimum ms", "efficiency", "floor ms", "vs floor", "idn+quiet",
                "menu", "C..hdr", "blocks", "report", "us/block");
    QTemporaryDir dir;
    double fullCpuMs = -1;
    double fullMs = 0;
    for (const auto &[size, report] : kPacedCases) {
        const QByteArray image = pattern(size);
        const QString path = writeImage(dir, image);
        ScriptedDevice::Script script;
        script.printReport = report;
        ScriptedDevice device(script);
        EventClock events(device);
        PacedLink link(device.portName(), kBaud);
        ThreadedWorker worker;
        if (!link.isValid() || !worker.connectTo(link.hostPortName())) {
            std::printf("%9d  could not set up the paced link\n", size);
            continue;
        }
        const double cpuBefore = worker.cpuMs();
        double measured = 0;
        const QString failure =
            worker.run([path](SerialWorker &w) { w.startUpdate(path); }, &measured);
        const double cpu = worker.cpuMs() - cpuBefore;
        if (!failure.isEmpty() || device.receiver().fileData() != image) {
            std::printf("%9d  update failed: %s\n", size, qPrintable(failure));
            continue;
        }
        const double byteMs = link.byteTimeNs() / 1e6;
        const WireBytes wire = wireMinimum(size);
        const double minimum = wire.total() * byteMs;

        // Phases, by the device's clock: the query and its reply with the quiet gap until the
        // start command arrives; the menu until the download key arrives; the 'C' run until the
        // header block has arrived; the blocks until the end-of-batch block has arrived; the
        // final ACK, the report and the completion check until updateSuccess().
        const double t0 = worker.startMs();
        const double start = events.at(QStringLiteral("start:fwupd"));
        const double choice = events.at(QStringLiteral("choice"));
        const double header = events.at(QStringLiteral("block:0"));
        const double end = events.at(QStringLiteral("block:-3"));
        const double blocksMs = end - header;
        // Between the header's arrival and the end-of-batch block's: every block after the
        // header and every ACK but the last one, at the line rate.
        constexpr int kHeaderBlockBytes = 3 + 128 + 2;
        const qint64 replies = wire.acks - 1;
        const double blocksMinimum = (wire.toDevice - kHeaderBlockBytes + replies) * byteMs;
        // Everything else the protocol needs on the line, and the identification query's quiet gap.
        const QByteArray reportText =
            "Programming Completed Successfully!\r\nSize: " + QByteArray::number(size) +
            " Bytes\r\nJump To App\r\n";
        const qint64 handshakeBytes = 7 + script.identification.chunks.value(0).bytes.size() + 8 +
                                      ScriptedDevice::menuText().size() + 1 + 8 +
                                      (report ? reportText.size() : 0);
        const double floor = minimum + handshakeBytes * byteMs +
                             double(DeviceTimeouts().replyQuiet.count()) +
                             (report ? 0 : double(DeviceTimeouts().completionReport.count()));
        std::printf("%8d%s %11.1f %11.1f %9.2f%% | %9.1f %8.2f%% | %9.1f %9.1f %9.1f %9.1f %9.1f | "
                    "%8.0f\n",
                    size, report ? " " : "*", measured, minimum, 100 * minimum / measured, floor,
                    100 * floor / measured, start - t0, choice - start, header - choice, blocksMs,
                    t0 + measured - end, 1000 * (blocksMs - blocksMinimum) / double(replies));
        if (size == kFullImage && report) {
            fullCpuMs = cpu;
            fullMs = measured;
        }
    }
    std::printf("    * the device prints no completion report: the check waits its full 600 ms.\n");
    std::printf(
        "    floor = minimum + every other byte the protocol exchanges (query, reply, start "
        "command, menu, key, 'C' run, report) + the 200 ms quiet gap that ends the reply "
        "(+ 600 ms without a report)\n");
    std::printf("    phases: idn+quiet = request to start command at the device (query, reply, "
                "200 ms quiet gap);\n"
                "    menu = start command to download key; C..hdr = key to header block "
                "received;\n"
                "    blocks = header received to end-of-batch received; report = final ACK, "
                "report text, completion check;\n"
                "    us/block = time per block beyond its bytes and ACK at the line rate "
                "(sender's reaction + link latency).\n");
    turnaroundTrace(kTracedSize);
    if (fullCpuMs >= 0) {
        std::printf("\n(c) Worker thread CPU during the paced %d-byte update: %.1f ms of %.1f ms = "
                    "%.2f %% of one core\n",
                    kFullImage, fullCpuMs, fullMs, 100 * fullCpuMs / fullMs);
    }
}

// ---- (b): unpaced, against rb and sb ----

// rb in YMODEM mode in its own folder, its standard streams joined to a fake device's master
// side. What rb prints is held back until release(), so a sender started later still sees the
// receiver's first request. Notes when the header and every data block of an image of dataSize
// bytes have been passed to rb.
class RbPeer
{
public:
    RbPeer(FakeDevice &device, const QString &folder, int dataSize)
        : m_device(device), m_dataBytes(wireMinimum(dataSize).toDevice - 1 - (3 + 128 + 2))
    {
        device.runOnDeviceThread([this, folder] {
            m_process = new QProcess;
            m_process->setWorkingDirectory(folder);
            QObject::connect(m_process, &QProcess::readyReadStandardOutput, m_process, [this] {
                const QByteArray out = m_process->readAllStandardOutput();
                if (m_dataInMs >= 0)
                    note(QStringLiteral("rb %1").arg(describe(out)));
                m_held += out;
                if (m_released) {
                    m_device.send(m_held);
                    m_held.clear();
                }
                if (m_held.contains('C'))
                    m_asked = true;
            });
            m_process->start(kRb, {QStringLiteral("--ymodem"), QStringLiteral("--binary")});
            m_started = m_process->waitForStarted(kProcessLimitMs);
        });
        device.setResponder([this](FakeDevice &, const QByteArray &chunk) {
            if (m_dataInMs >= 0)
                note(QStringLiteral("sender %1").arg(describe(chunk)));
            m_passed += chunk.size();
            if (m_passed >= m_dataBytes && m_dataInMs < 0)
                m_dataInMs = nowMs();
            if (m_process)
                m_process->write(chunk);
        });
    }

    ~RbPeer()
    {
        m_device.setResponder({});
        m_device.runOnDeviceThread([this] {
            if (m_process->state() != QProcess::NotRunning) {
                m_process->kill();
                m_process->waitForFinished(kProcessLimitMs);
            }
            delete m_process;
        });
    }

    // Waits until rb has asked for the file.
    bool waitForRequest()
    {
        QElapsedTimer clock;
        clock.start();
        while (!m_asked && clock.elapsed() < kRbStartMs)
            QThread::msleep(1);
        return m_started && m_asked;
    }

    void release()
    {
        m_device.runOnDeviceThread([this] {
            m_released = true;
            m_device.send(m_held);
            m_held.clear();
        });
    }

    // When the last data block reached rb; -1 before.
    double dataInMs() const { return m_dataInMs; }

    // What crossed the link after the last data block, with the time since it reached rb.
    QStringList tail() const
    {
        QStringList copy;
        m_device.runOnDeviceThread([this, &copy] { copy = m_tail; });
        return copy;
    }

    // Waits for rb to end; true when it ended with status 0. Sets when it ended.
    bool finish(double *endMs)
    {
        bool ok = false;
        m_device.runOnDeviceThread([this, &ok, endMs] {
            if (m_process->state() != QProcess::NotRunning)
                m_process->waitForFinished(kProcessLimitMs);
            *endMs = nowMs();
            ok = m_process->exitStatus() == QProcess::NormalExit && m_process->exitCode() == 0;
        });
        return ok;
    }

private:
    static QString describe(const QByteArray &bytes)
    {
        if (bytes == QByteArray(1, 0x04))
            return QStringLiteral("EOT");
        if (bytes.size() == 133 && bytes.startsWith(QByteArray::fromHex("0100ff")))
            return QStringLiteral("end-of-batch block");
        QStringList names;
        for (char c : bytes.left(8)) {
            names << (c == 0x06   ? QStringLiteral("ACK")
                      : c == 0x15 ? QStringLiteral("NAK")
                      : c == 'C'  ? QStringLiteral("C")
                                  : QStringLiteral("0x%1").arg(quint8(c), 2, 16, QLatin1Char('0')));
        }
        return names.join(' ') +
               (bytes.size() > 8 ? QStringLiteral(" ... (%1 bytes)").arg(bytes.size()) : QString());
    }
    // Device thread.
    void note(const QString &what)
    {
        constexpr int kMaxTail = 16;
        if (m_tail.size() < kMaxTail)
            m_tail << QStringLiteral("%1 ms  %2").arg(nowMs() - m_dataInMs, 7, 'f', 1).arg(what);
    }

    FakeDevice &m_device;
    QStringList m_tail;
    const qint64 m_dataBytes;
    qint64 m_passed = 0;
    std::atomic<double> m_dataInMs{-1};
    QProcess *m_process = nullptr;
    QByteArray m_held;
    bool m_released = false;
    std::atomic<bool> m_asked{false};
    bool m_started = false;
};

bool sameFile(const QString &path, const QByteArray &image)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.readAll() == image;
}

struct UnpacedRun
{
    double oursFull = -1;     // full update against the scripted device
    double oursTransfer = -1; // its transfer part: 'C' run sent to updateSuccess()
    // Into rb, from the sender's start: until every data block reached rb, and until both ended.
    double oursRbData = -1;
    double oursRb = -1;
    double sbRbData = -1;
    double sbRb = -1;
    QStringList oursTail, sbTail;
};

void oursAgainstScripted(const QString &path, const QByteArray &image, UnpacedRun &run)
{
    ScriptedDevice device;
    EventClock events(device);
    ThreadedWorker worker;
    if (!worker.connectTo(device.portName()))
        return;
    double ms = 0;
    const QString failure = worker.run([path](SerialWorker &w) { w.startUpdate(path); }, &ms);
    if (!failure.isEmpty() || device.receiver().fileData() != image) {
        std::printf("  our update failed: %s\n", qPrintable(failure));
        return;
    }
    run.oursFull = ms;
    run.oursTransfer = worker.startMs() + ms - events.at(QStringLiteral("C:8"));
}

void oursIntoRb(const QByteArray &image, UnpacedRun &run)
{
    QTemporaryDir folder;
    FakeDevice device;
    ThreadedWorker worker;
    if (!worker.connectTo(device.portName()))
        return;
    RbPeer rb(device, folder.path(), int(image.size()));
    if (!rb.waitForRequest()) {
        std::printf("  rb did not start\n");
        return;
    }
    double ms = 0;
    rb.release();
    const double start = nowMs();
    // From where the handshake hands over once the receiver asked for the file.
    const QString failure = worker.run(
        [image](SerialWorker &sw) { SerialWorkerTestAccess::runTransfer(sw, image, "image.bin"); },
        &ms);
    double rbEnd = 0;
    const bool rbOk = rb.finish(&rbEnd);
    if (!failure.isEmpty() || !rbOk ||
        !sameFile(folder.filePath(QStringLiteral("image.bin")), image)) {
        std::printf("  our transfer into rb failed: %s\n", qPrintable(failure));
        return;
    }
    run.oursRb = std::max(start + ms, rbEnd) - start;
    run.oursRbData = rb.dataInMs() - start;
    run.oursTail = rb.tail();
    run.oursTail << QStringLiteral("%1 ms  updateSuccess(), after the completion check")
                        .arg(start + ms - rb.dataInMs(), 7, 'f', 1)
                 << QStringLiteral("%1 ms  rb ended").arg(rbEnd - rb.dataInMs(), 7, 'f', 1);
}

void sbIntoRb(const QString &path, const QByteArray &image, UnpacedRun &run)
{
    QTemporaryDir folder;
    FakeDevice device; // sb on the slave side, rb behind the master: the same link as ours
    RbPeer rb(device, folder.path(), int(image.size()));
    if (!rb.waitForRequest()) {
        std::printf("  rb did not start\n");
        return;
    }
    QProcess sb;
    sb.setStandardInputFile(device.portName());
    sb.setStandardOutputFile(device.portName());
    const double start = nowMs();
    sb.start(kSb, {QStringLiteral("--ymodem"), QStringLiteral("-k"), QStringLiteral("--binary"),
                   QStringLiteral("-q"), path});
    rb.release();
    const bool sbOk = sb.waitForFinished(kProcessLimitMs) && sb.exitCode() == 0;
    const double sbEnd = nowMs();
    double rbEnd = 0;
    const bool rbOk = rb.finish(&rbEnd);
    if (!sbOk || !rbOk || !sameFile(folder.filePath(QFileInfo(path).fileName()), image)) {
        std::printf("  sb into rb failed: %s\n", sb.readAllStandardError().constData());
        return;
    }
    run.sbRb = std::max(sbEnd, rbEnd) - start;
    run.sbRbData = rb.dataInMs() - start;
    run.sbTail = rb.tail();
    run.sbTail << QStringLiteral("%1 ms  sb ended").arg(sbEnd - rb.dataInMs(), 7, 'f', 1)
               << QStringLiteral("%1 ms  rb ended").arg(rbEnd - rb.dataInMs(), 7, 'f', 1);
}

void unpacedComparison()
{
    std::printf("\n(b) %d bytes over an unpaced pseudo-terminal, median of %d runs (ms)\n",
                kFullImage, kUnpacedRuns);
    if (!QFileInfo(kRb).isExecutable() || !QFileInfo(kSb).isExecutable()) {
        std::printf("  lrzsz (rb, sb) is missing: scripts/setup.sh installs it\n");
        return;
    }
    QTemporaryDir dir;
    const QByteArray image = pattern(kFullImage);
    const QString path = writeImage(dir, image);
    std::vector<double> full, transfer, rbAll, rbData, sbAll, sbData;
    UnpacedRun run;
    for (int i = 0; i < kUnpacedRuns; ++i) {
        run = UnpacedRun();
        oursAgainstScripted(path, image, run);
        oursIntoRb(image, run);
        sbIntoRb(path, image, run);
        std::printf("  run %d: ours full %.1f (transfer %.1f); into rb: ours %.1f / %.1f, sb %.1f "
                    "/ %.1f\n",
                    i + 1, run.oursFull, run.oursTransfer, run.oursRbData, run.oursRb, run.sbRbData,
                    run.sbRb);
        for (auto [value, list] : {std::pair{run.oursFull, &full},
                                   {run.oursTransfer, &transfer},
                                   {run.oursRb, &rbAll},
                                   {run.oursRbData, &rbData},
                                   {run.sbRb, &sbAll},
                                   {run.sbRbData, &sbData}}) {
            if (value >= 0)
                list->push_back(value);
        }
    }
    const double sbMedian = median(sbAll);
    std::printf("  into rb (median ms)            all data blocks in    to the end\n");
    std::printf("    ours                         %18.1f %13.1f\n", median(rbData), median(rbAll));
    std::printf("    sb --ymodem -k               %18.1f %13.1f\n", median(sbData), sbMedian);
    std::printf("    ratio ours / sb              %18.2f %13.2f\n", median(rbData) / median(sbData),
                median(rbAll) / sbMedian);
    std::printf("  after the last data block reached rb (last run):\n    ours:\n");
    for (const QString &line : std::as_const(run.oursTail))
        std::printf("      %s\n", qPrintable(line));
    std::printf("    sb:\n");
    for (const QString &line : std::as_const(run.sbTail))
        std::printf("      %s\n", qPrintable(line));
    std::printf("  ours against the scripted device (median ms, ratio to sb into rb's end):\n");
    std::printf("    full update, request to updateSuccess()   %8.1f  %5.2f\n", median(full),
                median(full) / sbMedian);
    std::printf("    transfer part, 'C' run to updateSuccess()  %8.1f  %5.2f\n", median(transfer),
                median(transfer) / sbMedian);
}

} // namespace

int main(int argc, char *argv[])
{
    g_clock.start();
    QCoreApplication app(argc, argv);
    std::printf("bench_update: the worker on its own thread; the device simulator's scripted "
                "device\n");
    // Sections may be picked by name: paced, unpaced; default both.
    const QStringList picked = app.arguments().mid(1);
    if (picked.isEmpty() || picked.contains(QLatin1String("paced")))
        pacedUpdates();
    if (picked.isEmpty() || picked.contains(QLatin1String("unpaced")))
        unpacedComparison();
    return 0;
}
