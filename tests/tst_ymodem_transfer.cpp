// The YMODEM transfer engine against a fake bootloader receiver on a pseudo-terminal: byte-exact
// delivery, resynchronisation, retries, cancel, progress, port loss, abort and the one result.

#include "device/serialworker.h"
#include "workertestaccess.h"
#include "ymodemdevice.h"

#include <QtTest>

using Faults = YmodemReceiver::Faults;
using Access = SerialWorkerTestAccess;

namespace {

// Short reply waits keep the retry tests fast; the pty answers within a few milliseconds.
constexpr int kBlockReplyMs = 250;
constexpr int kDataReplyMs = 150;

DeviceTimeouts shortTimeouts()
{
    DeviceTimeouts t;
    t.blockReply = std::chrono::milliseconds(kBlockReplyMs);
    t.dataBlockReply = std::chrono::milliseconds(kDataReplyMs);
    t.writeDrain = std::chrono::milliseconds(500);
    t.completionReport = std::chrono::milliseconds(50);
    return t;
}

QByteArray pattern(int size)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 31 + i / 251) & 0xFF);
    return image;
}

// One transfer on the test thread, with every signal the worker emits recorded in order.
class TransferRun
{
public:
    explicit TransferRun(const QString &portName)
    {
        worker.setTimeoutsForTesting(shortTimeouts());
        const auto record = [this](const QString &event) { events.append(event); };
        QObject::connect(&worker, &SerialWorker::progress, &worker, [record](int sent, int total) {
            record(QStringLiteral("progress %1/%2").arg(sent).arg(total));
        });
        QObject::connect(&worker, &SerialWorker::updateSuccess, &worker,
                         [record] { record(QStringLiteral("success")); });
        QObject::connect(&worker, &SerialWorker::updateFailed, &worker,
                         [record](const QString &reason) { record("failed: " + reason); });
        QObject::connect(&worker, &SerialWorker::disconnected, &worker,
                         [record] { record(QStringLiteral("disconnected")); });
        QObject::connect(&worker, &SerialWorker::errorOccurred, &worker,
                         [record](const QString &error) { record("error: " + error); });
        QObject::connect(&worker, &SerialWorker::logMessage, &worker,
                         [this](const QString &line) { logs.append(line); });
        worker.connectToPort(portName);
    }

    void run(const QByteArray &image, const QByteArray &name = "app.bin")
    {
        Access::prepareTransfer(worker, image, name);
        clock.start();
        worker.runBlockingYmodemTransfer();
        elapsedMs = clock.elapsed();
    }

    QStringList results() const
    {
        QStringList out;
        for (const QString &event : events) {
            if (event == "success" || event.startsWith("failed: "))
                out.append(event);
        }
        return out;
    }
    QStringList progress() const { return events.filter(QStringLiteral("progress ")); }

    SerialWorker worker;
    QStringList events;
    QStringList logs;
    QElapsedTimer clock;
    qint64 elapsedMs = 0;
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

} // namespace

class TestYmodemTransfer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Delivery
    void imagesArriveByteExact_data();
    void imagesArriveByteExact();
    void headerGoesOutWithItsCrcHighByteFirst();
    void checksumModeCarriesOneCheckByteEverywhere();
    void blockNumbersWrapOnTheWireAfter255();

    // Replies
    void firstNakIsTakenAsResynchronisation_data();
    void firstNakIsTakenAsResynchronisation();
    void secondNakIsAFailedAttempt();
    void ackWithCanInOneReadIsAnAck();
    void canAloneEndsTheTransfer_data();
    void canAloneEndsTheTransfer();
    void silenceGivesFiveAttemptsThenCode5_data();
    void silenceGivesFiveAttemptsThenCode5();
    void oneTimeOutIsRetried();
    void nakOnTheFirstEotIsRetried();
    void requestBytesBetweenBlocksAreDropped();

    // The reply wait on its own
    void replyWaitPrecedence_data();
    void replyWaitPrecedence();
    void ackFoundByTheFinalLookStillCounts();

    // Progress
    void progressIsReportedEvery4096Bytes_data();
    void progressIsReportedEvery4096Bytes();

    // Interruptions
    void portLostMidTransferReportsThePortErrorThenDisconnects();
    void abortEndsWithUserCancelled();
    void writeErrorIsReportedAndClosesThePort();
    void portGoneMidTransferEndsWithoutTouchingIt_data();
    void portGoneMidTransferEndsWithoutTouchingIt();
};

