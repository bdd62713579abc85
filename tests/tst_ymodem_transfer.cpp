// The YMODEM sender against a strict fake bootloader receiver on a pseudo-terminal: CRC, byte-exact
// delivery, resynchronisation, retries, the device's cancel, progress, the reply wait, port loss,
// abort, and the bootloader's completion report after the final ACK.

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
using Verdict = CompletionReport::Verdict;

namespace {

constexpr int kEot = YmodemReceiver::kEot;
const QString kSuccess = QStringLiteral("success");
const QString kNoReport = QStringLiteral("警告：设备未打印完成提示（最后一个 ACK 已收到）。");
const QByteArray kDone("Programming Completed Successfully!\r\n");
const QByteArray kJump("Jump To App\r\n");

// One row of each table.
struct Transfer
{
    int size;
    Faults faults;
    QMap<int, int> arrivals; // block -> how often it arrived
    QStringList lines, progress;
};
struct ReplyWait
{
    QByteArray buffer;
    int waitMs, reply; // reply: the byte taken, -1 for none
    bool cancelled = false;
    QByteArray left = {};
};
struct Interruption
{
    QString action;
    int block; // the block whose arrival triggers it; -1: the final ACK
    QStringList lines;
    int state;
};
struct ReportWait
{
    bool connected;
    QByteArray withLastAck, later; // later: sent 20 ms into the wait
    QString logLine;
    bool waitsItOut;
};

// Reply waits short enough for the retry tests, long enough that a loaded machine's late reply
// is never taken for a time-out (a late ACK then shifts every later reply by one block).
DeviceTimeouts shortTimeouts(std::chrono::milliseconds reportWait)
{
    DeviceTimeouts t;
    t.blockReply = t.dataBlockReply = t.writeDrain = 500ms;
    t.completionReport = reportWait;
    return t;
}

// A worker sending to a fake device whose receiver answers every block it writes.
struct Rig : WorkerRig<FakeDevice>
{
    explicit Rig(const Faults &faults = {}, std::chrono::milliseconds reportWait = 50ms)
        : WorkerRig(shortTimeouts(reportWait)), m_receiver(faults)
    {
        device.setResponder([this](FakeDevice &line, const QByteArray &chunk) {
            QMutexLocker lock(&m_lock);
            const QByteArray reply = m_receiver.feed(chunk);
            if (m_act && m_receiver.arrivals(m_actAt) > 0)
                std::exchange(m_act, nullptr)(); // once, however many chunks the block took
            line.send(reply);                    // nothing goes out once act closed the line
        });
    }
    // The line closes first, so no late read of the worker's last bytes reaches the receiver.
    ~Rig() { device.closeMaster(); }

    // act runs once on the device thread when block first arrives, before the reply goes out.
    void at(int block, std::function<void()> act)
    {
        QMutexLocker lock(&m_lock);
        m_actAt = block;
        m_act = std::move(act);
    }
    YmodemReceiver receiver() const
    {
        QMutexLocker lock(&m_lock);
        return m_receiver;
    }
    void run(const QByteArray &image, const QByteArray &name = "app.bin")
    {
        Access::runTransfer(worker, image, name);
    }
    // The trace without progress and debug lines; an error line without the system's text, and
    // the repeats of an error left out.
    QStringList lines() const
    {
        QStringList out;
        for (const QString &line : trace.lines) {
            if (!line.startsWith("progress:") && !line.contains("[DEBUG]"))
                out << (line.startsWith("error:") ? line.section(u'（', 0, 0) : line);
        }
        out.removeDuplicates();
        return out;
    }

private:
    mutable QMutex m_lock;
    YmodemReceiver m_receiver;
    int m_actAt = -1;
    std::function<void()> m_act;
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
Q_DECLARE_METATYPE(Interruption)
Q_DECLARE_METATYPE(ReportWait)
Q_DECLARE_METATYPE(CompletionReport::Verdict)

class TestYmodemTransfer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void crcOfTheCheckStringIs0x31C3()
    {
        const auto *text = reinterpret_cast<const unsigned char *>("123456789");
        QCOMPARE(SerialWorker().calcCRC16(text, 9), quint16(0x31C3));
    }

