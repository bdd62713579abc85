// The serial worker against a scripted device on a pseudo-terminal: the port, the update up to the
// transfer, the console's command exchange, and the pure rules the worker applies.

#include "device/porterrortext.h"
#include "device/reasoncode.h"
#include "device/serialworker.h"
#include "device/versionrule.h"
#include "scripteddevice.h"
#include "workertestaccess.h"

#include <QtTest>

#include <memory>

using namespace std::chrono_literals;
using Access = SerialWorkerTestAccess;
using State = SerialWorker::TransferState;
using Script = ScriptedDevice::Script;
using Reply = ScriptedDevice::Reply;
Q_DECLARE_METATYPE(SerialWorker::TransferState)

namespace {

// What interrupts an update or a command: the user's abort, a disconnect request, the cable pulled.
enum class Act { None, Abort, Disconnect, Unplug };

const QByteArray kMenuLine = ScriptedDevice::downloadLine();
const QString kCancelled = QStringLiteral("failed:用户取消更新");
const QString kReceiverWaiting = QStringLiteral(
    "warn:设备的 YMODEM 接收端仍在等待数据（应答只有协议字节），将等待它重新请求传输");
// Long enough for a queued step or a late report to have come, if one were coming.
constexpr int kSettleMs = 100;

Script scriptWith(const Reply &identification, bool silentAfterStart = true)
{
    Script script;
    script.identification = identification;
    script.silentAfterStart = silentAfterStart;
    return script;
}

// A port whose error text a test can set, as the system would on a failing call.
class ErrorTextPort : public QSerialPort
{
public:
    using QSerialPort::QSerialPort;
    void setErrorText(const QString &text) { setErrorString(text); }
};

// A worker and a scripted device. Only the reply's overall limit is shortened: the real quiet gap
// keeps a device streaming every 20 ms from ever looking paused on a loaded machine, and the
// handshake keeps its real minute unless a test shortens it.
struct Rig : WorkerRig<ScriptedDevice>
{
    explicit Rig(const Script &script = Script(),
                 std::chrono::milliseconds handshake = DeviceTimeouts().handshake)
        : WorkerRig(DeviceTimeouts(), script)
    {
        DeviceTimeouts t;
        t.replyOverall = 600ms;
        t.handshake = handshake;
        worker.setTimeoutsForTesting(t);
    }

    // Runs fn on the worker (inside its waits) once, when the device first records an event.
    void onDeviceEvent(const QString &prefix, const std::function<void()> &fn)
    {
        auto fired = std::make_shared<bool>(false);
        device.setEventHook([this, prefix, fn, fired](ScriptedDevice &, const QString &event) {
            if (!*fired && event.startsWith(prefix)) {
                *fired = true;
                QMetaObject::invokeMethod(&worker, fn, Qt::QueuedConnection);
            }
        });
    }
    void send() { worker.sendCustomCommand(QStringLiteral("*IDN?")); }
    // The reports but the log, each cut before the detail after a full-width colon.
    QStringList reports() const
    {
        QStringList out = trace.lines.filter(QRegularExpression("^(?!log:)"));
        for (QString &line : out)
            line = line.section(u'：', 0, 0);
        return out;
    }
};

} // namespace

