// The update from the request to the transfer against a scripted device: the checks, the
// identification query, the start command, the menu, the receiver's request, and every way the
// handshake can end.

#include "device/serialworker.h"
#include "scripteddevice.h"
#include "workertestaccess.h"

#include <QtTest>

#include <memory>

using namespace std::chrono_literals;
using Access = SerialWorkerTestAccess;
using Script = ScriptedDevice::Script;

namespace {

// What interrupts an update: the user's abort, a disconnect request, the cable pulled.
enum class Act { Abort, Disconnect, Unplug };

const QByteArray kMenuLine = ScriptedDevice::downloadLine();
const QString kCancelled = QStringLiteral("failed:用户取消更新");
const QString kWaitingLog = QStringLiteral("log:正在等待设备进入下载模式…");
// The time in which no further report may come after an update returned.
constexpr int kSettleMs = 50;
constexpr auto kShortHandshake = 300ms;

DeviceTimeouts testTimeouts()
{
    DeviceTimeouts t;
    t.handshake = 5000ms; // reached only where a test shortens it further
    t.replyOverall = 500ms;
    // The real quiet gap: a device streaming every 20 ms must never look paused, even when a
    // loaded machine lets its thread wait far longer than that between pieces.
    t.replyQuiet = 200ms;
    return t;
}

// A worker and a scripted device that follows the device contract.
struct Rig : WorkerRig<ScriptedDevice>
{
    explicit Rig(const Script &script = Script()) : WorkerRig(testTimeouts(), script) {}

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

    // Updates with image; returns the outcomes once no late report can come.
    QStringList update(const QByteArray &image, qint64 *elapsedMs = nullptr)
    {
        QElapsedTimer clock;
        clock.start();
        worker.startUpdate(writeImage(image));
        if (elapsedMs)
            *elapsedMs = clock.elapsed();
        QTest::qWait(kSettleMs);
        return trace.outcomes();
    }
};

// Feeds the reads to processResponse one by one, as handleReadyRead does, on a worker waiting
// for the bootloader; per read: "menu" (answered), "C" (transfer starts, reading stops) or "".
QStringList scan(const QList<QByteArray> &reads, qsizetype *largestBuffer = nullptr)
{
    ScriptedDevice device;
    SerialWorker worker;
    worker.setDebugMode(true);
    worker.connectToPort(device.portName());
    WorkerTrace trace(worker);
    worker.setState(SerialWorker::WaitingForBootloader);
    QStringList outcomes;
    for (const QByteArray &read : reads) {
        const qsizetype logsBefore = trace.lines.size();
        Access::setRxBuffer(worker, Access::rxBuffer(worker) + read);
        worker.processResponse();
        if (largestBuffer)
            *largestBuffer = qMax(*largestBuffer, Access::rxBuffer(worker).size());
        if (worker.state() == SerialWorker::Transferring)
            return outcomes << QStringLiteral("C");
        outcomes << (trace.lines.size() > logsBefore ? QStringLiteral("menu") : QString());
    }
    return outcomes;
}

} // namespace

class TstHandshake : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fullUpdateSucceedsWithItsLogLinesInOrder();
    void startCommandChoice_data();
    void startCommandChoice();
    void imageChecks_data();
    void imageChecks();
    void requestsTheWorkerRefuses();
    void interruptions_data();
    void interruptions();
    void noAnswer_data();
    void noAnswer();
    void realHandshakeLimitIsOneMinute();
    void scanning_data();
    void scanning();
    void chatterKeepsTheBufferBounded();
};

void TstHandshake::fullUpdateSucceedsWithItsLogLinesInOrder()
{
    Rig rig;
    rig.worker.setDebugMode(true);
    const QByteArray image = testImage(5000);
    rig.worker.startUpdate(rig.writeImage(image, QStringLiteral("固件 v2.bin")));

    QCOMPARE(rig.trace.outcomes(), QStringList{"success"});
    QCOMPARE(rig.trace.lines.mid(0, 6),
             (QStringList{"log:正在查询设备标识…", "log:*IDN? 响应：Orvane,TM-1,SN0001,1.0.38",
                          "log:已发送启动命令：*fwupd", kWaitingLog, "log:[DEBUG] 下载命令已发送",
                          "log:设备就绪，正在传输固件…"}));
    QCOMPARE(rig.device.events().mid(0, 5),
             (QStringList{"identification", "start:fwupd", "menu", "choice", "C:8"}));
    const YmodemReceiver receiver = rig.device.receiver();
    QCOMPARE(receiver.fileName(), QStringLiteral("固件 v2.bin").toUtf8());
    QCOMPARE(receiver.fileData(), image);
    QCOMPARE(rig.worker.state(), SerialWorker::Idle);
}