    void transferAgainstTheReceiver_data()
    {
        QTest::addColumn<Transfer>("t");
        const QStringList done{"log:" + kNoReport, kSuccess};
        auto row = [&](const char *name, int size, const std::function<void(Faults &)> &set,
                       const QMap<int, int> &arrivals = {}, const QStringList &lines = {},
                       const QStringList &progress = {}) {
            Faults faults;
            set(faults);
            QTest::newRow(name) << Transfer{size, faults, arrivals, lines.isEmpty() ? done : lines,
                                            progress};
        };
        const auto none = [](Faults &) {};
        const QString resync = QStringLiteral("log:设备已持有首包，正在重新同步。");

        row("10000 bytes arrive in long and short blocks, progress every 4096 bytes", 10000, none,
            {}, done, {"4096/10000", "8192/10000", "10000/10000"});
        row("4000 bytes report progress once, 4096 of 4000, from their last block", 4000, none, {},
            done, {"4096/4000"});
        row("past 256 blocks the block number wraps to 0x00 on the wire", 257 * 1024 + 5, none);
        row("in checksum mode each block carries one check byte", 2500,
            [](Faults &f) { f.checksumMode = true; });
        row(
            "a NAK on the header is resynchronisation: the header is not sent again", 6144,
            [](Faults &f) { f.nakBlockOnce = 0; }, {{0, 1}, {1, 1}}, QStringList{resync} + done);
        row(
            "a NAK on data block 3 as the first NAK logs block 3 and block 4 follows", 6144,
            [](Faults &f) { f.nakBlockOnce = 3; }, {{3, 1}, {4, 1}},
            QStringList{"log:设备已持有第 3 块，正在重新同步。"} + done);
        row(
            "a second NAK is a failed attempt: the block goes again", 6144,
            [](Faults &f) {
                f.nakBlockOnce = 0, f.moreNakBlocks = {2, 5};
            },
            {{0, 1}, {2, 2}, {5, 2}}, QStringList{resync} + done);
        row("a NAK on the first EOT is a failed attempt; the repeat is ACK-ed", 300,
            [](Faults &f) { f.nakFirstEot = true; }, {{kEot, 2}});
        row("one time-out is retried", 5000,
            [](Faults &f) { f.silentAtBlock = 3, f.silentAttempts = 1; }, {{3, 2}});
        row("a report that came with the final ACK is read at once", 2500,
            [](Faults &f) { f.completionText = kDone + "Size: 2500 Bytes\r\n" + kJump; }, {},
            {"log:设备确认：写入完成（2500 字节）。", kSuccess});
        row("CAN alone on data block 2 ends with the device's cancel", 4000,
            [](Faults &f) { f.cancelAtBlock = 2; }, {{2, 1}}, {"failed:设备中止了传输"});
        row("a receiver that never answers the header gets five attempts, then code 5", 4000,
            [](Faults &f) { f.silentAtBlock = 0; }, {{0, 5}}, {"failed:传输错误（错误码：5）"});
    }
    void transferAgainstTheReceiver()
    {
        QFETCH(Transfer, t);
        Rig rig(t.faults);
        rig.worker.setUseChecksum(t.faults.checksumMode);
        const QByteArray image = testImage(t.size);
        rig.run(image);

        QCOMPARE(rig.lines(), t.lines);
        const YmodemReceiver receiver = rig.receiver();
        QVERIFY2(!receiver.failed(), qPrintable(receiver.errors().join('\n')));
        if (t.lines.last() == kSuccess) {
            QVERIFY(receiver.finished());
            QCOMPARE(receiver.fileName(), QByteArray("app.bin"));
            QCOMPARE(receiver.fileData(), image);
        }
        // The device thread of a loaded machine may still be reading the last attempt.
        for (auto it = t.arrivals.cbegin(); it != t.arrivals.cend(); ++it)
            QTRY_COMPARE_WITH_TIMEOUT(rig.receiver().arrivals(it.key()), it.value(), 2000);
        if (!t.progress.isEmpty())
            QCOMPARE(rig.trace.with("progress:"), t.progress);
        QCOMPARE(rig.worker.state(), SerialWorker::Idle);
    }

