// The YMODEM transfer engine against a fake bootloader receiver on a pseudo-terminal: byte-exact
// delivery, resynchronisation, retries, cancel, progress, port loss, abort and the one result.

#include "device/serialworker.h"
#include "workertestaccess.h"
#include "ymodemdevice.h"

#include <QtTest>

#include <functional>
#include <memory>

using namespace std::chrono_literals;
using Access = SerialWorkerTestAccess;
using Faults = YmodemReceiver::Faults;
Q_DECLARE_METATYPE(YmodemReceiver::Faults)
using Arrivals = QMap<int, int>; // block -> how often it arrived

namespace {

// Reply waits short enough for the retry tests, long enough that a loaded machine's late reply
// is never taken for a time-out (a late ACK then shifts every later reply by one block).
constexpr auto kDataReply = 500ms;
const QString kSuccess = QStringLiteral("success");
const QString kCode5 = QStringLiteral("failed:传输错误（错误码：5）");
const QString kCancelled = QStringLiteral("failed:设备中止了传输");

DeviceTimeouts shortTimeouts()
{
    DeviceTimeouts t;
    t.blockReply = 500ms;
    t.dataBlockReply = kDataReply;
    t.writeDrain = 500ms;
    t.completionReport = 50ms;
    return t;
}

// A worker ready to send to a fake receiver with the given faults.
struct Rig : WorkerRig<YmodemDevice>
{
    explicit Rig(const Faults &faults = {}) : WorkerRig(shortTimeouts(), faults) {}
    void run(const QByteArray &image) { Access::runTransfer(worker, image, "app.bin"); }
};

// A port whose every write fails, to see the write-error path.
class FailingPort : public QSerialPort
{
public:
    using QSerialPort::QSerialPort;

protected:
    qint64 writeData(const char *, qint64) override
    {
        setErrorString(QStringLiteral("Input/output error"));
        return -1;
    }
};

// Queues a call to the worker once, when the receiver first holds the given data block (the hook
// runs for every chunk the device reads).
YmodemDevice::Hook onBlock(int block, SerialWorker *worker, void (SerialWorker::*slot)())
{
    auto fired = std::make_shared<bool>(false);
    return [=](YmodemDevice &, const YmodemReceiver &receiver) {
        if (!*fired && receiver.arrivals(block) > 0) {
            *fired = true;
            QMetaObject::invokeMethod(worker, slot, Qt::QueuedConnection);
        }
        return true;
    };
}

} // namespace

class TestYmodemTransfer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void transferAgainstTheReceiver_data();
    void transferAgainstTheReceiver();
    void headerGoesOutWithItsCrcHighByteFirst();
    void replyWaitPrecedence_data();
    void replyWaitPrecedence();
    void progressIsReportedEvery4096Bytes_data();
    void progressIsReportedEvery4096Bytes();

    void portLostMidTransferReportsThePortErrorThenDisconnects();
    void abortEndsWithUserCancelled();
    void writeErrorIsReportedAndClosesThePort();
    void portGoneMidTransferEndsWithoutTouchingIt_data();
    void portGoneMidTransferEndsWithoutTouchingIt();
};

void TestYmodemTransfer::transferAgainstTheReceiver_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<QString>("result");
    QTest::addColumn<Arrivals>("arrivals");
    QTest::addColumn<QStringList>("resyncLogs");
    auto row = [](const char *name, int size, const std::function<void(Faults &)> &set,
                  const QString &result = kSuccess, const Arrivals &arrivals = {},
                  const QStringList &resyncLogs = {}) {
        Faults faults;
        set(faults);
        QTest::newRow(name) << size << faults << result << arrivals << resyncLogs;
    };
    const auto none = [](Faults &) {};
    const QString headerResync = QStringLiteral("设备已持有首包，正在重新同步。");
    constexpr int eot = YmodemReceiver::kEot;

    row("1 byte arrives in one padded short block", 1, none);
    row("2500 bytes arrive in long and short blocks", 2500, none);
    row("past 256 blocks the block number wraps to 0x00 on the wire", 257 * 1024 + 5, none);
    row("in checksum mode each block carries one check byte", 2500,
        [](Faults &f) { f.checksumMode = true; });
    row("a NAK on the header is resynchronisation: the header is not sent again", 6144,
        [](Faults &f) { f.nakBlockOnce = 0; }, kSuccess, {{0, 1}, {1, 1}}, {headerResync});
    row("a NAK on data block 3 as the first NAK logs block 3 and block 4 follows", 6144,
        [](Faults &f) { f.nakBlockOnce = 3; }, kSuccess, {{3, 1}, {4, 1}},
        {"设备已持有第 3 块，正在重新同步。"});
    row("a second NAK is a failed attempt: the block goes again", 6144,
        [](Faults &f) {
            f.nakBlockOnce = 0;
            f.moreNakBlocks = {2, 5};
        },
        kSuccess, {{0, 1}, {2, 2}, {5, 2}}, {headerResync});
    row("a NAK on the first EOT is a failed attempt; the repeat is ACK-ed", 300,
        [](Faults &f) { f.nakFirstEot = true; }, kSuccess, {{eot, 2}});
    row("one time-out is retried", 5000,
        [](Faults &f) {
            f.silentAtBlock = 3;
            f.silentAttempts = 1;
        },
        kSuccess, {{3, 2}});
    row("'C' requests after an ACK are dropped", 3000, [](Faults &f) { f.requestAfterAck = true; });
    row("CAN alone on data block 2 ends with the device's cancel", 4000,
        [](Faults &f) { f.cancelAtBlock = 2; }, kCancelled, {{2, 1}});
    row("CAN alone on EOT ends the same way", 4000, [](Faults &f) { f.cancelAtBlock = eot; },
        kCancelled, {{eot, 1}});
    row("a receiver that never answers the header gets five attempts, then code 5", 4000,
        [](Faults &f) { f.silentAtBlock = 0; }, kCode5, {{0, 5}});
    row("a receiver that never answers EOT gets five attempts too", 4000,
        [](Faults &f) { f.silentAtBlock = eot; }, kCode5, {{eot, 5}});
}

