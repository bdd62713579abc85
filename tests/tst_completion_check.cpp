// The completion check after the final ACK: reading the bootloader's report, its size line and
// the jump to the application, and how long it waits.

#include "device/completionreport.h"
#include "device/serialworker.h"
#include "workertestaccess.h"
#include "ymodemdevice.h"

#include <QtTest>

using namespace std::chrono_literals;
using Access = SerialWorkerTestAccess;
using Verdict = CompletionReport::Verdict;
Q_DECLARE_METATYPE(CompletionReport::Verdict)

namespace {

const QByteArray kDone("Programming Completed Successfully!\r\n");
const QByteArray kJump("Jump To App\r\n");
const QString kNoReport = QStringLiteral("警告：设备未打印完成提示（最后一个 ACK 已收到）。");
const QString kMismatch = QStringLiteral("警告：设备回报 2560 字节，但声明的是 2500 字节。");
const QString kConfirmed2500 = QStringLiteral("设备确认：写入完成（2500 字节）。");
// The real wait for the report, and a bound for one that ends at once.
constexpr qint64 kReportMs = 600;
constexpr qint64 kPromptMs = 300;

} // namespace

class TestCompletionCheck : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reportTextIsJudged_data();
    void reportTextIsJudged();
    void collectedTextStaysBounded();
    void checkWaitsForTheReport_data();
    void checkWaitsForTheReport();
    void transferEndsWithTheDeviceConfirmation_data();
    void transferEndsWithTheDeviceConfirmation();
};

void TestCompletionCheck::reportTextIsJudged_data()
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

void TestCompletionCheck::reportTextIsJudged()
{
    QFETCH(QByteArray, text);
    QFETCH(Verdict, verdict);
    QFETCH(int, reported);
    const CompletionReport::Reading reading = CompletionReport::read(text, 2500);
    QCOMPARE(reading.verdict, verdict);
    QCOMPARE(reading.reportedSize, reported);
}

void TestCompletionCheck::collectedTextStaysBounded()
{
    QByteArray collected;
    for (int i = 0; i < 100; ++i)
        CompletionReport::appendBounded(collected, QByteArray(10000, 'x'));
    QCOMPARE(collected.size(), CompletionReport::kTextCap);
}

void TestCompletionCheck::checkWaitsForTheReport_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QByteArray>("withLastAck");
    QTest::addColumn<QByteArray>("later");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<bool>("waitsItOut");
    QTest::newRow("a report in the same read as the final ACK needs no wait")
        << true << "\x06" + kDone + "Size: 2500 Bytes\r\n" + kJump << QByteArray() << kConfirmed2500
        << false;
    QTest::newRow("silence gives the warning after the full 600 ms")
        << true << QByteArray("\x06") << QByteArray() << kNoReport << true;
    QTest::newRow("Jump To App without the completion line ends the wait at once")
        << true << "\x06" + kJump << QByteArray() << kNoReport << false;
    QTest::newRow("a report that comes after the ACK is collected")
        << true << QByteArray("\x06") << kDone + "Size: 2560 Bytes\r\n" + kJump << kMismatch
        << false;
    QTest::newRow("with the port gone the bytes at hand count and the wait ends at once")
        << false << "\x06" + kDone << QByteArray() << QStringLiteral("设备确认：写入完成。")
        << false;
}

void TestCompletionCheck::checkWaitsForTheReport()
{
    QFETCH(bool, connected);
    QFETCH(QByteArray, withLastAck);
    QFETCH(QByteArray, later);
    QFETCH(QString, logLine);
    QFETCH(bool, waitsItOut);
    FakeDevice device;
    SerialWorker worker; // the real time limit
    if (connected)
        worker.connectToPort(device.portName());
    WorkerTrace trace(worker);
    if (!later.isEmpty())
        device.sendLater(20, later);
    Access::setLastResponse(worker, withLastAck);
    worker.setState(SerialWorker::Transferring);

    QElapsedTimer clock;
    clock.start();
    worker.confirmDeviceCompletion(2500);
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(trace.lines, QStringList{"log:" + logLine});
    QVERIFY2(waitsItOut ? elapsed >= kReportMs : elapsed < kPromptMs,
             qPrintable(QString::number(elapsed)));
}

void TestCompletionCheck::transferEndsWithTheDeviceConfirmation_data()
{
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<QString>("duringWait");
    QTest::addColumn<QStringList>("after");
    QTest::newRow("a confirmed size is logged, and the update succeeds")
        << kDone + "Size: 2500 Bytes\r\n" + kJump << QString()
        << QStringList{"log:" + kConfirmed2500, "success"};
    QTest::newRow("an abort after the final ACK ends the wait at once; the update succeeds")
        << QByteArray() << "abort" << QStringList{"log:" + kNoReport, "success"};
    QTest::newRow(
        "a port lost after the final ACK: success, then the port error and the disconnect")
        << QByteArray() << "unplug"
        << QStringList{"log:" + kNoReport, "success", "error:串口错误：", "disconnected"};
}

void TestCompletionCheck::transferEndsWithTheDeviceConfirmation()
{
    QFETCH(QByteArray, report);
    QFETCH(QString, duringWait);
    QFETCH(QStringList, after);
    YmodemReceiver::Faults faults;
    faults.completionText = report;
    DeviceTimeouts timeouts;
    timeouts.completionReport = duringWait.isEmpty() ? 300ms : 5000ms;
    WorkerRig<YmodemDevice> rig(timeouts, faults);
    // The debug line after the final ACK is the moment to act (on the worker's own thread).
    rig.worker.setDebugMode(true);
    QObject::connect(&rig.worker, &SerialWorker::logMessage, [&](const QString &line) {
        if (!line.startsWith(QStringLiteral("[DEBUG] 结束块已确认")))
            return;
        if (duringWait == QLatin1String("abort"))
            rig.worker.abort();
        else if (duringWait == QLatin1String("unplug"))
            rig.device.closeMaster();
    });
    QElapsedTimer clock;
    clock.start();
    Access::runTransfer(rig.worker, testImage(2500), "app.bin");
    const qint64 elapsed = clock.elapsed();

    const QStringList lines = rig.trace.lines.mid(2); // progress and the debug line
    QVERIFY2(lines.size() == after.size(), qPrintable(rig.trace.lines.join('|')));
    for (int i = 0; i < after.size(); ++i)
        QVERIFY2(lines.at(i).startsWith(after.at(i)), qPrintable(rig.trace.lines.join('|')));
    if (!duringWait.isEmpty())
        QVERIFY2(elapsed < timeouts.completionReport.count(), "the report wait ran out");
    QCOMPARE(rig.worker.state(),
             duringWait == "unplug" ? SerialWorker::PortClosed : SerialWorker::Idle);
}

QTEST_GUILESS_MAIN(TestCompletionCheck)
#include "tst_completion_check.moc"
