// The completion check after the final ACK: reading the bootloader's report, its size line and
// the jump to the application, and how long it waits.

#include "device/completionreport.h"
#include "device/serialworker.h"
#include "workertestaccess.h"
#include "ymodemdevice.h"

#include <QtTest>

using Access = SerialWorkerTestAccess;
using Verdict = CompletionReport::Verdict;
Q_DECLARE_METATYPE(CompletionReport::Verdict)

namespace {

const QByteArray kDone("Programming Completed Successfully!\r\n");
const QByteArray kJump("Jump To App\r\n");

const QString kNoReport = QStringLiteral("警告：设备未打印完成提示（最后一个 ACK 已收到）。");
const QString kConfirmed = QStringLiteral("设备确认：写入完成。");

QString sizeConfirmed(int size)
{
    return QStringLiteral("设备确认：写入完成（%1 字节）。").arg(size);
}

DeviceTimeouts shortReplies()
{
    DeviceTimeouts t;
    t.blockReply = std::chrono::milliseconds(400);
    t.dataBlockReply = std::chrono::milliseconds(300);
    t.completionReport = std::chrono::milliseconds(300);
    return t;
}

// Runs the check alone on a worker connected to device, with the bytes that came with the last
// ACK; returns the log lines and the time it took.
QStringList runCheck(SerialWorker &worker, const QByteArray &withLastAck, int declaredSize,
                     qint64 *elapsedMs = nullptr)
{
    QStringList logs;
    const QMetaObject::Connection collecting =
        QObject::connect(&worker, &SerialWorker::logMessage, &worker,
                         [&logs](const QString &line) { logs.append(line); });
    Access::setLastResponse(worker, withLastAck);
    worker.setState(SerialWorker::Transferring);
    QElapsedTimer clock;
    clock.start();
    worker.confirmDeviceCompletion(declaredSize);
    if (elapsedMs)
        *elapsedMs = clock.elapsed();
    QObject::disconnect(collecting);
    return logs;
}

} // namespace

class TestCompletionCheck : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reportTextIsJudged_data();
    void reportTextIsJudged();
    void collectedTextStaysBounded();

    void reportWithTheFinalAckNeedsNoWait();
    void silenceGivesTheWarningAfter600Ms();
    void jumpWithoutCompletionLineEndsTheWaitAtOnce();
    void reportArrivingLaterIsCollected();
    void lostPortJustLetsTheTimeRunOut();

    void transferEndsWithTheDeviceConfirmation_data();
    void transferEndsWithTheDeviceConfirmation();
};

void TestCompletionCheck::reportTextIsJudged_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("declared");
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<int>("reported");

    QTest::newRow("a size line with spaces confirms the declared size")
        << kDone + "Size: 2500 Bytes\r\n"
        << 2500 << Verdict::SizeConfirmed << 2500;
    QTest::newRow("a size line without any spaces matches")
        << kDone + "Size:2500Bytes" << 2500 << Verdict::SizeConfirmed << 2500;
    QTest::newRow("CR LF between the digits and Bytes matches")
        << kDone + "Size: 2500\r\nBytes" << 2500 << Verdict::SizeConfirmed << 2500;
    QTest::newRow("the size line may come before the completion line")
        << "Size: 2500 Bytes\r\n" + kDone << 2500 << Verdict::SizeConfirmed << 2500;
    QTest::newRow("a size line in lower case does not match")
        << kDone + "size: 2500 bytes" << 2500 << Verdict::Confirmed << 0;
    QTest::newRow("a reported size of 0 gives the plain confirmation")
        << kDone + "Size: 0 Bytes" << 2500 << Verdict::Confirmed << 0;
    QTest::newRow("a size too large for 32 bits gives the plain confirmation")
        << kDone + "Size: 99999999999 Bytes" << 2500 << Verdict::Confirmed << 0;
    QTest::newRow("a different size is a mismatch")
        << kDone + "Size: 2560 Bytes" << 2500 << Verdict::SizeMismatch << 2560;
    QTest::newRow("the first size line decides")
        << kDone + "Size: 2500 Bytes Size: 7 Bytes" << 2500 << Verdict::SizeConfirmed << 2500;
    QTest::newRow("a size line without the completion line is not a confirmation")
        << QByteArray("Size: 2500 Bytes\r\n") + kJump << 2500 << Verdict::NoCompletionLine << 0;
    QTest::newRow("the completion line in other case is not recognised")
        << QByteArray("programming completed successfully!") << 2500 << Verdict::NoCompletionLine
        << 0;
    QTest::newRow("bytes that are not text around the report do no harm")
        << QByteArray("\xFF\x00\x06", 3) + kDone + "\xE9Size: 12 Bytes" << 12
        << Verdict::SizeConfirmed << 12;
}

void TestCompletionCheck::reportTextIsJudged()
{
    QFETCH(QByteArray, text);
    QFETCH(int, declared);
    QFETCH(Verdict, verdict);
    QFETCH(int, reported);
    const CompletionReport::Reading reading = CompletionReport::read(text, declared);
    QCOMPARE(reading.verdict, verdict);
    QCOMPARE(reading.reportedSize, reported);
}

