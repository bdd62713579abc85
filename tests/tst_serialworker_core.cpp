// The serial worker core against the fake device: opening and closing the port, port errors and
// port loss, the response time-out, abort, the failure reason and bytes from a chattering device.

#include "device/serialworker.h"
#include "fakedevice.h"
#include "workertestaccess.h"

#include <QtTest>

using Access = SerialWorkerTestAccess;
using State = SerialWorker::TransferState;

Q_DECLARE_METATYPE(QSerialPort::SerialPortError)
Q_DECLARE_METATYPE(SerialWorker::TransferState)

namespace {

const QString kMissingPort = QStringLiteral("/dev/fw-test-no-such-port");
// Long enough for a queued step to have run, if one were queued.
constexpr int kSettleMs = 100;

// Records the worker's signals as one ordered list of events.
class Recorder
{
public:
    explicit Recorder(SerialWorker &worker)
    {
        QObject::connect(&worker, &SerialWorker::connected, &worker,
                         [this] { events.append(QStringLiteral("connected")); });
        QObject::connect(&worker, &SerialWorker::disconnected, &worker,
                         [this] { events.append(QStringLiteral("disconnected")); });
        QObject::connect(&worker, &SerialWorker::baudRateInfo, &worker,
                         [this](int rate) { events.append(QStringLiteral("baud %1").arg(rate)); });
        QObject::connect(
            &worker, &SerialWorker::connectionFailed, &worker,
            [this](const QString &text) { events.append("connectionFailed " + text); });
        QObject::connect(&worker, &SerialWorker::errorOccurred, &worker,
                         [this](const QString &text) { events.append("error " + text); });
        QObject::connect(&worker, &SerialWorker::updateFailed, &worker,
                         [this](const QString &text) { events.append("updateFailed " + text); });
    }
    int count(const QString &prefix) const { return int(events.filter(prefix).size()); }

