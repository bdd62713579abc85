// The update over a paced 115200-baud link: update times beside the wire minimum, the breakdown
// by phase, the turnaround after each data block and the worker thread's CPU time.

#include "updatebench.h"

namespace UpdateBench {

namespace {

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

} // namespace

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

} // namespace UpdateBench