void TestYmodemTransfer::imagesArriveByteExact_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("1 byte") << 1;
    QTest::newRow("127 bytes: one padded short block") << 127;
    QTest::newRow("128 bytes: one short block, no padding") << 128;
    QTest::newRow("1023 bytes: eight short blocks") << 1023;
    QTest::newRow("1024 bytes: one long block") << 1024;
    QTest::newRow("1025 bytes: a long and a short block") << 1025;
    QTest::newRow("2500 bytes: two long and four short blocks") << 2500;
    QTest::newRow("231 KiB, the default limit") << 236544;
    QTest::newRow("237440 bytes, the bootloader's limit") << 237440;
}

void TestYmodemTransfer::imagesArriveByteExact()
{
    QFETCH(int, size);
    YmodemDevice device;
    QVERIFY(device.isValid());
    TransferRun run(device.portName());
    const QByteArray image = pattern(size);
    run.run(image, "firmware-v2.bin");

    const YmodemReceiver receiver = device.receiver();
    QVERIFY2(!receiver.failed(), qPrintable(receiver.errors().join('\n')));
    QVERIFY(receiver.finished());
    QCOMPARE(receiver.fileName(), QByteArray("firmware-v2.bin"));
    QCOMPARE(receiver.declaredSize(), qint64(size));
    QCOMPARE(receiver.fileData(), image);
    QCOMPARE(run.results(), QStringList{"success"});
    QCOMPARE(run.worker.state(), SerialWorker::Idle);
    QVERIFY(Access::rxBuffer(run.worker).isEmpty());
    QVERIFY(Access::lastResponse(run.worker).isEmpty());
}

void TestYmodemTransfer::headerGoesOutWithItsCrcHighByteFirst()
{
    YmodemDevice device;
    TransferRun run(device.portName());
    run.run(pattern(2500), "app.bin");
    const QByteArray wire = device.received();
    QCOMPARE(wire.left(16), QByteArray("\x01\x00\xFF", 3) + "app.bin" + '\0' + "2500" + '\0');
    QCOMPARE(wire.mid(131, 2), QByteArray("\x9D\x54"));
    // Header, 2 long and 4 short data blocks, EOT, end-of-batch block: nothing else on the line.
    QCOMPARE(wire.size(), 133 + 2 * 1029 + 4 * 133 + 1 + 133);
    QCOMPARE(wire.right(133), QByteArray("\x01\x00\xFF", 3) + QByteArray(130, '\0'));
}

void TestYmodemTransfer::checksumModeCarriesOneCheckByteEverywhere()
{
    Faults faults;
    faults.checksumMode = true;
    YmodemDevice device(faults);
    TransferRun run(device.portName());
    run.worker.setUseChecksum(true);
    const QByteArray image = pattern(2500);
    run.run(image);

    const YmodemReceiver receiver = device.receiver();
    QVERIFY2(!receiver.failed(), qPrintable(receiver.errors().join('\n')));
    QCOMPARE(receiver.fileData(), image);
    QCOMPARE(device.received().size(), 132 + 2 * 1028 + 4 * 132 + 1 + 132);
    QCOMPARE(device.received().mid(131, 1), QByteArray("\x6F"));
    QCOMPARE(run.results(), QStringList{"success"});
}