    void headerNamesAreCutAt111Bytes_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("sent");
        const QByteArray n111(111, 'n'), split = QByteArray(110, 'a') + "\xC3\xA9"; // "é"
        QTest::newRow("a name of 111 bytes is sent whole") << n111 << n111;
        QTest::newRow("a name of 112 bytes loses its last byte") << n111 + 'x' << n111;
        QTest::newRow("the cut may split a two-byte character") << split << split.left(111);
    }
    void headerNamesAreCutAt111Bytes()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, sent);
        Rig rig;
        rig.run(testImage(1), name); // one padded short block
        // The receiver checks the rest of the header and refuses a name longer than 111 bytes.
        QCOMPARE(rig.trace.outcomes(), QStringList{kSuccess});
        QCOMPARE(rig.receiver().fileName(), sent);
    }

    void replyWaitPrecedence_data()
    {
        QTest::addColumn<ReplyWait>("w");
        QTest::newRow("an ACK among other bytes is an ACK") << ReplyWait{"CC\x06xy", 50, 6};
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

    void interruptedTransfers_data()
    {
        QTest::addColumn<Interruption>("i");
        const QString lost = QStringLiteral("设备已断开或丢失，请检查数据线后重新连接");
        const QStringList code{"disconnected", "failed:传输错误（错误码：1）"};
        const int closed = SerialWorker::PortClosed, idle = SerialWorker::Idle;
        QTest::newRow("the line going mid-transfer fails with the port error's hint, disconnects")
            << Interruption{"unplug",
                            3,
                            {"error:串口错误：" + lost, "failed:串口错误：" + lost, "disconnected"},
                            closed};
        QTest::newRow("failing writes fail with the write error's hint, then disconnect")
            << Interruption{"failing writes",
                            0,
                            {"error:写入错误：" + lost, "failed:写入错误：" + lost, "disconnected"},
                            closed};
        QTest::newRow("an abort mid-transfer ends it with the user's cancel and keeps the port")
            << Interruption{"abort", 3, {"failed:用户取消更新"}, idle};
        QTest::newRow("a disconnect request mid-transfer deletes the port and ends with a code")
            << Interruption{"disconnectPort", 2, code, closed};
        QTest::newRow("the port-loss step mid-transfer closes the port and ends with a code")
            << Interruption{"handlePortLoss", 2, code, closed};
        // After the final ACK the image is delivered: a report due 100 ms later is not waited for.
        QTest::newRow("an abort after the final ACK ends the report wait at once; success")
            << Interruption{"abort", -1, {"log:" + kNoReport, kSuccess}, idle};
        QTest::newRow("a port lost after the final ACK: success, then the port error, disconnect")
            << Interruption{
                   "unplug",
                   -1,
                   {"log:" + kNoReport, kSuccess, "error:串口错误：" + lost, "disconnected"},
                   closed};
    }
    void interruptedTransfers()
    {
        QFETCH(Interruption, i);
        Rig rig({}, 5s);
        const auto act = [&rig, i] {
            const auto slot = i.action == "abort"            ? &SerialWorker::abort
                              : i.action == "disconnectPort" ? &SerialWorker::disconnectPort
                                                             : &SerialWorker::handlePortLoss;
            if (i.action == "unplug")
                rig.device.closeMaster();
            else if (i.block >= 0) // from the device thread, as the window's request comes
                QMetaObject::invokeMethod(&rig.worker, slot, Qt::QueuedConnection);
            else
                (rig.worker.*slot)();
        };
        if (i.action == "failing writes") {
            auto *port = new FailingPort(rig.device.portName());
            Access::replacePort(rig.worker, port); // releases the worker's own port first
            QVERIFY(port->open(QIODevice::ReadWrite));
        } else if (i.block >= 0) {
            rig.at(i.block, act);
        } else {
            rig.worker.setDebugMode(true); // the debug line after the final ACK is the moment
            QObject::connect(&rig.worker, &SerialWorker::logMessage, [&](const QString &line) {
                if (line.startsWith(QStringLiteral("[DEBUG] 结束块已确认"))) {
                    act();
                    rig.device.sendLater(100, kDone + "Size: 2500 Bytes\r\n" + kJump);
                }
            });
        }
        rig.run(testImage(i.block >= 0 ? 20000 : 2500));

        // The log keeps the system's text of an error; the update's reason only its hint.
        for (const QString &error : rig.trace.with("error:"))
            QVERIFY2(error.endsWith(u'）'), qPrintable(error));
        QCOMPARE(rig.lines(), i.lines);
        QCOMPARE(int(rig.worker.state()), i.state);
        QCOMPARE(rig.worker.port() && rig.worker.port()->isOpen(), i.state == SerialWorker::Idle);
        if (i.block > 0) // the transfer stops within a block of the moment
            QCOMPARE(rig.receiver().arrivals(i.block + 2), 0);
    }

    void reportTextIsJudged_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<Verdict>("verdict");
        QTest::addColumn<int>("reported");
        QTest::newRow("a size line with spaces confirms the declared size")
            << kDone + "Size: 2500 Bytes\r\n"
            << Verdict::SizeConfirmed << 2500;
        QTest::newRow("CR LF between the digits and Bytes matches")
            << kDone + "Size: 2500\r\nBytes" << Verdict::SizeConfirmed << 2500;
        QTest::newRow("a size line in lower case does not match")
            << kDone + "size: 2500 bytes" << Verdict::Confirmed << 0;
        QTest::newRow("a reported size of 0 gives the plain confirmation")
            << kDone + "Size: 0 Bytes" << Verdict::Confirmed << 0;
        QTest::newRow("a size too large for 32 bits gives the plain confirmation")
            << kDone + "Size: 99999999999 Bytes" << Verdict::Confirmed << 0;
        QTest::newRow("a different size is a mismatch")
            << kDone + "Size: 2560 Bytes" << Verdict::SizeMismatch << 2560;
        QTest::newRow("a size line and the jump without the completion line confirm nothing")
            << "Size: 2500 Bytes\r\n" + kJump << Verdict::NoCompletionLine << 0;
    }
    void reportTextIsJudged()
    {
        QFETCH(QByteArray, text);
        QFETCH(Verdict, verdict);
        QFETCH(int, reported);
        const CompletionReport::Reading reading = CompletionReport::read(text, 2500);
        QCOMPARE(reading.verdict, verdict);
        QCOMPARE(reading.reportedSize, reported);
    }

    void collectedReportTextStaysBounded()
    {
        QByteArray collected;
        for (int i = 0; i < 100; ++i)
            CompletionReport::appendBounded(collected, QByteArray(10000, 'x'));
        QCOMPARE(collected.size(), CompletionReport::kTextCap);
    }

    void completionCheckWaitsForTheReport_data()
    {
        QTest::addColumn<ReportWait>("r");
        QTest::newRow("silence gives the warning after the full 600 ms")
            << ReportWait{true, "\x06", {}, kNoReport, true};
        QTest::newRow("Jump To App without the completion line ends the wait: later text is unread")
            << ReportWait{true, "\x06" + kJump, kDone, kNoReport, false};
        QTest::newRow("a report that comes after the ACK is collected") << ReportWait{
            true, "\x06", kDone + "Size: 2560 Bytes\r\n" + kJump,
            QStringLiteral("警告：设备回报 2560 字节，但声明的是 2500 字节。"), false};
        QTest::newRow("with the port gone the bytes at hand count")
            << ReportWait{false, "\x06" + kDone, {}, QStringLiteral("设备确认：写入完成。"), false};
    }
    void completionCheckWaitsForTheReport()
    {
        QFETCH(ReportWait, r);
        FakeDevice device;
        SerialWorker worker; // the real time limit
        if (r.connected)
            worker.connectToPort(device.portName());
        WorkerTrace trace(worker);
        if (!r.later.isEmpty())
            device.sendLater(20, r.later);
        Access::setLastResponse(worker, r.withLastAck);
        worker.setState(SerialWorker::Transferring);

        QElapsedTimer clock;
        clock.start();
        worker.confirmDeviceCompletion(2500);
        QCOMPARE(trace.lines, QStringList{"log:" + r.logLine});
        if (r.waitsItOut) // it can never end early, however loaded the machine
            QVERIFY2(clock.elapsed() >= 600, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TestYmodemTransfer)
#include "tst_ymodem_transfer.moc"