void TestYmodemTransfer::transferAgainstTheReceiver()
{
    QFETCH(int, size);
    QFETCH(Faults, faults);
    QFETCH(QString, result);
    QFETCH(Arrivals, arrivals);
    QFETCH(QStringList, resyncLogs);
    Rig rig(faults);
    rig.worker.setUseChecksum(faults.checksumMode);
    const QByteArray image = testImage(size);
    QElapsedTimer clock;
    clock.start();
    rig.run(image);

    QCOMPARE(rig.trace.outcomes(), QStringList{result});
    const YmodemReceiver receiver = rig.device.receiver();
    QVERIFY2(!receiver.failed(), qPrintable(receiver.errors().join('\n')));
    if (result == kSuccess) {
        QVERIFY(receiver.finished());
        QCOMPARE(receiver.fileName(), QByteArray("app.bin"));
        QCOMPARE(receiver.fileData(), image);
    }
    // The device thread of a loaded machine may still be reading the last attempt.
    for (auto it = arrivals.cbegin(); it != arrivals.cend(); ++it)
        QTRY_COMPARE_WITH_TIMEOUT(rig.device.receiver().arrivals(it.key()), it.value(), 2000);
    QCOMPARE(rig.trace.with("log:").filter(QStringLiteral("重新同步")), resyncLogs);
    if (result == kCode5)
        QVERIFY(clock.elapsed() >= 5 * kDataReply.count());
    QCOMPARE(rig.worker.state(), SerialWorker::Idle);
    QCOMPARE(rig.trace.count("disconnected"), 0);
}

void TestYmodemTransfer::headerGoesOutWithItsCrcHighByteFirst()
{
    Rig rig;
    rig.run(testImage(2500));
    const QByteArray wire = rig.device.received();
    QCOMPARE(wire.mid(131, 2), QByteArray("\x9D\x54"));
    // Header, two long and four short data blocks, EOT, end-of-batch block: nothing else.
    QCOMPARE(wire.size(), 133 + 2 * 1029 + 4 * 133 + 1 + 133);
}

void TestYmodemTransfer::replyWaitPrecedence_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("waitMs");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("reply");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<QByteArray>("left");
    QTest::newRow("an ACK among other bytes is an ACK")
        << QByteArray("CC\x06xy") << 50 << 0 << 0x06 << false << QByteArray();
    QTest::newRow("ACK and CAN together is an ACK")
        << QByteArray("\x18\x06") << 50 << 0 << 0x06 << false << QByteArray();
    QTest::newRow("CAN and NAK together is the device's cancel")
        << QByteArray("\x15\x18") << 50 << -1 << 0 << true << QByteArray();
    QTest::newRow("C bytes and text are dropped and the wait runs out")
        << QByteArray("CCCC hello") << 50 << -1 << 0 << false << QByteArray();
    QTest::newRow("with no time left the final look still finds an ACK")
        << QByteArray("Size\x06") << 0 << 0 << 0x06 << false << QByteArray();
    QTest::newRow("with no time left the final look takes no NAK")
        << QByteArray("\x15") << 0 << -1 << 0 << false << QByteArray("\x15");
}

void TestYmodemTransfer::replyWaitPrecedence()
{
    QFETCH(QByteArray, buffer);
    QFETCH(int, waitMs);
    QFETCH(int, result);
    QFETCH(int, reply);
    QFETCH(bool, cancelled);
    QFETCH(QByteArray, left);
    Rig rig;
    rig.worker.setState(SerialWorker::Transferring);
    Access::setRxBuffer(rig.worker, buffer);

    unsigned char out = 0;
    QCOMPARE(rig.worker.receiveByte(&out, unsigned(waitMs)), result);
    QCOMPARE(int(out), reply);
    QCOMPARE(Access::deviceCancelled(rig.worker), cancelled);
    QCOMPARE(rig.worker.state(), cancelled ? SerialWorker::Aborted : SerialWorker::Transferring);
    QCOMPARE(Access::rxBuffer(rig.worker), left);
    // The bytes that came with an ACK are kept for the completion check.
    QCOMPARE(Access::lastResponse(rig.worker), reply == 0x06 ? buffer : QByteArray());
}