void TstHandshake::startCommandChoice_data()
{
    QTest::addColumn<ScriptedDevice::Reply>("identification");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QString>("replyLog");
    const QByteArray fwupd("*FWUPD\r\n");
    const QByteArray legacy = QByteArray::fromHex("5D0C2F7A19E4");
    const QString none = QStringLiteral("（无响应） —— 使用旧版启动命令");
    QTest::newRow("1.0.38 chooses *FWUPD")
        << ScriptedDevice::text("TM-1,1.0.38\r\n") << fwupd << "TM-1,1.0.38";
    QTest::newRow("silence chooses the legacy bytes")
        << ScriptedDevice::silence() << legacy << none;
    QTest::newRow("a reply that never pauses for the quiet gap counts as none")
        << ScriptedDevice::stream("TM-1,1.0.40,", 20) << legacy << none;
}

void TstHandshake::startCommandChoice()
{
    QFETCH(ScriptedDevice::Reply, identification);
    QFETCH(QByteArray, command);
    QFETCH(QString, replyLog);
    Script script;
    script.identification = identification;
    script.silentAfterStart = true;
    Rig rig(script);
    rig.onDeviceEvent(QStringLiteral("start:"), [&rig] { rig.worker.abort(); });

    // An abort during the wait for the bootloader ends the update; the port stays open.
    QCOMPARE(rig.update(testImage(100)), QStringList{kCancelled});
    QCOMPARE(rig.trace.lines.at(1), "log:*IDN? 响应：" + replyLog);
    // The query goes out in lower case, then the chosen start command on its own.
    QCOMPARE(rig.device.received(), "*idn?\r\n" + command);
    QCOMPARE(rig.worker.state(), SerialWorker::Idle);
    QCOMPARE(rig.trace.count("disconnected"), 0);
    QVERIFY(!Access::responseTimer(rig.worker)->isActive());
}

void TstHandshake::imageChecks_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("maxFirmwareSize");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("237440 bytes, the bootloader's limit, are sent whole")
        << SerialWorker::kBootloaderMaxImage << 2097152 << "success";
    QTest::newRow("237441 bytes are refused with both numbers")
        << 237441 << 2097152
        << "failed:固件为 237441 字节；bootloader 最多只能写入 237440 字节（App 区 "
           "0x08004000-0x0803DFFF，最后一个可编程字节 0x0803DFFE）";
    QTest::newRow("the configured limit refuses before the bootloader's")
        << 237441 << 237440 << "failed:固件文件超出大小限制";
    QTest::newRow("an empty file is refused") << 0 << 2097152 << "failed:固件文件为空";
    QTest::newRow("a missing file is refused") << -1 << 2097152 << "failed:无法打开固件文件";
}

void TstHandshake::imageChecks()
{
    QFETCH(int, size);
    QFETCH(int, maxFirmwareSize);
    QFETCH(QString, outcome);
    Rig rig;
    rig.worker.setMaxFirmwareSize(maxFirmwareSize);
    rig.worker.startUpdate(size < 0 ? rig.dir.filePath("missing.bin")
                                    : rig.writeImage(testImage(size)));

    QCOMPARE(rig.worker.state(), SerialWorker::Idle);
    QCOMPARE(rig.trace.outcomes(), QStringList{outcome});
    if (outcome != QLatin1String("success")) {
        QCOMPARE(rig.trace.lines, QStringList{outcome}); // refused before anything is sent
        QVERIFY(!rig.device.waitForReceivedCount(1, kSettleMs));
    }
}

