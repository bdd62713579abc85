// The serial worker core against the fake device: opening and closing, port errors and port loss,
// the response time-out, abort, the failure reason and a chattering device.

#include "device/porterrortext.h"
#include "device/serialworker.h"
#include "fakedevice.h"
#include "workertestaccess.h"

#include <QtTest>

using Access = SerialWorkerTestAccess;
using State = SerialWorker::TransferState;
Q_DECLARE_METATYPE(QSerialPort::SerialPortError)
Q_DECLARE_METATYPE(SerialWorker::TransferState)

namespace {

// Long enough for a queued step to have run, if one were queued.
constexpr int kSettleMs = 100;
constexpr int kPortLossMs = 2000;

// A port whose error text a test can set, as the system would on a failing call.
class ErrorTextPort : public QSerialPort
{
public:
    using QSerialPort::QSerialPort;
    void setErrorText(const QString &text) { setErrorString(text); }
};

ErrorTextPort *openErrorTextPort(SerialWorker &worker, const FakeDevice &device, State state)
{
    auto *port = new ErrorTextPort(device.portName());
    Access::replacePort(worker, port);
    port->open(QIODevice::ReadWrite);
    worker.setState(state);
    return port;
}

} // namespace

class TestSerialWorkerCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void openingReportsConnectedThenTheBaudRate();
    void openingAMissingPortLeavesTheStateAsItWas();
    void disconnectAlwaysReportsDisconnected();

    void losingThePortWhileIdleReportsOnceAndDisconnectsOnce();
    void portErrorsAreReportedThenActedOn_data();
    void portErrorsAreReportedThenActedOn();
    void someErrorsAreIgnored_data();
    void someErrorsAreIgnored();
    void portErrorsGetAHintOfWhatToDo_data();
    void portErrorsGetAHintOfWhatToDo();

    void timeOutActsOnlyWhileWaitingForTheBootloader_data();
    void timeOutActsOnlyWhileWaitingForTheBootloader();
    void abortActsOnlyDuringAnUpdate_data();
    void abortActsOnlyDuringAnUpdate();
    void failureReasonFollowsItsPrecedence_data();
    void failureReasonFollowsItsPrecedence();

    void idleChatterDoesNotGrowTheBuffer();
};

void TestSerialWorkerCore::openingReportsConnectedThenTheBaudRate()
{
    // Opening another port replaces the open one silently.
    FakeDevice first;
    FakeDevice second;
    SerialWorker worker;
    worker.connectToPort(first.portName());
    WorkerTrace trace(worker);

    worker.connectToPort(second.portName());
    QTest::qWait(kSettleMs);
    QCOMPARE(trace.lines, (QStringList{"connected", "baud:115200"}));
    QCOMPARE(worker.state(), SerialWorker::Idle);
    const QSerialPort *port = worker.port();
    QVERIFY(port->isOpen() && second.portName().endsWith("/" + port->portName()));
    QCOMPARE((QList<int>{port->baudRate(QSerialPort::Input), port->baudRate(QSerialPort::Output),
                         port->dataBits(), port->parity(), port->stopBits(), port->flowControl()}),
             (QList<int>{115200, 115200, QSerialPort::Data8, QSerialPort::NoParity,
                         QSerialPort::OneStop, QSerialPort::NoFlowControl}));
}

void TestSerialWorkerCore::openingAMissingPortLeavesTheStateAsItWas()
{
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    WorkerTrace trace(worker);

    const QString missing = QStringLiteral("/dev/fw-test-no-such-port");
    worker.connectToPort(missing);
    // The hint for a missing device, then the port's own error text in parentheses.
    const QString prefix = QStringLiteral("connectionFailed:无法打开串口 %1：").arg(missing);
    QCOMPARE(trace.lines.size(), 1);
    const QString line = trace.lines.first();
    QVERIFY2(line.startsWith(prefix) && line.contains(QStringLiteral("数据线")) &&
                 line.endsWith(QStringLiteral("）")),
             qPrintable(line));
    QCOMPARE(worker.state(), SerialWorker::Idle);
    QCOMPARE(worker.port(), nullptr);
}

void TestSerialWorkerCore::disconnectAlwaysReportsDisconnected()
{
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    Access::setAbortRequested(worker, true);
    Access::setDeviceCancelled(worker, true);
    Access::setUpdateInProgress(worker, true);
    Access::setFailureReason(worker, QStringLiteral("串口错误：old"));
    WorkerTrace trace(worker);

    worker.disconnectPort();
    QCOMPARE(trace.lines, QStringList{"disconnected"});
    QCOMPARE(worker.state(), SerialWorker::PortClosed);
    QCOMPARE(worker.port(), nullptr);
    // Nothing of an earlier update is left to colour the next one.
    QVERIFY(!Access::updateInProgress(worker));
    QVERIFY(worker.updateFailureReason().isEmpty());
}