void TestYmodemTransfer::progressIsReportedEvery4096Bytes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("reports");
    QTest::newRow("10000 bytes report 4096, 8192, then 10000 of 10000")
        << 10000 << QStringList{"4096/10000", "8192/10000", "10000/10000"};
    QTest::newRow("4000 bytes report once, 4096 of 4000, from their last block")
        << 4000 << QStringList{"4096/4000"};
}

void TestYmodemTransfer::progressIsReportedEvery4096Bytes()
{
    QFETCH(int, size);
    QFETCH(QStringList, reports);
    Rig rig;
    rig.run(testImage(size));
    QCOMPARE(rig.trace.with("progress:"), reports);
    QCOMPARE(rig.trace.outcomes(), QStringList{kSuccess});
}

void TestYmodemTransfer::portLostMidTransferReportsThePortErrorThenDisconnects()
{
    Rig rig;
    rig.device.setHook([](YmodemDevice &self, const YmodemReceiver &receiver) {
        if (receiver.arrivals(3) == 0)
            return true;
        self.closeMaster();
        return false;
    });
    rig.run(testImage(10000));

    // The port may report more than one error; the newest one is the reason.
    const QStringList errors = rig.trace.with("error:");
    QVERIFY2(!errors.isEmpty() && errors.last().startsWith(QStringLiteral("串口错误：")),
             qPrintable(rig.trace.lines.join('\n')));
    // The reason is the hint without the system's English text.
    QCOMPARE(rig.trace.outcomes(), QStringList{"failed:" + errors.last().section(u'（', 0, 0)});
    QCOMPARE(rig.trace.count("disconnected"), 1);
    QCOMPARE(rig.trace.lines.last(), QStringLiteral("disconnected"));
    QCOMPARE(rig.worker.state(), SerialWorker::PortClosed);
}

void TestYmodemTransfer::abortEndsWithUserCancelled()
{
    Rig rig;
    // The window's request arrives as a queued call while the transfer waits.
    rig.device.setHook(onBlock(3, &rig.worker, &SerialWorker::abort));
    rig.run(testImage(20000));

    QCOMPARE(rig.trace.outcomes(), QStringList{"failed:用户取消更新"});
    QCOMPARE(rig.device.receiver().arrivals(5), 0);
    QCOMPARE(rig.worker.state(), SerialWorker::Idle);
    QVERIFY(rig.worker.port()->isOpen());
    QCOMPARE(rig.trace.count("disconnected"), 0);
}

void TestYmodemTransfer::writeErrorIsReportedAndClosesThePort()
{
    Rig rig;
    auto *port = new FailingPort(rig.device.portName());
    Access::replacePort(rig.worker, port); // releases the worker's own port first
    QVERIFY(port->open(QIODevice::ReadWrite));
    rig.run(testImage(100));

    // The block and its two CRC bytes each fail once; the log keeps the system's text, the
    // reason only the hint.
    const QStringList errors = rig.trace.with("error:");
    QCOMPARE(errors.size(), 3);
    QCOMPARE(errors.count(errors.first()), 3);
    QVERIFY2(errors.first().startsWith(QStringLiteral("写入错误：")) &&
                 errors.first().endsWith(QStringLiteral("（Input/output error）")),
             qPrintable(errors.first()));
    const QString reason = errors.first().chopped(QStringLiteral("（Input/output error）").size());
    QCOMPARE(rig.trace.outcomes(), QStringList{"failed:" + reason});
    QCOMPARE(rig.trace.lines.last(), QStringLiteral("disconnected"));
    QCOMPARE(rig.worker.state(), SerialWorker::PortClosed);
    QVERIFY(rig.device.received().isEmpty());
}

void TestYmodemTransfer::portGoneMidTransferEndsWithoutTouchingIt_data()
{
    QTest::addColumn<bool>("deleted");
    QTest::newRow("a disconnect request deletes the port") << true;
    QTest::newRow("the port-loss step closes the port") << false;
}

void TestYmodemTransfer::portGoneMidTransferEndsWithoutTouchingIt()
{
    QFETCH(bool, deleted);
    Rig rig;
    rig.device.setHook(onBlock(
        2, &rig.worker, deleted ? &SerialWorker::disconnectPort : &SerialWorker::handlePortLoss));
    rig.run(testImage(20000));

    QCOMPARE(rig.worker.port() == nullptr, deleted);
    QCOMPARE(rig.worker.state(), SerialWorker::PortClosed);
    QCOMPARE(rig.trace.count("disconnected"), 1);
    const QStringList outcomes = rig.trace.outcomes();
    QVERIFY2(outcomes.size() == 1 && outcomes.first().startsWith("failed:传输错误（错误码："),
             qPrintable(outcomes.join('|')));
    QCOMPARE(rig.device.receiver().arrivals(4), 0);
}

QTEST_GUILESS_MAIN(TestYmodemTransfer)
#include "tst_ymodem_transfer.moc"