void TstHandshake::requestsTheWorkerRefuses()
{
    SerialWorker closed;
    WorkerTrace closedTrace(closed);
    closed.startUpdate(QStringLiteral("/nonexistent/app.bin"));
    QCOMPARE(closedTrace.lines, QStringList{"failed:串口未打开"});

    // A second request delivered inside a running update's wait is refused; the first goes on.
    Script script;
    script.silentAfterStart = true;
    Rig rig(script);
    const QString path = rig.writeImage(testImage(100));
    rig.onDeviceEvent(QStringLiteral("start:"), [&rig, path] {
        rig.worker.startUpdate(path);
        rig.worker.abort();
    });
    rig.worker.startUpdate(path);
    QCOMPARE(rig.trace.outcomes(), (QStringList{"failed:设备未连接", kCancelled}));
    QCOMPARE(rig.device.countEvents(QStringLiteral("identification")), 1);
}

void TstHandshake::interruptions_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<Act>("action");
    QTest::addColumn<QString>("outcome");
    const QString closed = QStringLiteral("failed:串口未打开");
    const QString portError = QStringLiteral("failed:串口错误：");
    QTest::newRow("an abort during the identification query ends at once, before the start")
        << "identification" << Act::Abort << kCancelled;
    QTest::newRow("a disconnect request during the identification query ends the update")
        << "identification" << Act::Disconnect << closed;
    QTest::newRow("a port lost during the identification query stops before the start command")
        << "identification" << Act::Unplug << portError;
    QTest::newRow("a port lost while waiting for the receiver ends with the port error")
        << "choice" << Act::Unplug << portError;
}

void TstHandshake::interruptions()
{
    QFETCH(QString, event);
    QFETCH(Act, action);
    QFETCH(QString, outcome);
    using CloseAt = ScriptedDevice::CloseAt;
    Script script;
    script.silentAfterStart = action != Act::Unplug;
    if (event == QLatin1String("identification"))
        script.identification = ScriptedDevice::silence();
    if (action == Act::Unplug) {
        script.closeAt = event == QLatin1String("identification") ? CloseAt::OnIdentification
                                                                  : CloseAt::OnMenuChoice;
    }
    Rig rig(script);
    if (action != Act::Unplug) {
        rig.onDeviceEvent(event, [&rig, action] {
            action == Act::Abort ? rig.worker.abort() : rig.worker.disconnectPort();
        });
    }

    qint64 elapsed = 0;
    const QStringList outcomes = rig.update(testImage(100), &elapsed);
    QVERIFY2(outcomes.size() == 1 && outcomes.first().startsWith(outcome),
             qPrintable(rig.trace.lines.join(u'|')));
    if (action == Act::Unplug) {
        // The one port error, later the failure with its text, then the port is closed.
        const QStringList errors = rig.trace.with("error:");
        QCOMPARE(errors.size(), 1);
        QCOMPARE(rig.trace.lines.last(2),
                 (QStringList{"failed:" + errors.first().section(u'（', 0, 0), "disconnected"}));
    }
    const bool closes = action != Act::Abort;
    QCOMPARE(rig.trace.count("disconnected"), closes ? 1 : 0);
    QCOMPARE(rig.worker.state(), closes ? SerialWorker::PortClosed : SerialWorker::Idle);
    QCOMPARE(rig.worker.port() && rig.worker.port()->isOpen(), !closes);
    // Interrupted during the query, the start command is not sent and the wait ends at once.
    const bool duringQuery = event == QLatin1String("identification");
    QCOMPARE(rig.trace.lines.contains(kWaitingLog), !duringQuery);
    if (duringQuery)
        QVERIFY2(elapsed < testTimeouts().replyOverall.count(),
                 qPrintable(QString::number(elapsed)));
}

void TstHandshake::noAnswer_data()
{
    QTest::addColumn<int>("responseTimerMs");
    QTest::newRow("both limits run out together") << -1;
    QTest::newRow("the response timer runs out first") << 100;
    QTest::newRow("the handshake clock runs out first (the timer stopped)") << 0;
}