void TestYmodemTransfer::blockNumbersWrapOnTheWireAfter255()
{
    // More than 256 blocks: block 256 goes out numbered 0x00 and the receiver follows.
    YmodemDevice device;
    TransferRun run(device.portName());
    const QByteArray image = pattern(257 * 1024 + 5);
    run.run(image);

    const YmodemReceiver receiver = device.receiver();
    QVERIFY2(!receiver.failed(), qPrintable(receiver.errors().join('\n')));
    QCOMPARE(receiver.fileData(), image);
    bool seen = false;
    for (const YmodemReceiver::Block &block : receiver.blocks()) {
        if (block.target == 256) {
            QCOMPARE(block.wireNumber, 0x00);
            seen = true;
        }
    }
    QVERIFY(seen);
    QCOMPARE(run.results(), QStringList{"success"});
}

void TestYmodemTransfer::firstNakIsTakenAsResynchronisation_data()
{
    QTest::addColumn<int>("nakBlock");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("a NAK on the header is not answered with a second header")
        << 0 << QStringLiteral("设备已持有首包，正在重新同步。");
    QTest::newRow("a NAK on data block 3 logs block 3 and block 4 follows")
        << 3 << QStringLiteral("设备已持有第 3 块，正在重新同步。");
}

void TestYmodemTransfer::firstNakIsTakenAsResynchronisation()
{
    QFETCH(int, nakBlock);
    QFETCH(QString, logLine);
    Faults faults;
    faults.nakBlockOnce = nakBlock;
    YmodemDevice device(faults);
    TransferRun run(device.portName());
    const QByteArray image = pattern(6 * 1024);
    run.run(image);

    const YmodemReceiver receiver = device.receiver();
    QVERIFY2(!receiver.failed(), qPrintable(receiver.errors().join('\n')));
    QCOMPARE(receiver.arrivals(nakBlock), 1);
    QCOMPARE(receiver.arrivals(nakBlock + 1), 1);
    QCOMPARE(receiver.fileData(), image);
    QCOMPARE(run.logs.filter(QStringLiteral("重新同步")), QStringList{logLine});
    QVERIFY(Access::resyncUsed(run.worker));
    QCOMPARE(run.results(), QStringList{"success"});
}

void TestYmodemTransfer::secondNakIsAFailedAttempt()
{
    Faults faults;
    faults.nakBlockOnce = 0;
    faults.moreNakBlocks = {2, 5};
    YmodemDevice device(faults);
    TransferRun run(device.portName());
    const QByteArray image = pattern(6 * 1024);
    run.run(image);

    const YmodemReceiver receiver = device.receiver();
    QVERIFY2(!receiver.failed(), qPrintable(receiver.errors().join('\n')));
    QCOMPARE(receiver.arrivals(0), 1);
    QCOMPARE(receiver.arrivals(2), 2);
    QCOMPARE(receiver.arrivals(5), 2);
    QCOMPARE(receiver.fileData(), image);
    QCOMPARE(run.logs.filter(QStringLiteral("重新同步")).size(), 1);
    QCOMPARE(run.results(), QStringList{"success"});
}

void TestYmodemTransfer::ackWithCanInOneReadIsAnAck()
{
    Faults faults;
    faults.ackAndCanAtBlock = 2;
    YmodemDevice device(faults);
    TransferRun run(device.portName());
    const QByteArray image = pattern(4000);
    run.run(image);

    QCOMPARE(device.receiver().fileData(), image);
    QVERIFY(!Access::deviceCancelled(run.worker));
    QCOMPARE(run.results(), QStringList{"success"});
}

void TestYmodemTransfer::canAloneEndsTheTransfer_data()
{
    QTest::addColumn<int>("cancelAt");
    QTest::newRow("CAN on the header block") << 0;
    QTest::newRow("CAN on data block 2") << 2;
    QTest::newRow("CAN on EOT") << int(YmodemReceiver::kEot);
    QTest::newRow("CAN on the end-of-batch block") << int(YmodemReceiver::kEndOfBatch);
}

void TestYmodemTransfer::canAloneEndsTheTransfer()
{
    QFETCH(int, cancelAt);
    Faults faults;
    faults.cancelAtBlock = cancelAt;
    YmodemDevice device(faults);
    TransferRun run(device.portName());
    run.run(pattern(4000));

    QCOMPARE(run.results(), QStringList{"failed: 设备中止了传输"});
    QCOMPARE(device.receiver().arrivals(cancelAt), 1);
    QVERIFY(Access::deviceCancelled(run.worker));
    QCOMPARE(run.worker.state(), SerialWorker::Idle);
    QVERIFY(!run.events.contains("disconnected"));
}