void TestSerialWorkerCore::losingThePortWhileIdleReportsOnceAndDisconnectsOnce()
{
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    WorkerTrace trace(worker);

    device.closeMaster();
    QTRY_COMPARE_WITH_TIMEOUT(trace.count("disconnected"), 1, kPortLossMs);
    worker.handlePortLoss(); // the port is already closed: nothing more
    QTest::qWait(kSettleMs);
    QCOMPARE(trace.count("disconnected"), 1);
    QCOMPARE(trace.lines.last(), QStringLiteral("disconnected"));
    QVERIFY(!trace.with("error:串口错误：").isEmpty());
    QCOMPARE(worker.state(), SerialWorker::PortClosed);
    QVERIFY(!worker.port()->isOpen());
}

void TestSerialWorkerCore::portErrorsAreReportedThenActedOn_data()
{
    QTest::addColumn<State>("state");
    QTest::addColumn<State>("reporting");
    QTest::addColumn<State>("after");
    QTest::newRow("two errors while idle are both reported, then the port is lost once")
        << SerialWorker::Idle << SerialWorker::Idle << SerialWorker::PortClosed;
    // The update routine reports the failure first and closes the port itself afterwards.
    QTest::newRow("two errors during an update abort it and leave the port to the update")
        << SerialWorker::WaitingForReceiver << SerialWorker::Aborted << SerialWorker::Aborted;
}

void TestSerialWorkerCore::portErrorsAreReportedThenActedOn()
{
    QFETCH(State, state);
    QFETCH(State, reporting);
    QFETCH(State, after);
    FakeDevice device;
    SerialWorker worker;
    ErrorTextPort *port = openErrorTextPort(worker, device, state);
    WorkerTrace trace(worker);

    port->setErrorText(QStringLiteral("first"));
    worker.handleSerialPortError(QSerialPort::ReadError);
    port->setErrorText(QStringLiteral("Permission denied"));
    worker.handleSerialPortError(QSerialPort::PermissionError);
    // The port-loss step is queued, never run from inside the error report. The log keeps the
    // system's text; the newest hint alone is the reason.
    const QString lost = PortErrorText::hint(QSerialPort::ReadError, QString());
    const QString denied = PortErrorText::hint(QSerialPort::PermissionError, QString());
    QCOMPARE(trace.lines, (QStringList{"error:串口错误：" + lost + "（first）",
                                       "error:串口错误：" + denied + "（Permission denied）"}));
    QCOMPARE(worker.state(), reporting);
    QCOMPARE(worker.updateFailureReason(), "串口错误：" + denied);
    QTest::qWait(kSettleMs);
    QCOMPARE(trace.count("disconnected"), after == SerialWorker::PortClosed ? 1 : 0);
    QCOMPARE(worker.state(), after);
}

void TestSerialWorkerCore::someErrorsAreIgnored_data()
{
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::addColumn<State>("state");
    QTest::addColumn<QString>("text");
    const QString busy = QStringLiteral("Write failed: Resource temporarily unavailable (11)");
    QTest::newRow("a write error saying Resource temporarily unavailable, while idle")
        << QSerialPort::WriteError << SerialWorker::Idle << busy;
    QTest::newRow("a time-out during a transfer")
        << QSerialPort::TimeoutError << SerialWorker::Transferring << "x";
}

void TestSerialWorkerCore::someErrorsAreIgnored()
{
    QFETCH(QSerialPort::SerialPortError, error);
    QFETCH(State, state);
    QFETCH(QString, text);
    FakeDevice device;
    SerialWorker worker;
    ErrorTextPort *port = openErrorTextPort(worker, device, state);
    WorkerTrace trace(worker);

    port->setErrorText(text);
    worker.handleSerialPortError(error);
    QTest::qWait(kSettleMs);
    QVERIFY(trace.lines.isEmpty());
    QCOMPARE(worker.state(), state);
    QVERIFY(port->isOpen() && !port->errorString().contains(QStringLiteral("temporarily")));
    QVERIFY(worker.updateFailureReason().isEmpty());
}