void TstHandshake::noAnswer()
{
    QFETCH(int, responseTimerMs);
    Script script;
    script.silentAfterStart = true;
    Rig rig(script);
    DeviceTimeouts t = testTimeouts();
    t.handshake = kShortHandshake;
    rig.worker.setTimeoutsForTesting(t);
    // Moves the response timer, inside the wait: 0 stops it, so only the clock is left.
    QElapsedTimer sinceStart;
    rig.onDeviceEvent(QStringLiteral("start:"), [&rig, &sinceStart, responseTimerMs] {
        sinceStart.start();
        QTimer *timer = Access::responseTimer(rig.worker);
        if (responseTimerMs == 0)
            timer->stop();
        else if (responseTimerMs > 0)
            timer->start(responseTimerMs);
    });

    QCOMPARE(rig.update(testImage(100)), QStringList{"failed:设备响应超时"});
    const qint64 limit = responseTimerMs > 0 ? responseTimerMs : kShortHandshake.count();
    QVERIFY2(sinceStart.isValid() && sinceStart.elapsed() >= limit - 20,
             qPrintable(QString::number(sinceStart.elapsed())));
    QCOMPARE(rig.worker.state(), SerialWorker::Idle);
    QCOMPARE(rig.trace.count("disconnected"), 0);
}

void TstHandshake::realHandshakeLimitIsOneMinute()
{
    Script script;
    script.silentAfterStart = true;
    Rig rig(script);
    rig.worker.setTimeoutsForTesting(DeviceTimeouts());
    int remaining = -1;
    rig.onDeviceEvent(QStringLiteral("start:"), [&] {
        remaining = Access::responseTimer(rig.worker)->remainingTime();
        rig.worker.abort();
    });
    QCOMPARE(rig.update(testImage(100)), QStringList{kCancelled});
    QVERIFY2(remaining > 59000 && remaining <= 60000, qPrintable(QString::number(remaining)));
}

void TstHandshake::scanning_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QStringList>("outcomes");
    const QByteArray line = kMenuLine;
    const QString menu = QStringLiteral("menu");
    const QString run = QStringLiteral("C");
    const QString none;
    QTest::newRow("the menu line in three reads is answered when complete")
        << QList<QByteArray>{line.left(10), line.mid(10, 30), line.mid(40)}
        << QStringList{none, none, menu};
    QTest::newRow("the menu line whose last LF comes on its own after other text is answered")
        << QList<QByteArray>{"xx" + line.chopped(1), "\n"} << QStringList{none, menu};
    QTest::newRow("the menu line without its last LF is not recognised")
        << QList<QByteArray>{line.chopped(1) + "\r\n"} << QStringList{none};
    QTest::newRow("seven C's wait for an eighth in a later read")
        << QList<QByteArray>{"CCC", "CCCC", "C"} << QStringList{none, none, run};
    QTest::newRow("a run broken by another byte starts again")
        << QList<QByteArray>{"CCCC", "xCCCC", "CCC", "C"} << QStringList{none, none, none, run};
    QTest::newRow("a menu line with C's after it in the same read is answered first")
        << QList<QByteArray>{line + "CCCCCCCC", "C"} << QStringList{menu, none};
    QTest::newRow("answering the menu forgets the C's seen before it")
        << QList<QByteArray>{"CCCCCCC", line, "C", "CCCCCCC"} << QStringList{none, menu, none, run};
}

void TstHandshake::scanning()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QStringList, outcomes);
    QCOMPARE(scan(reads), outcomes);
}

void TstHandshake::chatterKeepsTheBufferBounded()
{
    // 4 MiB of text without a menu line or a run of C's, then the menu line across two reads.
    const QByteArray chatter = QByteArray("Checking flash ... C CC CCCCCCC ok\r\n").repeated(100);
    QList<QByteArray> reads(1000, chatter);
    reads << chatter + kMenuLine.left(20) << kMenuLine.mid(20);
    qsizetype largest = 0;
    QCOMPARE(scan(reads, &largest), QStringList(1001, QString()) << QStringLiteral("menu"));
    QVERIFY2(largest < kMenuLine.size(), qPrintable(QString::number(largest)));
}

QTEST_GUILESS_MAIN(TstHandshake)
#include "tst_handshake.moc"
