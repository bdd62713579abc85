// The YMODEM sender against a strict fake bootloader receiver on a pseudo-terminal: CRC, byte-exact
// delivery, resynchronisation, retries, the device's cancel, progress, port loss, abort, the reply
// wait, and the bootloader's completion report after the final ACK.

#include "device/completionreport.h"
#include "device/serialworker.h"
#include "fakedevice.h"
#include "workertestaccess.h"
#include "ymodemreceiver.h"

#include <QtTest>

#include <functional>
#include <utility>

using namespace std::chrono_literals;
using Access = SerialWorkerTestAccess;
using Faults = YmodemReceiver::Faults;

namespace {

const QString kSuccess = QStringLiteral("success");
const QString kNoReport = QStringLiteral("log:警告：设备未打印完成提示（最后一个 ACK 已收到）。");
const QString kLost = QStringLiteral("设备已断开或丢失，请检查数据线后重新连接");
const QByteArray kDone("Programming Completed Successfully!\r\n");
const QByteArray kJump("Jump To App\r\n");
// Every transfer sends a name of 112 bytes whose last character takes two: the header carries its
// first 111 bytes, the character cut in two (the receiver refuses a longer name).
const QByteArray kName = QByteArray(110, 'n') + "\xC3\xA9",
                 kSentName = QByteArray(110, 'n') + "\xC3";
const QByteArray kReport2500 = kDone + "Size: 2500 Bytes\r\n" + kJump;
constexpr int kIdle = SerialWorker::Idle, kClosed = SerialWorker::PortClosed;
constexpr int kEot = YmodemReceiver::kEot, kEnd = YmodemReceiver::kEndOfBatch;
// Moments of a transfer other than a block's arrival; the last two on the worker's own thread.
constexpr int kBeforeStart = 0, kFinalAck = -1, kFirstProgress = -2;

struct Rig;
// One transfer to the receiver: its faults, what happens on the way and what must follow.
struct Transfer
{
    int size;
    std::function<void(Faults &)> faults;
    QStringList lines;            // the trace without progress and debug lines (Rig::lines)
    QMap<int, int> arrivals = {}; // block -> how often it arrived
    QStringList progress = {};    // checked where given
    std::function<void(Rig &)> act = {};
    int at = 0; // act's moment: the first arrival of block at, or one of the moments above
    int state = kIdle;
    bool told = false; // the receiver was told of the cancel (CAN)
};
struct ReplyWait
{
    QByteArray buffer;
    int waitMs, reply; // reply: the byte taken, -1 for none
    bool cancelled = false;
    QByteArray left = {};
};
struct ReportWait
{
    QByteArray withLastAck, later; // later: sent 20 ms into the wait
    QString logLine;
    bool waitsItOut;
};

// A worker sending to a fake device whose receiver answers every block it writes; act runs once,
// on the device thread, when block `at` first arrives, before the reply goes out.
struct Rig : WorkerRig<FakeDevice>
{
    explicit Rig(const Faults &faults = {}, std::chrono::milliseconds reportWait = 50ms, int at = 0,
                 std::function<void(Rig &)> act = {})
        : WorkerRig(DeviceTimeouts()), m_receiver(faults), m_at(at), m_act(std::move(act))
    {
        // Reply waits short enough for the retry tests, long enough that a loaded machine's late
        // reply is never taken for a time-out (a late ACK then shifts every later reply by one).
        DeviceTimeouts t;
        t.blockReply = t.dataBlockReply = t.writeDrain = t.extraReplyQuiet = 500ms;
        t.completionReport = reportWait;
        worker.setTimeoutsForTesting(t);
        device.setResponder([this](FakeDevice &line, const QByteArray &chunk) {
            QMutexLocker lock(&m_lock);
            const QByteArray reply = m_receiver.feed(chunk);
            if (m_act && m_receiver.arrivals(m_at) > 0)
                std::exchange(m_act, nullptr)(*this); // once, however many chunks the block took
            line.send(reply);                         // nothing goes out once act closed the line
        });
    }
    // The line closes first, so no late read of the worker's last bytes reaches the receiver.
    ~Rig() { device.closeMaster(); }