void TestSerialWorkerCore::portErrorsGetAHintOfWhatToDo_data()
{
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("hintSays");
    const QString cable = QStringLiteral("检查数据线");
    const QString dialout = QStringLiteral("dialout 组");
    const QString closeOther = QStringLiteral("关闭该程序");
    QTest::newRow("a device not found: check the cable")
        << QSerialPort::DeviceNotFoundError << "No such file or directory" << cable;
    QTest::newRow("an adapter pulled out (resource error): check the cable")
        << QSerialPort::ResourceError << "Input/output error" << cable;
    QTest::newRow("no permission: join the dialout group")
        << QSerialPort::PermissionError << "" << dialout;
    QTest::newRow("'Permission denied' on opening: join the dialout group")
        << QSerialPort::OpenError << "Permission denied" << dialout;
    QTest::newRow("a port in use: close the other program")
        << QSerialPort::OpenError << "" << closeOther;
    QTest::newRow("'Device or resource busy': close the other program")
        << QSerialPort::UnknownError << "Device or resource busy" << closeOther;
    QTest::newRow("anything else: a plain Chinese text") << QSerialPort::UnknownError << "weird"
                                                         << "";
}

void TestSerialWorkerCore::portErrorsGetAHintOfWhatToDo()
{
    QFETCH(QSerialPort::SerialPortError, error);
    QFETCH(QString, text);
    QFETCH(QString, hintSays);
    const QString hint = PortErrorText::hint(error, text);
    for (const QString &advice :
         {QStringLiteral("检查数据线"), QStringLiteral("dialout 组"), QStringLiteral("关闭该程序")})
        QCOMPARE(hint.contains(advice), advice == hintSays);
    QVERIFY2(!hint.isEmpty() &&
                 !QString(hint).remove("dialout").contains(QRegularExpression("[A-Za-z]")),
             qPrintable(hint)); // no English but the group's name
    QCOMPARE(PortErrorText::withSystemText(error, text),
             text.isEmpty() ? hint : hint + "（" + text + "）");
}

void TestSerialWorkerCore::timeOutActsOnlyWhileWaitingForTheBootloader_data()
{
    QTest::addColumn<State>("state");
    QTest::addColumn<bool>("abortRequested");
    QTest::addColumn<bool>("acts");
    QTest::newRow("waiting for the bootloader: it reports and returns to idle")
        << SerialWorker::WaitingForBootloader << false << true;
    QTest::newRow("idle: nothing") << SerialWorker::Idle << false << false;
    QTest::newRow("transferring: nothing") << SerialWorker::Transferring << false << false;
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
    WorkerTrace trace(worker);

    worker.handleTimeout();
    QCOMPARE(trace.lines, acts ? QStringList{"failed:设备响应超时"} : QStringList());
    QCOMPARE(worker.state(), acts ? SerialWorker::Idle : state);
    QCOMPARE(Access::rxBuffer(worker), acts ? QByteArray() : QByteArray("Download"));
    QCOMPARE(Access::lastResponse(worker), acts ? QByteArray() : QByteArray("\x06"));
}

void TestSerialWorkerCore::abortActsOnlyDuringAnUpdate_data()
{
    QTest::addColumn<State>("state");
    QTest::addColumn<bool>("acts");
    QTest::newRow("idle: nothing changes") << SerialWorker::Idle << false;
    QTest::newRow("waiting for the bootloader") << SerialWorker::WaitingForBootloader << true;
    QTest::newRow("transferring") << SerialWorker::Transferring << true;
}

void TestSerialWorkerCore::abortActsOnlyDuringAnUpdate()
{
    QFETCH(State, state);
    QFETCH(bool, acts);
    SerialWorker worker;
    worker.setState(state);
    Access::responseTimer(worker)->start(60000);
    WorkerTrace trace(worker);

    worker.abort();
    QVERIFY(trace.lines.isEmpty()); // the update routine reports the cancellation
    QCOMPARE(Access::abortRequested(worker), acts);
    QCOMPARE(worker.state(), acts ? SerialWorker::Aborted : state);
    QCOMPARE(Access::responseTimer(worker)->isActive(), !acts);
}

void TestSerialWorkerCore::failureReasonFollowsItsPrecedence_data()
{
    QTest::addColumn<bool>("aborted");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<QString>("reason");
    const QString portError = QStringLiteral("串口错误：gone");
    QTest::newRow("a user abort wins over everything")
        << true << portError << true << "用户取消更新";
    QTest::newRow("a recorded port error wins over the device's cancel")
        << false << portError << true << portError;
    QTest::newRow("the device's cancel alone") << false << QString() << true << "设备中止了传输";
    QTest::newRow("nothing recorded gives an empty reason") << false << QString() << false << "";
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

void TestSerialWorkerCore::idleChatterDoesNotGrowTheBuffer()
{
    FakeDevice device;
    SerialWorker worker;
    worker.connectToPort(device.portName());
    // Sixteen times the cap of log lines nobody asked for, then a marker.
    const QByteArray line("[app] sensor 42 ok\r\n");
    const QByteArray chunk = line.repeated(200);
    for (int sent = 0; sent < 16 * SerialWorker::kIdleBufferCap; sent += int(chunk.size()))
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