void TestYmodemTransfer::silenceGivesFiveAttemptsThenCode5_data()
{
    QTest::addColumn<int>("silentAt");
    QTest::addColumn<int>("replyMs");
    QTest::newRow("a receiver that never answers the header") << 0 << kBlockReplyMs;
    QTest::newRow("a receiver that stops answering at data block 2") << 2 << kDataReplyMs;
    QTest::newRow("a receiver that never answers EOT")
        << int(YmodemReceiver::kEot) << kBlockReplyMs;
}

void TestYmodemTransfer::silenceGivesFiveAttemptsThenCode5()
{
    QFETCH(int, silentAt);
    QFETCH(int, replyMs);
    Faults faults;
    faults.silentAtBlock = silentAt;
    YmodemDevice device(faults);
    TransferRun run(device.portName());
    run.run(pattern(4000));

    QCOMPARE(device.receiver().arrivals(silentAt), 5);
    QCOMPARE(run.results(), QStringList{"failed: 传输错误（错误码：5）"});
    QCOMPARE(run.worker.state(), SerialWorker::Idle);
    QVERIFY2(run.elapsedMs >= 5 * replyMs, qPrintable(QString::number(run.elapsedMs)));
}

void TestYmodemTransfer::oneTimeOutIsRetried()
{
    Faults faults;
    faults.silentAtBlock = 3;
    faults.silentAttempts = 1;
    YmodemDevice device(faults);
    TransferRun run(device.portName());
    const QByteArray image = pattern(5000);
    run.run(image);

    QCOMPARE(device.receiver().arrivals(3), 2);
    QCOMPARE(device.receiver().fileData(), image);
    QCOMPARE(run.results(), QStringList{"success"});
}

void TestYmodemTransfer::nakOnTheFirstEotIsRetried()
{
    Faults faults;
    faults.nakFirstEot = true;
    YmodemDevice device(faults);
    TransferRun run(device.portName());
    run.run(pattern(300));

    QCOMPARE(device.receiver().arrivals(YmodemReceiver::kEot), 2);
    QVERIFY(device.receiver().finished());
    // EOT gets no resynchronisation: the NAK counts as a failed attempt.
    QVERIFY(!Access::resyncUsed(run.worker));
    QCOMPARE(run.results(), QStringList{"success"});
}

void TestYmodemTransfer::requestBytesBetweenBlocksAreDropped()
{
    Faults faults;
    faults.requestAfterAck = true;
    YmodemDevice device(faults);
    // A 'C' and some text arrive on their own while the worker waits for the first data
    // reply; the ACK follows later.
    device.setHook([](YmodemDevice &self, const YmodemReceiver &receiver) {
        if (receiver.arrivals(1) != 1 || receiver.blocks().size() != 2)
            return true;
        self.send("C booting...");
        self.sendLater(50, "\x06");
        return false;
    });
    TransferRun run(device.portName());
    const QByteArray image = pattern(3000);
    run.run(image);

    QCOMPARE(device.receiver().fileData(), image);
    QCOMPARE(run.results(), QStringList{"success"});
    QVERIFY(!device.receiver().failed());
}

void TestYmodemTransfer::replyWaitPrecedence_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("reply");
    QTest::addColumn<bool>("cancelled");
    QTest::newRow("an ACK among other bytes is an ACK")
        << QByteArray("CC\x06xy") << 0 << 0x06 << false;
    QTest::newRow("ACK and CAN together is an ACK") << QByteArray("\x18\x06") << 0 << 0x06 << false;
    QTest::newRow("CAN and NAK together is a cancel") << QByteArray("\x15\x18") << -1 << 0 << true;
    QTest::newRow("a NAK among text is a NAK") << QByteArray("abc\x15") << 0 << 0x15 << false;
    QTest::newRow("only C bytes and text are dropped and the wait runs out")
        << QByteArray("CCCC hello") << -1 << 0 << false;
}