    QStringList events;
};

// A port whose error text a test can set, as the system would on a failing call.
class ErrorTextPort : public QSerialPort
{
public:
    using QSerialPort::QSerialPort;
    void setErrorText(const QString &text) { setErrorString(text); }
};

void settle(int ms = kSettleMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace

class TestSerialWorkerCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Opening and closing
    void openingReportsConnectedThenTheBaudRate();
    void openingAMissingPortLeavesTheStateAsItWas_data();
    void openingAMissingPortLeavesTheStateAsItWas();
    void openingAgainReplacesTheOldPortSilently();
    void disconnectAlwaysReportsDisconnected_data();
    void disconnectAlwaysReportsDisconnected();
    void portLossWhenClosedDoesNothing();

    // Port errors
    void losingThePortWhileIdleReportsOnceAndDisconnectsOnce();
    void twoErrorsBackToBackQueueOnePortLoss();
    void resourceTemporarilyUnavailableIsIgnored_data();
    void resourceTemporarilyUnavailableIsIgnored();
    void otherErrorKindsAreIgnored_data();
    void otherErrorKindsAreIgnored();
    void anErrorDuringAnUpdateAbortsIt();
    void anErrorDuringACommandExchangeIsNotReported();

    // Time-out, abort and the failure reason
    void timeOutActsOnlyWhileWaitingForTheBootloader_data();
    void timeOutActsOnlyWhileWaitingForTheBootloader();
    void abortActsOnlyDuringAnUpdate_data();
    void abortActsOnlyDuringAnUpdate();
    void abortEndsACommandExchangeWait_data();
    void abortEndsACommandExchangeWait();
    void failureReasonFollowsItsPrecedence_data();
    void failureReasonFollowsItsPrecedence();

    // Received bytes
    void idleBytesWaitInTheBuffer();
    void idleChatterDoesNotGrowTheBuffer();
};

void TestSerialWorkerCore::openingReportsConnectedThenTheBaudRate()
{
    FakeDevice device;
    QVERIFY(device.isValid());
    SerialWorker worker;
    Recorder recorder(worker);
    QCOMPARE(worker.state(), SerialWorker::PortClosed);

    worker.connectToPort(device.portName());
    QCOMPARE(recorder.events, (QStringList{"connected", "baud 115200"}));
    QCOMPARE(worker.state(), SerialWorker::Idle);
    QSerialPort *port = worker.port();
    QVERIFY(port && port->isOpen());
    QCOMPARE(port->baudRate(QSerialPort::Input), 115200);
    QCOMPARE(port->baudRate(QSerialPort::Output), 115200);
    QCOMPARE(port->dataBits(), QSerialPort::Data8);
    QCOMPARE(port->parity(), QSerialPort::NoParity);
    QCOMPARE(port->stopBits(), QSerialPort::OneStop);
    QCOMPARE(port->flowControl(), QSerialPort::NoFlowControl);
}

void TestSerialWorkerCore::openingAMissingPortLeavesTheStateAsItWas_data()
{
    QTest::addColumn<bool>("connectedBefore");
    QTest::newRow("from a closed worker") << false;
    QTest::newRow("from a worker with another port open") << true;
}

void TestSerialWorkerCore::openingAMissingPortLeavesTheStateAsItWas()
{
    QFETCH(bool, connectedBefore);
    FakeDevice device;
    SerialWorker worker;
    if (connectedBefore)
        worker.connectToPort(device.portName());
    const State before = worker.state();
    Recorder recorder(worker);

    worker.connectToPort(kMissingPort);
    QCOMPARE(recorder.events.size(), 1);
    const QString prefix = QStringLiteral("connectionFailed 无法打开串口 %1：").arg(kMissingPort);
    QVERIFY2(recorder.events.first().startsWith(prefix), qPrintable(recorder.events.first()));
    QVERIFY(recorder.events.first().size() > prefix.size()); // the port's own error text
    QCOMPARE(worker.state(), before);
    QCOMPARE(worker.port(), nullptr);
}

void TestSerialWorkerCore::openingAgainReplacesTheOldPortSilently()
{
    FakeDevice first;
    FakeDevice second;
    SerialWorker worker;
    worker.connectToPort(first.portName());
    Recorder recorder(worker);

    worker.connectToPort(second.portName());
    settle();
    QCOMPARE(recorder.events, (QStringList{"connected", "baud 115200"}));
    QVERIFY(second.portName().endsWith("/" + worker.port()->portName()));
    QVERIFY(!first.portName().endsWith("/" + worker.port()->portName()));
    QCOMPARE(worker.state(), SerialWorker::Idle);
}

void TestSerialWorkerCore::disconnectAlwaysReportsDisconnected_data()
{
    QTest::addColumn<bool>("portOpen");
    QTest::newRow("with a port open") << true;
    QTest::newRow("with no port open at all") << false;
}

void TestSerialWorkerCore::disconnectAlwaysReportsDisconnected()
{
    QFETCH(bool, portOpen);
    FakeDevice device;
    SerialWorker worker;
    if (portOpen)
        worker.connectToPort(device.portName());
    Access::setAbortRequested(worker, true);
    Access::setDeviceCancelled(worker, true);
    Access::setUpdateInProgress(worker, true);
    Access::setFailureReason(worker, QStringLiteral("串口错误：old"));
    Recorder recorder(worker);

    worker.disconnectPort();
    QCOMPARE(recorder.events, QStringList{"disconnected"});
    QCOMPARE(worker.state(), SerialWorker::PortClosed);
    QCOMPARE(worker.port(), nullptr);
    QVERIFY(!Access::abortRequested(worker));
    QVERIFY(!Access::deviceCancelled(worker));
    QVERIFY(!Access::updateInProgress(worker));
    QVERIFY(Access::failureReason(worker).isEmpty());
}

void TestSerialWorkerCore::portLossWhenClosedDoesNothing()
{
    SerialWorker worker;
    Recorder recorder(worker);
    worker.handlePortLoss();
    QVERIFY(recorder.events.isEmpty());
    QCOMPARE(worker.state(), SerialWorker::PortClosed);
}

void TestSerialWorkerCore::losingThePortWhileIdleReportsOnceAndDisconnectsOnce()
{
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    Recorder recorder(worker);

    device.closeMaster();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.count("disconnected"), 1, 2000);
    settle();
    QCOMPARE(recorder.count("disconnected"), 1);
    QVERIFY(recorder.count("error 串口错误：") >= 1);
    QCOMPARE(recorder.events.last(), QStringLiteral("disconnected"));
    QCOMPARE(worker.state(), SerialWorker::PortClosed);
    QVERIFY(!worker.port()->isOpen());
    QVERIFY(Access::failureReason(worker).startsWith(QStringLiteral("串口错误：")));
}

void TestSerialWorkerCore::twoErrorsBackToBackQueueOnePortLoss()
{
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    Recorder recorder(worker);

    worker.handleSerialPortError(QSerialPort::ReadError);
    worker.handleSerialPortError(QSerialPort::ResourceError);
    // The port-loss step is queued, never run from inside the error report.
    QCOMPARE(recorder.count("error 串口错误："), 2);
    QCOMPARE(recorder.count("disconnected"), 0);
    QCOMPARE(worker.state(), SerialWorker::Idle);

    settle();
    QCOMPARE(recorder.count("disconnected"), 1);
    QCOMPARE(worker.state(), SerialWorker::PortClosed);
}

void TestSerialWorkerCore::resourceTemporarilyUnavailableIsIgnored_data()
{
    QTest::addColumn<State>("state");
    QTest::newRow("while idle") << SerialWorker::Idle;
    QTest::newRow("while transferring") << SerialWorker::Transferring;
}