    YmodemReceiver receiver() const
    {
        QMutexLocker lock(&m_lock);
        return m_receiver;
    }
    // The trace without progress and debug lines, an error without the system's text and the
    // repeats of an error left out.
    QStringList lines() const
    {
        QStringList out;
        for (const QString &line : trace.lines)
            if (!line.startsWith("progress:") && !line.contains("[DEBUG]"))
                out << (line.startsWith("error:") ? line.section(u'（', 0, 0) : line);
        out.removeDuplicates();
        return out;
    }

private:
    mutable QMutex m_lock;
    YmodemReceiver m_receiver;
    int m_at;
    std::function<void(Rig &)> m_act;
};

// A port whose every write fails, to see the write-error path.
struct FailingPort : QSerialPort
{
    using QSerialPort::QSerialPort;
    qint64 writeData(const char *, qint64) override
    {
        setErrorString(QStringLiteral("Input/output error"));
        return -1;
    }
};

} // namespace

Q_DECLARE_METATYPE(Transfer)
Q_DECLARE_METATYPE(ReplyWait)
Q_DECLARE_METATYPE(ReportWait)

class TestYmodemTransfer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void transfer_data()
    {
        QTest::addColumn<Transfer>("t");
        const auto row = [](const char *name, const Transfer &t) { QTest::newRow(name) << t; };
        const QStringList done{kNoReport, kSuccess}, code5{"failed:传输错误（错误码：5）"};
        // One warning per re-sent block, and one when the fifth attempt failed too.
        const auto resent = [](const QString &block, int from, int to) {
            QStringList lines;
            for (int k = from; k <= to; ++k)
                lines << QStringLiteral("warn:%1未确认，正在重发（第 %2/5 次）").arg(block).arg(k);
            return lines;
        };
        const QStringList resync = QStringList{"log:设备已持有首包，正在重新同步。"} +
                                   resent("第 2 块", 2, 2) + resent("第 5 块", 2, 2) + done;
        const QStringList resync3 = QStringList{"log:设备已持有第 3 块，正在重新同步。"} + done;
        const QStringList confirmed{"log:设备确认：写入完成（2500 字节）。", kSuccess};
        const QStringList lost{"error:串口错误：" + kLost, "failed:串口错误：" + kLost,
                               "disconnected"};
        const QStringList unwritable{"error:写入错误：" + kLost, "failed:写入错误：" + kLost,
                                     "disconnected"};
        const QStringList code1{"disconnected", "failed:传输错误（错误码：1）"};
        const QStringList cancelled{"failed:用户取消更新"};
        const QStringList lostAfterDone = done + QStringList{lost.first(), "disconnected"};
        const auto nak = [](QList<int> blocks) {
            return [blocks](Faults &f) { f.moreNakBlocks = blocks; }; // each once
        };
        const auto unplug = [](Rig &rig) { rig.device.closeMaster(); };
        const auto abortNow = [](Rig &rig) { rig.worker.abort(); };
        // From the device thread, as the window's request comes while the transfer waits.
        const auto request = [](void (SerialWorker::*slot)()) {
            return [slot](Rig &rig) {
                QMetaObject::invokeMethod(&rig.worker, slot, Qt::QueuedConnection);
            };
        };
        const auto release = request(&SerialWorker::disconnectPort);
        const auto failingWrites = [](Rig &rig) {
            auto *port = new FailingPort(rig.device.portName());
            Access::replacePort(rig.worker, port); // releases the worker's own port first
            port->open(QIODevice::ReadWrite);
        };
        row("10000 bytes arrive in long and short blocks, progress every 4096 bytes",
            {10000, {}, done, {}, {"4096/10000", "8192/10000", "10000/10000"}});
        row("past 256 blocks the block number wraps to 0x00 on the wire", {263173, {}, done});
        row("in checksum mode each block carries one check byte",
            {2500, [](Faults &f) { f.checksumMode = true; }, done});
        row("a NAK on data block 3 as the first NAK logs block 3 and block 4 follows",
            {6144, nak({3}), resync3, {{3, 1}, {4, 1}}});
        row("a NAK on the header is resynchronisation; a second NAK is a failed attempt",
            {6144, nak({0, 2, 5}), resync, {{0, 1}, {1, 1}, {2, 2}, {5, 2}}});
        row("a NAK on the first EOT is a failed attempt; the repeat is ACK-ed",
            {300, nak({kEot}), resent("结束符（EOT）", 2, 2) + done, {{kEot, 2}}});
        row("a report that came with the final ACK is read at once",
            {2500, [](Faults &f) { f.completionText = kReport2500; }, confirmed});
        row("CAN alone on data block 2 ends with the device's cancel",
            {4000, [](Faults &f) { f.cancelAtBlock = 2; }, {"failed:设备中止了传输"}, {{2, 1}}});
        // The device answers block 1 only once its copy has come, and then the copy too (50 ms
        // later): that second ACK must not be taken for the next block's.
        const auto late = [](Rig &rig) { rig.device.holdOutput(-1, 50); };
        const QStringList lateOne = resent("第 1 块", 2, 2);
        const QStringList endUnanswered =
            resent("结束包", 2, 5) + QStringList{"warn:设备连续 5 次未确认结束包"} + code5;
        const auto silentEnd = [](Faults &f) { f.silentAtBlock = kEnd; };
        row("a late ACK and its copy's: the unanswered end-of-batch block fails after 5 attempts",
            {2500, silentEnd, lateOne + endUnanswered, {{1, 2}, {kEnd, 5}}, {}, late, 1});
        row("a late ACK and its copy's: the transfer stays in step and succeeds",
            {2500, {}, lateOne + done, {{1, 2}, {2, 1}}, {}, late, 1});
        row("the line going mid-transfer fails with the port error's hint, then disconnects",
            {20000, {}, lost, {{5, 0}}, {}, unplug, 3, kClosed});
        row("failing writes fail with the write error's hint, then disconnect",
            {100, {}, unwritable, {{0, 0}}, {}, failingWrites, kBeforeStart, kClosed});
        row("an abort between blocks ends the transfer with the user's cancel, the port kept",
            {20000, {}, cancelled, {{5, 0}}, {}, abortNow, kFirstProgress, kIdle, true});
        row("a disconnect request mid-transfer tells the receiver, deletes the port: a code",
            {20000, {}, code1, {{4, 0}}, {}, release, 2, kClosed, true});
        // Once the final ACK came the image is delivered: a report due 100 ms later is not read.
        row("an abort after the final ACK ends the report wait at once; the update succeeds",
            {2500, {}, done, {}, {}, abortNow, kFinalAck});
        row("a port lost after the final ACK: success, then the port error and the disconnect",
            {2500, {}, lostAfterDone, {}, {}, unplug, kFinalAck, kClosed});
    }
    void transfer()
    {
        QFETCH(Transfer, t);
        Faults faults;
        if (t.faults)
            t.faults(faults);
        // After the final ACK the report wait is long, so that only act can end it.
        Rig rig(faults, t.at == kFinalAck ? 5s : 50ms, t.at, t.at > 0 ? t.act : nullptr);
        rig.worker.setUseChecksum(faults.checksumMode);
        if (t.act && t.at == kBeforeStart)
            t.act(rig);
        if (t.at == kFirstProgress)
            connect(&rig.worker, &SerialWorker::progress, this,
                    [&] { std::exchange(t.act, [](Rig &) {})(rig); });
        rig.worker.setDebugMode(t.at == kFinalAck); // the debug line after the final ACK
        connect(&rig.worker, &SerialWorker::logMessage, this, [&](const QString &line) {
            if (line.startsWith(QStringLiteral("[DEBUG] 结束块已确认"))) {
                t.act(rig);
                rig.device.sendLater(100, kDone + kJump);
            }
        });
        const QByteArray image = testImage(t.size);
        Access::runTransfer(rig.worker, image, kName);

        QCOMPARE(rig.lines(), t.lines);
        QCOMPARE(rig.trace.lines.filter("warn:"), t.lines.filter("warn:")); // each one once
        // The log keeps the system's text of an error; the update's reason only its hint.
        for (const QString &error : rig.trace.with("error:"))
            QVERIFY2(error.endsWith(u'）'), qPrintable(error));
        const YmodemReceiver receiver = rig.receiver();
        QVERIFY2(!receiver.failed(), qPrintable(receiver.errors().join('\n')));
        if (t.lines.contains(kSuccess)) {
            QVERIFY(receiver.finished());
            QCOMPARE(receiver.fileName(), kSentName);
            QCOMPARE(receiver.fileData(), image);
        }
        // The device thread of a loaded machine may still be reading the last attempt.
        for (auto it = t.arrivals.cbegin(); it != t.arrivals.cend(); ++it)
            QTRY_COMPARE_WITH_TIMEOUT(rig.receiver().arrivals(it.key()), it.value(), 2000);
        // A cancel, and nothing else, is told to the receiver, which stops on it.
        QTRY_COMPARE_WITH_TIMEOUT(rig.receiver().cancelledBySender(), t.told, 2000);
        if (!t.progress.isEmpty())
            QCOMPARE(rig.trace.with("progress:"), t.progress);
        QCOMPARE(int(rig.worker.state()), t.state);
        QCOMPARE(rig.worker.port() && rig.worker.port()->isOpen(), t.state == kIdle);
    }

    void replyWaitPrecedence_data()
    {
        QTest::addColumn<ReplyWait>("w");
        QTest::newRow("ACK and CAN together is an ACK") << ReplyWait{"\x18\x06", 50, 6};
        QTest::newRow("CAN and NAK together is the device's cancel")
            << ReplyWait{"\x15\x18", 50, -1, true};
        QTest::newRow("C bytes and text are dropped and the wait runs out")
            << ReplyWait{"CCCC hello", 50, -1};
        QTest::newRow("with no time left the final look still finds an ACK")
            << ReplyWait{"Size\x06", 0, 6};
        QTest::newRow("with no time left the final look takes no NAK")
            << ReplyWait{"\x15", 0, -1, false, "\x15"};
    }
    void replyWaitPrecedence()
    {
        QFETCH(ReplyWait, w);
        Rig rig;
        rig.worker.setState(SerialWorker::Transferring);
        Access::setRxBuffer(rig.worker, w.buffer);

        unsigned char out = 0;
        const int result = rig.worker.receiveByte(&out, unsigned(w.waitMs));
        QCOMPARE(result == 0 ? int(out) : result, w.reply);
        QCOMPARE(Access::deviceCancelled(rig.worker), w.cancelled);
        QCOMPARE(rig.worker.state(),
                 w.cancelled ? SerialWorker::Aborted : SerialWorker::Transferring);
        QCOMPARE(Access::rxBuffer(rig.worker), w.left);
        // The bytes that came with an ACK are kept for the completion check.
        QCOMPARE(Access::lastResponse(rig.worker), w.reply == 6 ? w.buffer : QByteArray());
    }

    void reportTextStaysBounded()
    {
        // However much a chattering device prints, the collected text stays bounded.
        QByteArray collected = kDone;
        for (int i = 0; i < 10; ++i)
            CompletionReport::appendBounded(collected, QByteArray(10000, 'x'));
        QCOMPARE(collected.size(), CompletionReport::kTextCap);
    }

    void completionCheckWaitsForTheReport_data()
    {
        QTest::addColumn<ReportWait>("r");
        const auto row = [](const char *name, const ReportWait &r) { QTest::newRow(name) << r; };
        const QString confirmed = QStringLiteral("log:设备确认：写入完成。");
        // The whole report with the final ACK, so the wait ends at once.
        const auto report = [](const char *size) { return "\x06" + kDone + size + "\r\n" + kJump; };
        row("silence gives the warning after the full 600 ms", {"\x06", {}, kNoReport, true});
        row("a size line and Jump To App without the completion line end the wait, unconfirmed",
            {"\x06Size: 2500 Bytes\r\n" + kJump, kDone, kNoReport, false});
        row("a size line in a later read than the completion line is read; 2560 is a mismatch",
            {"\x06" + kDone, "Size: 2560 Bytes\r\n" + kJump,
             "log:警告：设备回报 2560 字节，但声明的是 2500 字节。", false});
        row("CR LF between the digits and Bytes still confirms the size",
            {report("Size: 2500\r\nBytes"), {}, "log:设备确认：写入完成（2500 字节）。", false});
        row("a size line without any spaces confirms the size",
            {report("Size:2500Bytes"), {}, "log:设备确认：写入完成（2500 字节）。", false});
        row("a size line in lower case gives the plain confirmation",
            {report("size: 2500 bytes"), {}, confirmed, false});
        row("a reported size of 0 gives the plain confirmation",
            {report("Size: 0 Bytes"), {}, confirmed, false});
        row("a size too large for 32 bits gives the plain confirmation",
            {report("Size: 99999999999 Bytes"), {}, confirmed, false});
    }
    void completionCheckWaitsForTheReport()
    {
        QFETCH(ReportWait, r);
        FakeDevice device;
        SerialWorker worker; // the real time limit
        worker.connectToPort(device.portName());
        WorkerTrace trace(worker);
        if (!r.later.isEmpty())
            device.sendLater(20, r.later);
        Access::setLastResponse(worker, r.withLastAck);
        worker.setState(SerialWorker::Transferring);

        QElapsedTimer clock;
        clock.start();
        worker.confirmDeviceCompletion(2500);
        QCOMPARE(trace.lines, QStringList{r.logLine});
        if (r.waitsItOut) // it can never end early, however loaded the machine
            QVERIFY2(clock.elapsed() >= 600, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TestYmodemTransfer)
#include "tst_ymodem_transfer.moc"