void TestYmodemTransfer::replyWaitPrecedence()
{
    QFETCH(QByteArray, buffer);
    QFETCH(int, result);
    QFETCH(int, reply);
    QFETCH(bool, cancelled);
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    Access::prepareTransfer(worker, QByteArray(10, 'x'), "a.bin");
    Access::setRxBuffer(worker, buffer);

    unsigned char out = 0;
    QCOMPARE(worker.receiveByte(&out, 50), result);
    QCOMPARE(int(out), reply);
    QCOMPARE(Access::deviceCancelled(worker), cancelled);
    QCOMPARE(worker.state(), cancelled ? SerialWorker::Aborted : SerialWorker::Transferring);
    QVERIFY(Access::rxBuffer(worker).isEmpty());
    QCOMPARE(Access::lastResponse(worker), reply == 0x06 ? buffer : QByteArray());
}

void TestYmodemTransfer::ackFoundByTheFinalLookStillCounts()
{
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    Access::prepareTransfer(worker, QByteArray(10, 'x'), "a.bin");
    unsigned char out = 0;

    // With no time left the loop does not run; only the final look sees the buffer.
    Access::setRxBuffer(worker, QByteArray("Size\x06"));
    QCOMPARE(worker.receiveByte(&out, 0), 0);
    QCOMPARE(int(out), 0x06);
    QCOMPARE(Access::lastResponse(worker), QByteArray("Size\x06"));

    // A NAK is not taken by the final look, and the buffer is left as it was.
    Access::setRxBuffer(worker, QByteArray("\x15"));
    QCOMPARE(worker.receiveByte(&out, 0), -1);
    QCOMPARE(Access::rxBuffer(worker), QByteArray("\x15"));

    // An abort ends the wait at once.
    Access::setRxBuffer(worker, QByteArray("\x06"));
    Access::setAbortRequested(worker, true);
    QCOMPARE(worker.receiveByte(&out, 1000), -1);
}

void TestYmodemTransfer::progressIsReportedEvery4096Bytes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("reports");
    QTest::newRow("10000 bytes report 4096, 8192, then 10000 of 10000")
        << 10000
        << QStringList{"progress 4096/10000", "progress 8192/10000", "progress 10000/10000"};
    QTest::newRow("4000 bytes report once, 4096 of 4000, from their last block")
        << 4000 << QStringList{"progress 4096/4000"};
    QTest::newRow("3000 bytes report only the final 3000 of 3000")
        << 3000 << QStringList{"progress 3000/3000"};
    QTest::newRow("8192 bytes report 4096 and 8192 and need no final report")
        << 8192 << QStringList{"progress 4096/8192", "progress 8192/8192"};
}

void TestYmodemTransfer::progressIsReportedEvery4096Bytes()
{
    QFETCH(int, size);
    QFETCH(QStringList, reports);
    YmodemDevice device;
    TransferRun run(device.portName());
    run.run(pattern(size));
    QCOMPARE(run.progress(), reports);
    QCOMPARE(run.events.last(), QStringLiteral("success"));
}

void TestYmodemTransfer::portLostMidTransferReportsThePortErrorThenDisconnects()
{
    YmodemDevice device;
    device.setHook([](YmodemDevice &self, const YmodemReceiver &receiver) {
        if (receiver.arrivals(3) == 0)
            return true;
        self.closeMaster();
        return false;
    });
    TransferRun run(device.portName());
    QSignalSpy disconnected(&run.worker, &SerialWorker::disconnected);
    QVERIFY(disconnected.isValid());
    run.run(pattern(10000));

    const QStringList errors = run.events.filter(QStringLiteral("error: 串口错误："));
    QVERIFY2(!errors.isEmpty(), qPrintable(run.events.join('\n')));
    // The port may report more than one error; the first one is the cause and the reason.
    const QString reason = errors.first().mid(QStringLiteral("error: ").size());
    QCOMPARE(run.results(), QStringList{"failed: " + reason});
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(run.events.last(), QStringLiteral("disconnected"));
    QVERIFY(run.events.indexOf("failed: " + reason) < run.events.indexOf("disconnected"));
    QCOMPARE(run.worker.state(), SerialWorker::PortClosed);
    QVERIFY(!run.worker.port()->isOpen());
}