void TestSerialWorkerCore::resourceTemporarilyUnavailableIsIgnored()
{
    QFETCH(State, state);
    FakeDevice device;
    SerialWorker worker;
    auto *port = new ErrorTextPort(device.portName());
    Access::replacePort(worker, port);
    QVERIFY(port->open(QIODevice::ReadWrite));
    worker.setState(state);
    Recorder recorder(worker);

    port->setErrorText(QStringLiteral("Write failed: Resource temporarily unavailable (11)"));
    worker.handleSerialPortError(QSerialPort::WriteError);
    settle();
    QVERIFY(recorder.events.isEmpty());
    QCOMPARE(worker.state(), state);
    QVERIFY(port->isOpen());
    QCOMPARE(port->error(), QSerialPort::NoError);
    QVERIFY(!port->errorString().contains(QStringLiteral("Resource temporarily unavailable")));
    QVERIFY(Access::failureReason(worker).isEmpty());
}

void TestSerialWorkerCore::otherErrorKindsAreIgnored_data()
{
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::newRow("no error") << QSerialPort::NoError;
    QTest::newRow("an open error") << QSerialPort::OpenError;
    QTest::newRow("a time-out") << QSerialPort::TimeoutError;
    QTest::newRow("an unknown error") << QSerialPort::UnknownError;
    QTest::newRow("an unsupported operation") << QSerialPort::UnsupportedOperationError;
    QTest::newRow("a not-open error") << QSerialPort::NotOpenError;
}

void TestSerialWorkerCore::otherErrorKindsAreIgnored()
{
    QFETCH(QSerialPort::SerialPortError, error);
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    Recorder recorder(worker);
    worker.handleSerialPortError(error);
    settle();
    QVERIFY(recorder.events.isEmpty());
    QCOMPARE(worker.state(), SerialWorker::Idle);
}

void TestSerialWorkerCore::anErrorDuringAnUpdateAbortsIt()
{
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    worker.setState(SerialWorker::WaitingForReceiver);
    Recorder recorder(worker);

    worker.handleSerialPortError(QSerialPort::ReadError);
    settle();
    // The update routine closes the port when it sees the state; nothing is queued here.
    QCOMPARE(recorder.count("error 串口错误："), 1);
    QCOMPARE(recorder.count("disconnected"), 0);
    QCOMPARE(worker.state(), SerialWorker::Aborted);
    QVERIFY(!Access::failureReason(worker).isEmpty());
}

void TestSerialWorkerCore::anErrorDuringACommandExchangeIsNotReported()
{
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    Access::setCustomCommandActive(worker, true);
    Recorder recorder(worker);

    worker.handleSerialPortError(QSerialPort::ReadError);
    settle();
    QVERIFY(recorder.events.isEmpty());
    QCOMPARE(worker.state(), SerialWorker::Idle);
}

void TestSerialWorkerCore::timeOutActsOnlyWhileWaitingForTheBootloader_data()
{
    QTest::addColumn<State>("state");
    QTest::addColumn<bool>("abortRequested");
    QTest::addColumn<bool>("acts");
    QTest::newRow("waiting for the bootloader: it reports and returns to idle")
        << SerialWorker::WaitingForBootloader << false << true;
    QTest::newRow("waiting for the receiver: it reports and returns to idle")
        << SerialWorker::WaitingForReceiver << false << true;
    QTest::newRow("idle: nothing") << SerialWorker::Idle << false << false;
    QTest::newRow("transferring: nothing") << SerialWorker::Transferring << false << false;
    QTest::newRow("aborted: nothing") << SerialWorker::Aborted << false << false;
    QTest::newRow("after an abort request: nothing")
        << SerialWorker::WaitingForBootloader << true << false;
}

void TestSerialWorkerCore::timeOutActsOnlyWhileWaitingForTheBootloader()
{
    QFETCH(State, state);
    QFETCH(bool, abortRequested);
    QFETCH(bool, acts);
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    worker.setState(state);
    Access::setAbortRequested(worker, abortRequested);
    Access::setRxBuffer(worker, "Download");
    Access::setLastResponse(worker, "\x06");
    Recorder recorder(worker);

    worker.handleTimeout();
    if (acts) {
        QCOMPARE(recorder.events, QStringList{"updateFailed 设备响应超时"});
        QCOMPARE(worker.state(), SerialWorker::Idle);
        QVERIFY(Access::rxBuffer(worker).isEmpty());
        QVERIFY(Access::lastResponse(worker).isEmpty());
    } else {
        QVERIFY(recorder.events.isEmpty());
        QCOMPARE(worker.state(), state);
        QCOMPARE(Access::rxBuffer(worker), QByteArray("Download"));
    }
}