class TstSerialWorker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The pure rules the worker applies, one call per row: the start-command choice, the text of
    // a reply, the line a console command goes out as, the hint for a port error and the reason
    // a failed update gives.
    void rules_data()
    {
        QTest::addColumn<QVariant>("actual");
        QTest::addColumn<QVariant>("expected");
        const auto start = [](const QString &identification) {
            return QVariant(VersionRule::startCommandFor(identification));
        };
        const QVariant fwupd = QByteArray("*FWUPD\r\n");
        const QVariant legacy = QByteArray::fromHex("5D0C2F7A19E4");
        QTest::newRow("1.0.38 chooses *FWUPD") << start("Orvane,TM-1,1.0.38") << fwupd;
        QTest::newRow("1.0.100 compares as a number, not as text") << start("1.0.100") << fwupd;
        QTest::newRow("four numbers: 1.1.0.0 chooses *FWUPD by its second")
            << start("TM-1,1.1.0.0") << fwupd;
        QTest::newRow("four numbers: 3.0.50.1 chooses the legacy bytes")
            << start("TM-1,3.0.50.1") << legacy;
        QTest::newRow("the first match 1.2.3 outranks a later 1.0.40")
            << start("TM-1,1.2.3,1.0.40") << legacy;
        QTest::newRow("1.0.40-beta chooses the legacy bytes") << start("1.0.40-beta") << legacy;
        QTest::newRow("a version before a single final LF still matches")
            << start("1.0.40\n") << fwupd;
        QTest::newRow("a version before a final CR LF does not") << start("1.0.40\r\n") << legacy;
        QTest::newRow("text without any version gets the legacy bytes") << start("TM-1") << legacy;
        QTest::newRow("a third number too large for 32 bits reads as 0")
            << start("1.0.99999999999") << legacy;
        QTest::newRow("a huge first number is never looked at")
            << start("99999999999.0.38") << fwupd;

        const auto console = [](const QByteArray &reply) {
            return QVariant(DeviceReply::consoleText(reply));
        };
        QTest::newRow("the console keeps spaces and tabs at the ends")
            << console(" \tOK\t\r\n") << QVariant(" \tOK\t");
        QTest::newRow("the identification is trimmed of all white space at both ends")
            << QVariant(DeviceReply::identificationText(" \tOK\t\r\n", false)) << QVariant("OK");
        QTest::newRow("the console keeps the line break between two lines")
            << console("\r\none\r\ntwo\r\n") << QVariant("one\r\ntwo");
        QTest::newRow("valid UTF-8 stays UTF-8") << console("温度 25℃\r\n") << QVariant("温度 25℃");
        QTest::newRow("a byte that is not UTF-8 gives the Latin-1 reading of everything")
            << console("\r\nA\xff\xe9z\r\n") << QVariant(QString::fromLatin1("A\xff\xe9z"));

        const auto line = [](const QString &command) {
            return QVariant(QString::fromUtf8(DeviceReply::commandLine(command)));
        };
        QTest::newRow("a command ending with CR LF goes out as it is")
            << line("*RST\r\n") << QVariant("*RST\r\n");
        QTest::newRow("a bare LF still gets CR LF") << line("*RST\n") << QVariant("*RST\n\r\n");
        QTest::newRow("an empty command is a bare CR LF") << line("") << QVariant("\r\n");
        QTest::newRow("control bytes of a reply are shown escaped, C0, DEL and C1 alike")
            << QVariant(DeviceReply::escapedText(QString::fromLatin1("\x06TM\x1b[2J\x7f\x85,1.0")))
            << QVariant("\\x06TM\\x1b[2J\\x7f\\x85,1.0");
        const auto waiting = [](const QList<QByteArray> &replies) {
            QString verdicts;
            for (const QByteArray &reply : replies)
                verdicts += DeviceReply::onlyProtocolBytes(reply) ? u'y' : u'n';
            return QVariant(verdicts);
        };
        QTest::newRow("ACK, NAK, CAN and C alone, white space aside, are a receiver still waiting")
            << waiting({"\x06", "CCCC\r\n", "\x15\x18 C", "", "\r\n", "C1.0.38", "OK\x06"})
            << QVariant("yyynnnn");

        // The advice a port error's hint gives; no English may show but the group's name.
        const auto advice = [](QSerialPort::SerialPortError error, const QString &text) {
            const QString hint = PortErrorText::hint(error, text);
            QStringList given;
            auto it = QRegularExpression("检查数据线|dialout 组|被其他程序占用|[A-Za-z]+")
                          .globalMatch(hint);
            while (it.hasNext())
                given << it.next().captured();
            return QVariant(hint.isEmpty() ? "no hint" : given.join(u'+'));
        };
        const QVariant cable = QStringLiteral("检查数据线");
        const QVariant dialout = QStringLiteral("dialout 组");
        const QVariant inUse = QStringLiteral("被其他程序占用+fwflash"); // names what to close
        // Without English words to go by, the kind of error decides.
        QTest::newRow("a device not found, the system's text in German: check the cable")
            << advice(QSerialPort::DeviceNotFoundError, "Datei oder Verzeichnis nicht gefunden")
            << cable;
        QTest::newRow("an adapter pulled out (resource error), no system text: check the cable")
            << advice(QSerialPort::ResourceError, "") << cable;
        QTest::newRow("no permission, the system's text in Chinese: join the dialout group")
            << advice(QSerialPort::PermissionError, "权限不够") << dialout;
        QTest::newRow("'Permission denied' on opening: join the dialout group")
            << advice(QSerialPort::OpenError, "Permission denied") << dialout;
        QTest::newRow("a port in use: close the other program")
            << advice(QSerialPort::OpenError, "") << inUse;
        // Qt reports both as permission errors.
        QTest::newRow("a lock another program holds is a port in use, not a permission matter")
            << advice(QSerialPort::PermissionError, "Permission error while locking the device")
            << inUse;
        QTest::newRow("'Device or resource busy' is a port in use")
            << advice(QSerialPort::PermissionError, "Device or resource busy") << inUse;
        QTest::newRow("anything else: a plain Chinese text")
            << advice(QSerialPort::UnknownError, "weird") << QVariant("");
        QTest::newRow("an empty system text adds no parentheses")
            << QVariant(PortErrorText::withSystemText(QSerialPort::OpenError, ""))
            << QVariant(PortErrorText::hint(QSerialPort::OpenError, ""));

        const auto reason = [](bool aborted, const QString &failure, bool cancelled) {
            SerialWorker worker;
            Access::setAbortRequested(worker, aborted);
            Access::setFailureReason(worker, failure);
            Access::setDeviceCancelled(worker, cancelled);
            return QVariant(worker.updateFailureReason());
        };
        const QString port = QStringLiteral("串口错误：gone");
        QTest::newRow("a user abort wins over everything")
            << reason(true, port, true) << QVariant("用户取消更新");
        QTest::newRow("a recorded port error wins over the device's cancel")
            << reason(false, port, true) << QVariant(port);

        // The stable code scripts and records get for each reason the worker words.
        const auto codes = [](const QStringList &reasons) {
            QStringList out;
            for (const QString &reason : reasons)
                out << ReasonCode::forWorkerReason(reason);
            return QVariant(out.join(u' '));
        };
        const QString lost = PortErrorText::hint(QSerialPort::ResourceError, "");
        const QString busy = PortErrorText::hint(QSerialPort::OpenError, "");
        const QString denied = PortErrorText::hint(QSerialPort::PermissionError, "");
        QTest::newRow("every reason the worker gives has its own code, the port's by its hint")
            << codes({"设备响应超时", "设备中止了传输", "用户取消更新", "传输错误（错误码：5）",
                      "串口错误：" + lost, "无法打开串口 ttyUSB0：" + busy + "（Device busy）",
                      "串口错误：" + denied, "串口错误", "串口未打开", "写入错误：x",
                      "启动命令发送失败", "固件文件为空", "固件为 240000 字节；bootloader …",
                      "something new", ""})
            << QVariant("device-timeout device-cancelled user-cancelled transfer-failed port-lost "
                        "port-busy port-permission port-error port-lost write-failed write-failed "
                        "image-refused image-refused failed ");
    }
    void rules()
    {
        QFETCH(QVariant, actual);
        QFETCH(QVariant, expected);
        QCOMPARE(actual, expected);
    }

    void openingChatterFailingAndClosing()
    {
        // Opening another port replaces the open one silently; the line runs at 115200 8N1.
        Rig rig;
        FakeDevice second;
        rig.worker.connectToPort(second.portName());
        QTest::qWait(kSettleMs);
        QCOMPARE(rig.trace.lines, (QStringList{"connected", "baud:115200"}));
        const QSerialPort *port = rig.worker.port();
        QVERIFY(port->isOpen() && second.portName().endsWith("/" + port->portName()));
        QCOMPARE(
            (QList<int>{port->baudRate(QSerialPort::Input), port->baudRate(QSerialPort::Output),
                        port->dataBits(), port->parity(), port->stopBits(), port->flowControl()}),
            (QList<int>{115200, 115200, QSerialPort::Data8, QSerialPort::NoParity,
                        QSerialPort::OneStop, QSerialPort::NoFlowControl}));

        // Sixteen times the cap of log lines nobody asked for, then a marker: the newest bytes
        // are kept, the oldest dropped.
        const QByteArray chatter("[app] sensor 42 ok\r\n");
        for (int sent = 0; sent < 16 * SerialWorker::kIdleBufferCap; sent += 200 * chatter.size())
            second.send(chatter.repeated(200));
        second.send("END");
        QTRY_VERIFY_WITH_TIMEOUT(Access::rxBuffer(rig.worker).endsWith(chatter + "END"), 10000);
        QCOMPARE(Access::rxBuffer(rig.worker).size(), SerialWorker::kIdleBufferCap);

        // A port that cannot be opened: the hint for a missing device, then the port's own error
        // text in parentheses; the state stays as it was.
        const QString missing = QStringLiteral("/dev/fw-test-no-such-port");
        rig.worker.connectToPort(missing);
        const QString line = rig.trace.lines.last();
        QVERIFY2(rig.trace.lines.size() == 3 &&
                     line.startsWith("connectionFailed:无法打开串口 " + missing + "：") &&
                     line.contains(QStringLiteral("数据线")) && line.endsWith(u'）'),
                 qPrintable(line));
        QVERIFY(rig.worker.state() == SerialWorker::Idle && !rig.worker.port());

        // A disconnect always reports, and nothing of an earlier update is left to colour the
        // next one.
        Access::setAbortRequested(rig.worker, true);
        Access::setDeviceCancelled(rig.worker, true);
        Access::setUpdateInProgress(rig.worker, true);
        Access::setFailureReason(rig.worker, QStringLiteral("串口错误：old"));
        rig.worker.disconnectPort();
        QCOMPARE(rig.trace.lines.mid(3), QStringList{"disconnected"});
        QCOMPARE(rig.worker.state(), SerialWorker::PortClosed);
        QVERIFY(!Access::updateInProgress(rig.worker) &&
                rig.worker.updateFailureReason().isEmpty());
    }

    // What the worker does, by state, on a port error (with the system's text), on the response
    // time-out (after an abort request or not) and on the user's abort.
    void eventsByState_data()
    {
        QTest::addColumn<State>("state");
        QTest::addColumn<QSerialPort::SerialPortError>("error"); // none: the event in the text
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<State>("after");
        const QStringList none;
        const State idle = SerialWorker::Idle, waiting = SerialWorker::WaitingForBootloader,
                    sending = SerialWorker::Transferring, aborted = SerialWorker::Aborted;
        QTest::newRow("idle, a read error is reported, then the port is lost once")
            << idle << QSerialPort::ReadError << "gone"
            << QStringList{"error:串口错误", "disconnected"} << SerialWorker::PortClosed;
        // The update routine reports the failure first and closes the port itself afterwards.
        QTest::newRow(
            "waiting for the receiver, a port error aborts the update, the port left open")
            << SerialWorker::WaitingForReceiver << QSerialPort::PermissionError
            << "Permission denied" << QStringList{"error:串口错误"} << aborted;
        QTest::newRow("idle, a write error saying Resource temporarily unavailable is ignored")
            << idle << QSerialPort::WriteError
            << "Write failed: Resource temporarily unavailable (11)" << none << idle;
        QTest::newRow("transferring, a port time-out is ignored")
            << sending << QSerialPort::TimeoutError << "x" << none << sending;
        QTest::newRow("waiting for the bootloader, the time-out reports and returns to idle")
            << waiting << QSerialPort::NoError << "time-out" << QStringList{"failed:设备响应超时"}
            << idle;
        QTest::newRow("transferring, the time-out does nothing")
            << sending << QSerialPort::NoError << "time-out" << none << sending;
        QTest::newRow(
            "waiting for the bootloader after an abort request, the time-out does nothing")
            << waiting << QSerialPort::NoError << "abort requested, time-out" << none << waiting;
        QTest::newRow("waiting for the bootloader, an abort acts")
            << waiting << QSerialPort::NoError << "abort" << none << aborted;
        QTest::newRow("idle, an abort does nothing")
            << idle << QSerialPort::NoError << "abort" << none << idle;
    }
    void eventsByState()
    {
        QFETCH(State, state);
        QFETCH(QSerialPort::SerialPortError, error);
        QFETCH(QString, text);
        QFETCH(QStringList, reports);
        QFETCH(State, after);
        Rig rig;
        auto *port = new ErrorTextPort(rig.device.portName());
        Access::replacePort(rig.worker, port);
        port->open(QIODevice::ReadWrite);
        port->setErrorText(text);
        rig.worker.setState(state);
        Access::setRxBuffer(rig.worker, "Download");
        Access::setLastResponse(rig.worker, "\x06");
        Access::responseTimer(rig.worker)->start(60000);
        if (error != QSerialPort::NoError) {
            rig.worker.handleSerialPortError(error);
        } else if (text == QLatin1String("abort")) {
            rig.worker.abort();
        } else {
            Access::setAbortRequested(rig.worker, text.startsWith(QLatin1String("abort")));
            rig.worker.handleTimeout();
        }
        // The port-loss step is queued, never run from inside the error report.
        QVERIFY(!rig.trace.lines.contains(QStringLiteral("disconnected")));
        QTest::qWait(kSettleMs);
        QCOMPARE(rig.reports(), reports);
        QCOMPARE(rig.worker.state(), after);
        QCOMPARE(rig.worker.port()->isOpen(), after != SerialWorker::PortClosed);
        QVERIFY(!rig.worker.port()->errorString().contains(QStringLiteral("temporarily")));
        // A port error's reason is the hint alone, without the system's text that the log adds.
        const QString reason = "串口错误：" + PortErrorText::hint(error, QString());
        const bool reported = reports.contains(QStringLiteral("error:串口错误"));
        QCOMPARE(rig.trace.with("error:"),
                 reported ? QStringList{reason + "（" + text + "）"} : QStringList());
        if (error != QSerialPort::NoError)
            QCOMPARE(rig.worker.updateFailureReason(), reported ? reason : QString());
        if (text == QLatin1String("abort")) { // an abort stops the response timer
            QCOMPARE(Access::abortRequested(rig.worker), after != state);
            QCOMPARE(Access::responseTimer(rig.worker)->isActive(), after == state);
        } else if (error == QSerialPort::NoError) { // bytes of a failed wait are not kept
            QCOMPARE(Access::rxBuffer(rig.worker) + Access::lastResponse(rig.worker),
                     after != state ? "" : QByteArray("Download\x06"));
        }
    }

    void startCommandChoice_data()
    {
        QTest::addColumn<Reply>("identification");
        QTest::addColumn<QStringList>("logged");
        const QStringList none{"log:*IDN? 响应：（无响应） —— 使用旧版启动命令"};
        QTest::newRow("silence chooses the legacy bytes") << ScriptedDevice::silence() << none;
        QTest::newRow("a reply that never pauses for the quiet gap counts as none, so legacy too")
            << ScriptedDevice::stream("TM-1,1.0.40,", 20) << none;
        QTest::newRow("a lone ACK is a receiver still waiting: shown escaped, legacy bytes too")
            << ScriptedDevice::text("\x06")
            << QStringList{"log:*IDN? 响应：\\x06", kReceiverWaiting};
    }
    void startCommandChoice()
    {
        QFETCH(Reply, identification);
        QFETCH(QStringList, logged);
        Rig rig(scriptWith(identification));
        QSignalSpy identified(&rig.worker, &SerialWorker::identified);
        const QString path = rig.writeImage(testImage(100));
        // Inside the wait for the bootloader a second update and a console command are refused,
        // then the user aborts: the update ends, the port stays open.
        int remainingMs = -1;
        rig.onDeviceEvent(QStringLiteral("start:"), [&rig, &remainingMs, path] {
            remainingMs = Access::responseTimer(rig.worker)->remainingTime();
            rig.worker.startUpdate(path);
            rig.send();
            rig.worker.abort();
        });
        rig.worker.startUpdate(path);
        QTest::qWait(kSettleMs);

        QCOMPARE(rig.trace.outcomes(), (QStringList{"failed:设备未连接", kCancelled}));
        QCOMPARE(rig.trace.with("response:"), QStringList{"设备未连接"});
        QCOMPARE(rig.trace.lines.mid(1, logged.size()), logged);
        // The identification signalled is the text logged.
        const QString signalled = identified.value(0).value(0).toString();
        QVERIFY(signalled.isEmpty() ? logged[0].contains("（无响应）")
                                    : logged[0].endsWith(signalled));
        // The query goes out in lower case, then the legacy start command on its own.
        QCOMPARE(rig.device.received(), "*idn?\r\n" + QByteArray::fromHex("5D0C2F7A19E4"));
        QVERIFY(rig.worker.state() == SerialWorker::Idle && rig.worker.port()->isOpen());
        QVERIFY(!Access::responseTimer(rig.worker)->isActive());
        // The bootloader gets its real minute to answer.
        QVERIFY2(remainingMs > 30000 && remainingMs <= 60000,
                 qPrintable(QString::number(remainingMs)));
    }

    // A second update on the same line after the first was cancelled when the device recorded
    // an event, or after it succeeded: a running receiver was told of the cancel, and nothing of
    // the first update colours the second.
    void secondUpdate_data()
    {
        QTest::addColumn<Script>("script");
        QTest::addColumn<QString>("cancelAt");   // empty: the first update succeeds
        QTest::addColumn<QString>("told");       // the device's event after the cancel it was told
        QTest::addColumn<QStringList>("logged"); // by the second update, one after the other
        Script asking, ignoring, nakFirst;
        asking.cRunSplitAt = 1; // the receiver's first 'C' alone, the rest of the run 400 ms later
        asking.cRunSplitDelayMs = 400;
        ignoring.faults.ignoreCancel = true;
        ignoring.receiverTimeoutMs = 300;
        nakFirst.faults.nakBlockOnce = 0;
        const QStringList normal{"log:*IDN? 响应：Orvane,TM-1,SN0001,1.0.38",
                                 "log:已发送启动命令：*fwupd"};
        QTest::newRow("a cancel while the receiver asks for the file is told to it (CAN)")
            << asking << "C:1"
            << "host-cancel" << normal;
        QTest::newRow("a cancel during the transfer is told to the receiver (CAN)")
            << Script() << "block:2"
            << "host-cancel" << normal;
        QTest::newRow("a receiver that ignored the cancel, then asks again, is found waiting")
            << ignoring << "block:2"
            << "receiver-timeout"
            << QStringList{kReceiverWaiting, "log:已发送启动命令：5d 0c 2f 7a 19 e4"};
        QTest::newRow("a device that NAKs the first block it gets is resynchronised again")
            << nakFirst << ""
            << "" << QStringList{"log:设备已持有首包，正在重新同步。"};
    }
    void secondUpdate()
    {
        QFETCH(Script, script);
        QFETCH(QString, cancelAt);
        QFETCH(QString, told);
        QFETCH(QStringList, logged);
        Rig rig(script);
        if (!cancelAt.isEmpty())
            rig.onDeviceEvent(cancelAt, [&rig] { rig.worker.abort(); });
        const QString path = rig.writeImage(testImage(5000));
        rig.worker.startUpdate(path);
        QCOMPARE(rig.trace.outcomes(), QStringList{cancelAt.isEmpty() ? "success" : kCancelled});
        // The device got the cancel (CAN CAN): it stopped, or ignored it and timed out later.
        QTRY_VERIFY_WITH_TIMEOUT(told.isEmpty() || rig.device.hasEvent(told), 5000);

        rig.trace.lines.clear();
        rig.worker.startUpdate(path);
        QCOMPARE(rig.trace.outcomes(), QStringList{"success"});
        QCOMPARE(rig.device.receiver().fileData(), testImage(5000));
        const qsizetype at = rig.trace.lines.indexOf(logged.first());
        QCOMPARE(rig.trace.lines.mid(at, logged.size()), logged);
    }

    void handshakeLimitCountsFromTheStartCommand()
    {
        // The menu comes 1200 ms after the start command and, after the choice, no request: the
        // limit of 2000 ms still runs from the start command (about 2.2 s after the update
        // began, the query included), not from the menu (3.4 s).
        Rig rig(scriptWith(ScriptedDevice::text("TM-1,1.0.38\r\n")), 2000ms);
        rig.onDeviceEvent("start:",
                          [&rig] { rig.device.sendLater(1200, ScriptedDevice::menuText()); });
        const QDeadlineTimer limit(2800);
        rig.worker.startUpdate(rig.writeImage(testImage(100)));
        QCOMPARE(rig.trace.outcomes(), QStringList{"failed:设备响应超时"});
        QVERIFY(rig.device.received().endsWith("d")); // the late menu was answered
        QVERIFY2(!limit.hasExpired(), qPrintable(QString::number(limit.remainingTime())));
    }

    void imageChecks_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("maxFirmwareSize");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("237440 bytes, the bootloader's limit, go through every step, sent whole")
            << true << SerialWorker::kBootloaderMaxImage << 2097152 << "success";
        QTest::newRow("237441 bytes are refused with both numbers")
            << true << 237441 << 2097152
            << "failed:固件为 237441 字节；bootloader 最多只能写入 237440 字节（App 区 "
               "0x08004000-0x0803DFFF，最后一个可编程字节 0x0803DFFE）";
        QTest::newRow("the configured limit refuses before the bootloader's")
            << true << 237441 << 237440 << "failed:固件文件超出大小限制";
        QTest::newRow("an empty file is refused") << true << 0 << 2097152 << "failed:固件文件为空";
        QTest::newRow("a missing file is refused")
            << true << -1 << 2097152 << "failed:无法打开固件文件";
        QTest::newRow("without an open port an update, and a command, are refused")
            << false << 100 << 2097152 << "failed:串口未打开";
    }
    void imageChecks()
    {
        QFETCH(bool, connected);
        QFETCH(int, size);
        QFETCH(int, maxFirmwareSize);
        QFETCH(QString, outcome);
        Rig rig;
        rig.worker.setDebugMode(true);
        if (!connected) {
            rig.worker.disconnectPort();
            rig.send();
            QCOMPARE(rig.trace.lines, (QStringList{"disconnected", "response:串口未打开"}));
            rig.trace.lines.clear();
        }
        rig.worker.setMaxFirmwareSize(maxFirmwareSize);
        const QByteArray image = testImage(qMax(size, 0));
        const QString name = QStringLiteral("固件 v2.bin");
        rig.worker.startUpdate(size < 0 ? rig.dir.filePath(name) : rig.writeImage(image, name));

        QCOMPARE(rig.trace.outcomes(), QStringList{outcome});
        if (outcome != QLatin1String("success")) {
            QCOMPARE(rig.trace.lines, QStringList{outcome}); // refused before anything is sent
            QVERIFY(!rig.device.waitForReceivedCount(1, kSettleMs));
            return;
        }
        QCOMPARE(rig.trace.lines.mid(0, 6),
                 (QStringList{"log:正在查询设备标识…", "log:*IDN? 响应：Orvane,TM-1,SN0001,1.0.38",
                              "log:已发送启动命令：*fwupd", "log:正在等待设备进入下载模式…",
                              "log:[DEBUG] 下载命令已发送", "log:设备就绪，正在传输固件…"}));
        const YmodemReceiver receiver = rig.device.receiver();
        QCOMPARE(receiver.fileName(), name.toUtf8());
        QCOMPARE(receiver.fileData(), image);
        QCOMPARE(rig.worker.state(), SerialWorker::Idle);
    }

    // Per read, what the worker waiting for the bootloader does: '.' waits on, 'M' answers the
    // menu, 'C' starts the transfer (and reads no further).
    void scanning_data()
    {
        using Reads = QList<QByteArray>;
        QTest::addColumn<Reads>("reads");
        QTest::addColumn<QString>("steps");
        const QByteArray line = kMenuLine;
        QTest::newRow("the menu line in three reads is answered when complete")
            << Reads{line.left(10), line.mid(10, 30), line.mid(40)} << "..M";
        QTest::newRow("the menu line without its last LF is not recognised")
            << Reads{line.chopped(1) + "\r\n"} << ".";
        QTest::newRow("seven C's wait for an eighth in a later read")
            << Reads{"CCC", "CCCC", "C"} << "..C";
        QTest::newRow("a run broken by another byte starts again")
            << Reads{"CCCC", "xCCCC", "CCC", "C"} << "...C";
        QTest::newRow("a menu line with C's after it in the same read is answered first")
            << Reads{line + "CCCCCCCC", "C"} << "M.";
        QTest::newRow("answering the menu forgets the C's seen before it")
            << Reads{"CCCCCCC", line, "C", "CCCCCCC"} << ".M.C";
        // 4 MiB of text without a menu line or a run of C's, then the menu line in two reads.
        const QByteArray chatter =
            QByteArray("Checking flash ... C CC CCCCCCC ok\r\n").repeated(100);
        Reads reads(1000, chatter);
        reads << chatter + line.left(20) << line.mid(20);
        QTest::newRow("a chattering bootloader is still answered, in bounded memory")
            << reads << QString(1001, u'.') + u'M';
    }
    void scanning()
    {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QString, steps);
        // Feeds the reads to processResponse one by one, as handleReadyRead does.
        Rig rig;
        rig.worker.setDebugMode(true);
        rig.worker.setState(SerialWorker::WaitingForBootloader);
        QString seen;
        for (const QByteArray &read : reads) {
            const qsizetype logsBefore = rig.trace.lines.size();
            Access::setRxBuffer(rig.worker, Access::rxBuffer(rig.worker) + read);
            rig.worker.processResponse();
            // Only a tail that could still begin the menu line is kept.
            QVERIFY(Access::rxBuffer(rig.worker).size() < kMenuLine.size());
            if (rig.worker.state() == SerialWorker::Transferring) {
                seen += u'C';
                break;
            }
            seen += rig.trace.lines.size() > logsBefore ? u'M' : u'.';
        }
        QCOMPARE(seen, steps);
    }

    // A console command's reply, and one each of abort, disconnect request and unplug during an
    // update's identification query (an abort there: startCommandChoice) and during a command.
    void exchanges_data()
    {
        QTest::addColumn<bool>("update");
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<Act>("action");
        QTest::addColumn<QStringList>("reports");
        const Reply silence = ScriptedDevice::silence();
        QTest::newRow("reply chunks closer than the quiet gap come back as one text")
            << false << ScriptedDevice::chunks({{0, "Orvane,"}, {20, "TM-1,"}, {20, "1.0.38\r\n"}})
            << Act::None << QStringList{"response:Orvane,TM-1,1.0.38"};
        QTest::newRow("a reply chunk after the quiet gap is left out")
            << false << ScriptedDevice::chunks({{0, "first\r\n"}, {450, "late\r\n"}}) << Act::None
            << QStringList{"response:first"};
        QTest::newRow("silence gives an empty reply")
            << false << silence << Act::None << QStringList{"response:"};
        // Pieces that do not divide the cap, so some read reaches past it.
        QTest::newRow("a device that never stops is cut at the overall limit and capped")
            << false << ScriptedDevice::stream(QByteArray(3000, 'x'), 5) << Act::None
            << QStringList{"response:" + QString(SerialWorker::kReplyBufferCap, u'x')};
        QTest::newRow("a disconnect request during the identification query ends the update")
            << true << silence << Act::Disconnect
            << QStringList{"disconnected", "failed:串口未打开"};
        QTest::newRow("a port lost during the identification query stops before the start")
            << true << silence << Act::Unplug
            << QStringList{"error:串口错误", "failed:串口错误", "disconnected"};
        QTest::newRow("an abort ends a command's wait, the port open and no update abort recorded")
            << false << silence << Act::Abort << QStringList{"response:"};
        QTest::newRow("a disconnect request ends a command's wait without touching the old port")
            << false << silence << Act::Disconnect << QStringList{"disconnected", "response:"};
        QTest::newRow("a device unplugged during a command is lost once the command is answered")
            << false << silence << Act::Unplug
            << QStringList{"response:", "error:串口错误", "disconnected"};
    }
    void exchanges()
    {
        QFETCH(bool, update);
        QFETCH(Reply, reply);
        QFETCH(Act, action);
        QFETCH(QStringList, reports);
        Script script = scriptWith(reply, action != Act::Unplug);
        if (action == Act::Unplug)
            script.closeAt = ScriptedDevice::CloseAt::OnIdentification;
        Rig rig(script);
        rig.onDeviceEvent(QStringLiteral("identification"), [&rig, action] {
            if (action == Act::Abort)
                rig.worker.abort();
            else if (action == Act::Disconnect)
                rig.worker.disconnectPort();
        });
        update ? rig.worker.startUpdate(rig.writeImage(testImage(100))) : rig.send();
        QTest::qWait(kSettleMs);

        QVERIFY2(rig.reports() == reports, qPrintable(rig.trace.lines.join(u'|')));
        // The query or the command's seven bytes go out, nothing else (no start command).
        QCOMPARE(rig.device.received(), QByteArray(update ? "*idn?\r\n" : "*IDN?\r\n"));
        const bool closes = reports.contains(QStringLiteral("disconnected"));
        QCOMPARE(rig.worker.state(), closes ? SerialWorker::PortClosed : SerialWorker::Idle);
        QCOMPARE(rig.worker.port() && rig.worker.port()->isOpen(), !closes);
        QVERIFY(!Access::customCommandActive(rig.worker));
        QVERIFY(update || !Access::abortRequested(rig.worker));
    }

    void updateRequestedDuringACommandStartsRightAfterIt()
    {
        // The reply comes in two pieces; the update is requested once the first has been read, so
        // the command is still collecting when it arrives.
        Rig rig(scriptWith(ScriptedDevice::chunks({{0, "TM-1,"}, {300, "1.0.38\r\n"}}), false));
        const QString image = rig.writeImage(testImage(3000));
        QObject::connect(
            rig.worker.port(), &QSerialPort::readyRead, &rig.worker,
            [&rig, image, fired = false]() mutable {
                if (!std::exchange(fired, true))
                    rig.worker.startUpdate(image);
            },
            Qt::QueuedConnection);
        rig.send();
        QTRY_COMPARE_WITH_TIMEOUT(rig.trace.outcomes(), QStringList{"success"}, 10000);
        // The command is answered first, with what had arrived; then the whole update runs.
        QVERIFY(rig.trace.lines.first() == "response:TM-1," &&
                rig.trace.with("response:").size() == 1);
        QCOMPARE(rig.device.receiver().fileData(), testImage(3000));
    }
};

QTEST_GUILESS_MAIN(TstSerialWorker)
#include "tst_serialworker.moc"