void TestYmodemTransfer::abortEndsWithUserCancelled()
{
    YmodemDevice device;
    TransferRun run(device.portName());
    SerialWorker *worker = &run.worker;
    device.setHook([worker](YmodemDevice &, const YmodemReceiver &receiver) {
        // The window's request arrives as a queued call while the transfer waits.
        if (receiver.arrivals(3) == 1 && receiver.blocks().size() == 4)
            QMetaObject::invokeMethod(worker, &SerialWorker::abort, Qt::QueuedConnection);
        return true;
    });
    run.run(pattern(20000));

    QCOMPARE(run.results(), QStringList{"failed: 用户取消更新"});
    QVERIFY(device.receiver().arrivals(5) == 0);
    QCOMPARE(run.worker.state(), SerialWorker::Idle);
    QVERIFY(run.worker.port()->isOpen());
    QVERIFY(!run.events.contains("disconnected"));
}

void TestYmodemTransfer::writeErrorIsReportedAndClosesThePort()
{
    FakeDevice device;
    TransferRun run(device.portName());
    // The port is opened exclusively: release the worker's own before opening the failing one.
    auto *port = new FailingPort(device.portName());
    Access::replacePort(run.worker, port);
    QVERIFY(port->open(QIODevice::ReadWrite));
    run.run(pattern(100));

    // The block and its two CRC bytes each fail once.
    const QString reason = QStringLiteral("写入错误：Input/output error");
    QCOMPARE(run.events.filter(QStringLiteral("error: ")),
             QStringList(3, QStringLiteral("error: ") + reason));
    QCOMPARE(run.results(), QStringList{"failed: " + reason});
    QCOMPARE(run.events.last(), QStringLiteral("disconnected"));
    QCOMPARE(run.worker.state(), SerialWorker::PortClosed);
    QVERIFY(device.received().isEmpty());
}

void TestYmodemTransfer::portGoneMidTransferEndsWithoutTouchingIt_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<bool>("portDeleted");
    QTest::newRow("a disconnect request deletes the port") << QByteArray("disconnectPort") << true;
    QTest::newRow("the port-loss step closes the port") << QByteArray("handlePortLoss") << false;
}

void TestYmodemTransfer::portGoneMidTransferEndsWithoutTouchingIt()
{
    QFETCH(QByteArray, slot);
    QFETCH(bool, portDeleted);
    YmodemDevice device;
    TransferRun run(device.portName());
    SerialWorker *worker = &run.worker;
    device.setHook([worker, slot](YmodemDevice &, const YmodemReceiver &receiver) {
        if (receiver.arrivals(2) == 1 && receiver.blocks().size() == 3) {
            if (slot == "disconnectPort")
                QMetaObject::invokeMethod(worker, &SerialWorker::disconnectPort,
                                          Qt::QueuedConnection);
            else
                QMetaObject::invokeMethod(worker, &SerialWorker::handlePortLoss,
                                          Qt::QueuedConnection);
        }
        return true;
    });
    run.run(pattern(20000));

    QCOMPARE(run.worker.port() == nullptr, portDeleted);
    QVERIFY(!run.worker.port() || !run.worker.port()->isOpen());
    QCOMPARE(run.worker.state(), SerialWorker::PortClosed);
    QCOMPARE(run.events.count("disconnected"), 1);
    QCOMPARE(run.results().size(), 1);
    QVERIFY2(run.results().first().startsWith("failed: 传输错误（错误码："),
             qPrintable(run.results().first()));
    QVERIFY(device.receiver().arrivals(4) == 0);
}

QTEST_GUILESS_MAIN(TestYmodemTransfer)
#include "tst_ymodem_transfer.moc"