void TestCompletionCheck::collectedTextStaysBounded()
{
    QByteArray collected;
    const QByteArray chunk(10000, 'x');
    for (int i = 0; i < 100; ++i)
        CompletionReport::appendBounded(collected, chunk);
    QCOMPARE(collected.size(), CompletionReport::kTextCap);
}

void TestCompletionCheck::reportWithTheFinalAckNeedsNoWait()
{
    FakeDevice device;
    SerialWorker worker; // real time limits
    worker.connectToPort(device.portName());
    qint64 elapsed = -1;
    const QStringList logs =
        runCheck(worker, "\x06" + kDone + "Size: 2500 Bytes\r\n" + kJump, 2500, &elapsed);
    QCOMPARE(logs, QStringList{sizeConfirmed(2500)});
    QVERIFY2(elapsed < 300, qPrintable(QString::number(elapsed)));
    QVERIFY(Access::lastResponse(worker).isEmpty());
}

void TestCompletionCheck::silenceGivesTheWarningAfter600Ms()
{
    // The one check of the real time limit.
    FakeDevice device;
    SerialWorker worker;
    QCOMPARE(worker.timeouts().completionReport, std::chrono::milliseconds(600));
    worker.connectToPort(device.portName());
    qint64 elapsed = -1;
    const QStringList logs = runCheck(worker, "\x06", 2500, &elapsed);
    QCOMPARE(logs, QStringList{kNoReport});
    QVERIFY2(elapsed >= 600, qPrintable(QString::number(elapsed)));
}

void TestCompletionCheck::jumpWithoutCompletionLineEndsTheWaitAtOnce()
{
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    qint64 elapsed = -1;
    const QStringList logs = runCheck(worker, "\x06" + kJump, 2500, &elapsed);
    QCOMPARE(logs, QStringList{kNoReport});
    QVERIFY2(elapsed < 300, qPrintable(QString::number(elapsed)));
}

void TestCompletionCheck::reportArrivingLaterIsCollected()
{
    FakeDevice device;
    SerialWorker worker;
    worker.setTimeoutsForTesting(shortReplies());
    worker.connectToPort(device.portName());
    device.sendLater(20, kDone);
    device.sendLater(60, "Size: 2560 Bytes\r\n" + kJump);
    const QStringList logs = runCheck(worker, "\x06", 2500);
    QCOMPARE(logs, QStringList{QStringLiteral("警告：设备回报 2560 字节，但声明的是 2500 字节。")});
    QVERIFY(Access::rxBuffer(worker).isEmpty());
}

void TestCompletionCheck::lostPortJustLetsTheTimeRunOut()
{
    SerialWorker worker; // no port at all
    worker.setTimeoutsForTesting(shortReplies());
    Access::setRxBuffer(worker, kDone);
    qint64 elapsed = -1;
    // What is already in the buffer still counts; nothing new can come.
    const QStringList logs = runCheck(worker, "\x06", 2500, &elapsed);
    QCOMPARE(logs, QStringList{kConfirmed});
    QVERIFY2(elapsed >= 300, qPrintable(QString::number(elapsed)));
}

void TestCompletionCheck::transferEndsWithTheDeviceConfirmation_data()
{
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("report, size and jump in the same read as the final ACK")
        << kDone + "Size: 2500 Bytes\r\n" + kJump << sizeConfirmed(2500);
    QTest::newRow("a mismatching size is a warning, not a failure")
        << kDone + "Size: 2560 Bytes\r\n" + kJump
        << QStringLiteral("警告：设备回报 2560 字节，但声明的是 2500 字节。");
    QTest::newRow("no report at all is a warning, not a failure") << QByteArray() << kNoReport;
}

void TestCompletionCheck::transferEndsWithTheDeviceConfirmation()
{
    QFETCH(QByteArray, report);
    QFETCH(QString, logLine);
    YmodemReceiver::Faults faults;
    faults.completionText = report;
    YmodemDevice device(faults);
    SerialWorker worker;
    worker.setTimeoutsForTesting(shortReplies());
    worker.connectToPort(device.portName());
    QSignalSpy logs(&worker, &SerialWorker::logMessage);
    QSignalSpy succeeded(&worker, &SerialWorker::updateSuccess);
    QSignalSpy failed(&worker, &SerialWorker::updateFailed);
    QVERIFY(logs.isValid() && succeeded.isValid() && failed.isValid());

    QByteArray image(2500, 'i');
    Access::prepareTransfer(worker, image, "app.bin");
    worker.runBlockingYmodemTransfer();

    QCOMPARE(logs.count(), 1);
    QCOMPARE(logs.first().first().toString(), logLine);
    QCOMPARE(succeeded.count(), 1);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(worker.state(), SerialWorker::Idle);
}

QTEST_GUILESS_MAIN(TestCompletionCheck)
#include "tst_completion_check.moc"