void TestSerialWorkerCore::abortActsOnlyDuringAnUpdate_data()
{
    QTest::addColumn<State>("state");
    QTest::addColumn<bool>("acts");
    QTest::newRow("idle: nothing changes") << SerialWorker::Idle << false;
    QTest::newRow("closed: nothing changes") << SerialWorker::PortClosed << false;
    QTest::newRow("waiting for the bootloader") << SerialWorker::WaitingForBootloader << true;
    QTest::newRow("waiting for the receiver") << SerialWorker::WaitingForReceiver << true;
    QTest::newRow("transferring") << SerialWorker::Transferring << true;
}

void TestSerialWorkerCore::abortActsOnlyDuringAnUpdate()
{
    QFETCH(State, state);
    QFETCH(bool, acts);
    SerialWorker worker;
    worker.setState(state);
    Recorder recorder(worker);

    worker.abort();
    QVERIFY(recorder.events.isEmpty()); // the update routine reports the cancellation
    QCOMPARE(Access::abortRequested(worker), acts);
    QCOMPARE(worker.state(), acts ? SerialWorker::Aborted : state);
    QVERIFY(!Access::responseTimerActive(worker));
}

void TestSerialWorkerCore::abortEndsACommandExchangeWait_data()
{
    QTest::addColumn<bool>("updateInProgress");
    QTest::addColumn<bool>("abortRequested");
    QTest::newRow("a console command: the wait ends, no abort is recorded") << false << false;
    QTest::newRow("the identity query of an update: the abort is recorded") << true << true;
}

void TestSerialWorkerCore::abortEndsACommandExchangeWait()
{
    QFETCH(bool, updateInProgress);
    QFETCH(bool, abortRequested);
    SerialWorker worker;
    worker.setState(SerialWorker::Idle);
    QEventLoop loop;
    Access::setCustomCommandActive(worker, true);
    Access::setReplyLoop(worker, &loop);
    Access::setUpdateInProgress(worker, updateInProgress);

    QTimer::singleShot(0, &worker, &SerialWorker::abort);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, [&loop] { loop.exit(1); });
    guard.start(2000);
    QCOMPARE(loop.exec(), 0);
    QCOMPARE(Access::abortRequested(worker), abortRequested);
    QCOMPARE(worker.state(), SerialWorker::Idle);
    Access::setReplyLoop(worker, nullptr);
}

void TestSerialWorkerCore::failureReasonFollowsItsPrecedence_data()
{
    QTest::addColumn<bool>("aborted");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<QString>("reason");
    const QString portError = QStringLiteral("串口错误：gone");
    QTest::newRow("a user abort wins over everything")
        << true << portError << true << QStringLiteral("用户取消更新");
    QTest::newRow("a recorded port error wins over the device's cancel")
        << false << portError << true << portError;
    QTest::newRow("the device's cancel alone")
        << false << QString() << true << QStringLiteral("设备中止了传输");
    QTest::newRow("nothing recorded gives an empty reason")
        << false << QString() << false << QString();
}

void TestSerialWorkerCore::failureReasonFollowsItsPrecedence()
{
    QFETCH(bool, aborted);
    QFETCH(QString, failure);
    QFETCH(bool, cancelled);
    QFETCH(QString, reason);
    SerialWorker worker;
    Access::setAbortRequested(worker, aborted);
    Access::setFailureReason(worker, failure);
    Access::setDeviceCancelled(worker, cancelled);
    QCOMPARE(worker.updateFailureReason(), reason);
}

void TestSerialWorkerCore::idleBytesWaitInTheBuffer()
{
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    device.send("hello ");
    QTRY_COMPARE_WITH_TIMEOUT(Access::rxBuffer(worker), QByteArray("hello "), 2000);
    device.send("again");
    QTRY_COMPARE_WITH_TIMEOUT(Access::rxBuffer(worker), QByteArray("hello again"), 2000);
}

void TestSerialWorkerCore::idleChatterDoesNotGrowTheBuffer()
{
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    // Sixteen times the cap of log lines nobody asked for, then a marker.
    const QByteArray line("[app] sensor 42 ok\r\n");
    const int lines = 16 * SerialWorker::kIdleBufferCap / int(line.size());
    QByteArray chunk;
    for (int i = 0; i < 200; ++i)
        chunk += line;
    for (int sent = 0; sent < lines; sent += 200)
        device.send(chunk);
    device.send("END-OF-CHATTER");

    QTRY_VERIFY_WITH_TIMEOUT(Access::rxBuffer(worker).endsWith("END-OF-CHATTER"), 10000);
    // The newest bytes are kept, the oldest dropped.
    const QByteArray kept = Access::rxBuffer(worker);
    QCOMPARE(kept.size(), SerialWorker::kIdleBufferCap);
    QVERIFY(kept.chopped(14).endsWith(line));
}

QTEST_GUILESS_MAIN(TestSerialWorkerCore)
#include "tst_serialworker_core.moc"
