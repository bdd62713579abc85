// The update over a bare pseudo-terminal: our transfer into lrzsz's rb beside sb --ymodem into rb,
// and our whole update against the scripted device.

#include "updatebench.h"

namespace UpdateBench {

namespace {

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


} // namespace

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

} // namespace UpdateBench
