#include "device/serialworker.h"
#include "scripteddevice.h"
#include "workertestaccess.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

const QByteArray kMenuLine = ScriptedDevice::downloadLine();
const QString kDebugChoice = QStringLiteral("log:[DEBUG] 下载命令已发送");
const QString kCancelled = QStringLiteral("failed:用户取消更新");
const QString kTimedOut = QStringLiteral("failed:设备响应超时");
const QString kLegacyLog = QStringLiteral("log:已发送启动命令：5d 0c 2f 7a 19 e4");
const QString kFwupdLog = QStringLiteral("log:已发送启动命令：*fwupd");
const QString kNoReplyLog = QStringLiteral("log:*IDN? 响应：（无响应） —— 使用旧版启动命令");

// The handshake limit for tests that wait it out, and for the others (never reached).
constexpr auto kShortHandshake = 300ms;
constexpr auto kTestHandshake = 5000ms;
// Bound for waits on things that happen at once, and the settle time in which no further
// report may come.
constexpr int kPromptMs = 3000;
constexpr int kSettleMs = 50;

DeviceTimeouts testTimeouts()
{
    DeviceTimeouts t;
    t.handshake = kTestHandshake;
    // The query's quiet gap is shortened too; its real length is the console tests' concern.
    t.replyOverall = 500ms;
    t.replyQuiet = 80ms;
    return t;
}

QByteArray imageOf(int size)
{
    QByteArray image(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (char &byte : image)
        byte = char(generator.bounded(256));
    return image;
}

// A scripted device and a worker on the test thread (its waits serve the device's replies and
// the calls the device queues), with every worker signal recorded in order.
struct Rig
{
    explicit Rig(const ScriptedDevice::Script &script = ScriptedDevice::Script()) : device(script)
    {
        worker.setTimeoutsForTesting(testTimeouts());
        QObject::connect(&worker, &SerialWorker::logMessage, &worker,
                         [this](const QString &m) { trace << QStringLiteral("log:") + m; });
        QObject::connect(&worker, &SerialWorker::updateFailed, &worker,
                         [this](const QString &r) { trace << QStringLiteral("failed:") + r; });
        QObject::connect(&worker, &SerialWorker::updateSuccess, &worker,
                         [this] { trace << QStringLiteral("success"); });
        QObject::connect(&worker, &SerialWorker::errorOccurred, &worker,
                         [this](const QString &e) { trace << QStringLiteral("error:") + e; });
        QObject::connect(&worker, &SerialWorker::disconnected, &worker,
                         [this] { trace << QStringLiteral("disconnected"); });
        worker.connectToPort(device.portName());
    }

    QString writeImage(const QByteArray &image, const QString &name = QStringLiteral("app.bin"))
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
            return QString();
        return path;
    }

    // Runs fn on the worker (inside its waits) when the device records the event.
    void onDeviceEvent(const QString &prefix, std::function<void()> fn)
    {
        device.setEventHook([this, prefix, fn](ScriptedDevice &, const QString &event) {
            if (event.startsWith(prefix))
                QMetaObject::invokeMethod(&worker, fn, Qt::QueuedConnection);
        });
    }

    // The outcome reports ("success" and "failed:..."), after a moment in which no late report
    // (a stray timer, a queued call) may arrive.
    QStringList outcomes()
    {
        QTest::qWait(kSettleMs);
        QStringList out;
        for (const QString &entry : trace) {
            if (entry == QLatin1String("success") || entry.startsWith(QLatin1String("failed:")))
                out << entry;
        }
        return out;
    }

    QStringList entries(const QString &prefix) const
    {
        QStringList out;
        for (const QString &entry : trace) {
            if (entry.startsWith(prefix))
                out << entry;
        }
        return out;
    }

    QTemporaryDir dir;
    ScriptedDevice device;
    SerialWorker worker;
    QStringList trace;
};

// The handshake's reading rule applied the plain way: the whole buffer looked at on every read.
// Returns, per read, "menu", "C" or "" (stops after "C", as the transfer takes over).
QStringList plainRule(const QList<QByteArray> &reads)
{
    QByteArray buffer;
    QStringList outcomes;
    for (const QByteArray &read : reads) {
        buffer += read;
        if (QString::fromUtf8(buffer).contains(QString::fromLatin1(kMenuLine))) {
            outcomes << QStringLiteral("menu");
            buffer.clear();
        } else if (buffer.contains("CCCCCCCC")) {
            outcomes << QStringLiteral("C");
            break;
        } else {
            outcomes << QString();
        }
    }
    return outcomes;
}

} // namespace

// The update from the request to the transfer against a scripted device: checks, the
// identification query, the start command, the menu, the receiver's request, and every way the
// handshake can end.
class TstHandshake : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A whole update.
    void fullUpdate_data();
    void fullUpdate();
    void receiverAlreadyWaitingNeedsNoChoice();
    void sevenCsWaitForAnEighth();
    void menuPrintedTwiceIsAnsweredTwice();

    // The start command chosen from the identification reply.
    void startCommandChoice_data();
    void startCommandChoice();

    // Checks before anything is sent.
    void imageChecks_data();
    void imageChecks();
    void largestImageIsSent();
    void requestsTheWorkerRefuses();

    // Ending early.
    void abortDuringQuery();
    void abortDuringWait();
    void portLost_data();
    void portLost();
    void disconnectRequest_data();
    void disconnectRequest();
    void noAnswer_data();
    void noAnswer();
    void realHandshakeLimitIsOneMinute();

    // Reading the bootloader's output.
    void scanning_data();
    void scanning();
    void scanningMatchesPlainRuleOnRandomReads();
    void chatterKeepsBufferBounded();
};

void TstHandshake::fullUpdate_data()
{
    QTest::addColumn<QByteArray>("identification");
    QTest::addColumn<QString>("startEvent");
    QTest::addColumn<QString>("commandLog");

    QTest::newRow("a 1.0.38 application is updated through *FWUPD")
        << QByteArray("Orvane,TM-1,SN0001,1.0.38\r\n") << QStringLiteral("start:fwupd")
        << kFwupdLog;
    QTest::newRow("a 1.0.37 application is updated through the legacy bytes")
        << QByteArray("Orvane,TM-1,SN0001,1.0.37\r\n") << QStringLiteral("start:legacy")
        << kLegacyLog;
}

void TstHandshake::fullUpdate()
{
    QFETCH(QByteArray, identification);
    QFETCH(QString, startEvent);
    QFETCH(QString, commandLog);
    ScriptedDevice::Script script;
    script.identification = ScriptedDevice::text(identification);
    Rig rig(script);
    rig.worker.setDebugMode(true);
    const QByteArray image = imageOf(5000);
    const QString path = rig.writeImage(image, QStringLiteral("固件 v2.bin"));

    rig.worker.startUpdate(path);

    QCOMPARE(rig.outcomes(), QStringList{QStringLiteral("success")});
    const QStringList expectedStart{
        QStringLiteral("log:正在查询设备标识…"),
        QStringLiteral("log:*IDN? 响应：") + QString::fromUtf8(identification).trimmed(),
        commandLog,
        QStringLiteral("log:正在等待设备进入下载模式…"),
        kDebugChoice,
        QStringLiteral("log:设备就绪，正在传输固件…"),
    };
    QCOMPARE(rig.trace.mid(0, expectedStart.size()), expectedStart);
    const QStringList events = rig.device.events();
    QCOMPARE(events.mid(0, 5),
             (QStringList{QStringLiteral("identification"), startEvent, QStringLiteral("menu"),
                          QStringLiteral("choice"), QStringLiteral("C:8")}));
    QVERIFY(events.contains(QStringLiteral("finished")));
    const YmodemReceiver receiver = rig.device.receiver();
    QVERIFY2(!receiver.failed(), qPrintable(receiver.error()));
    QCOMPARE(receiver.fileName(), QStringLiteral("固件 v2.bin").toUtf8());
    QCOMPARE(receiver.fileData(), image);
    QCOMPARE(rig.worker.state(), SerialWorker::Idle);
    QVERIFY(!SerialWorkerTestAccess::updateInProgress(rig.worker));
}

void TstHandshake::receiverAlreadyWaitingNeedsNoChoice()
{
    ScriptedDevice::Script script;
    script.receiverWaiting = true;
    Rig rig(script);
    rig.worker.setDebugMode(true);
    rig.worker.startUpdate(rig.writeImage(imageOf(3000)));

    QCOMPARE(rig.outcomes(), QStringList{QStringLiteral("success")});
    QVERIFY(!rig.trace.contains(kDebugChoice));
    const QStringList events = rig.device.events();
    QVERIFY(!events.contains(QStringLiteral("menu")));
    QVERIFY(!events.contains(QStringLiteral("choice")));
    QCOMPARE(rig.device.receiver().fileData(), imageOf(3000));
}

void TstHandshake::sevenCsWaitForAnEighth()
{
    ScriptedDevice::Script script;
    script.cRunSplitAt = 7;
    script.cRunSplitDelayMs = 300;
    Rig rig(script);
    rig.worker.startUpdate(rig.writeImage(imageOf(2000)));

    QCOMPARE(rig.outcomes(), QStringList{QStringLiteral("success")});
    const QStringList events = rig.device.events();
    const qsizetype seven = events.indexOf(QStringLiteral("C:7"));
    const qsizetype eighth = events.indexOf(QStringLiteral("C:1"));
    const qsizetype header = events.indexOf(QStringLiteral("block:0"));
    QVERIFY2(seven >= 0 && seven < eighth && eighth < header, qPrintable(events.join(u' ')));
}

void TstHandshake::menuPrintedTwiceIsAnsweredTwice()
{
    ScriptedDevice::Script script;
    script.menuCount = 2;
    Rig rig(script);
    rig.worker.setDebugMode(true);
    rig.worker.startUpdate(rig.writeImage(imageOf(2000)));

    QCOMPARE(rig.outcomes(), QStringList{QStringLiteral("success")});
    QCOMPARE(rig.device.countEvents(QStringLiteral("menu")), 2);
    QCOMPARE(rig.device.countEvents(QStringLiteral("choice")), 2);
    QCOMPARE(rig.trace.count(kDebugChoice), 2);
}

void TstHandshake::startCommandChoice_data()
{
    QTest::addColumn<ScriptedDevice::Reply>("identification");
    QTest::addColumn<QString>("startEvent");
    QTest::addColumn<QString>("replyLog");

    auto text = [](const char *reply) { return ScriptedDevice::text(reply); };
    auto logOf = [](const QString &reply) { return QStringLiteral("log:*IDN? 响应：") + reply; };
    const QString fwupd = QStringLiteral("start:fwupd");
    const QString legacy = QStringLiteral("start:legacy");

    QTest::newRow("1.0.38 chooses *FWUPD")
        << text("TM-1,1.0.38\r\n") << fwupd << logOf(QStringLiteral("TM-1,1.0.38"));
    QTest::newRow("1.1.0.0 chooses *FWUPD")
        << text("TM-1,1.1.0.0\r\n") << fwupd << logOf(QStringLiteral("TM-1,1.1.0.0"));
    QTest::newRow("1.0.37 chooses the legacy bytes")
        << text("TM-1,1.0.37\r\n") << legacy << logOf(QStringLiteral("TM-1,1.0.37"));
    QTest::newRow("2.3.4 chooses the legacy bytes")
        << text("TM-1,2.3.4\r\n") << legacy << logOf(QStringLiteral("TM-1,2.3.4"));
    QTest::newRow("3.0.50.1 chooses the legacy bytes")
        << text("TM-1,3.0.50.1\r\n") << legacy << logOf(QStringLiteral("TM-1,3.0.50.1"));
    QTest::newRow("a serial number 1.2.3 before a comma outranks a later 1.0.40")
        << text("TM-1,1.2.3,1.0.40\r\n") << legacy << logOf(QStringLiteral("TM-1,1.2.3,1.0.40"));
    QTest::newRow("1.0.40-beta chooses the legacy bytes")
        << text("TM-1,1.0.40-beta\r\n") << legacy << logOf(QStringLiteral("TM-1,1.0.40-beta"));
    QTest::newRow("a two-line reply chooses the legacy bytes")
        << text("TM-1,1.0.40\r\nready\r\n") << legacy
        << logOf(QStringLiteral("TM-1,1.0.40\r\nready"));
    QTest::newRow("silence chooses the legacy bytes")
        << ScriptedDevice::silence() << legacy << kNoReplyLog;
    QTest::newRow("white space chooses the legacy bytes")
        << text(" \t\r\n") << legacy << kNoReplyLog;
    QTest::newRow("a reply that never pauses counts as none")
        << ScriptedDevice::stream("TM-1,1.0.40,", 20) << legacy << kNoReplyLog;
}

void TstHandshake::startCommandChoice()
{
    QFETCH(ScriptedDevice::Reply, identification);
    QFETCH(QString, startEvent);
    QFETCH(QString, replyLog);
    ScriptedDevice::Script script;
    script.identification = identification;
    script.silentAfterStart = true;
    Rig rig(script);
    rig.onDeviceEvent(QStringLiteral("start:"), [&rig] { rig.worker.abort(); });

    rig.worker.startUpdate(rig.writeImage(imageOf(100)));

    QCOMPARE(rig.outcomes(), QStringList{kCancelled});
    const QStringList events = rig.device.events();
    QCOMPARE(events.count(QStringLiteral("identification")), 1);
    QVERIFY2(events.contains(startEvent), qPrintable(events.join(u' ')));
    QVERIFY(!events.contains(startEvent == QLatin1String("start:fwupd")
                                 ? QStringLiteral("start:legacy")
                                 : QStringLiteral("start:fwupd")));
    QCOMPARE(rig.trace.at(1), replyLog);
    QCOMPARE(rig.trace.at(2), startEvent == QLatin1String("start:fwupd") ? kFwupdLog : kLegacyLog);
    // The query went out in lower case, the start command on its own.
    const QByteArray wire = rig.device.received();
    QVERIFY(wire.startsWith("*idn?\r\n"));
    QCOMPARE(wire.mid(7), startEvent == QLatin1String("start:fwupd")
                              ? QByteArray("*FWUPD\r\n")
                              : ScriptedDevice::legacyStartCommand());
}

void TstHandshake::imageChecks_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("maxFirmwareSize");
    QTest::addColumn<QString>("reason");

    QTest::newRow("237441 bytes are refused with both numbers")
        << 237441 << 2097152
        << QStringLiteral("固件为 237441 字节；bootloader 最多只能写入 237440 字节（App 区 "
                          "0x08004000-0x0803DFFF，最后一个可编程字节 0x0803DFFE）");
    QTest::newRow("the configured limit refuses before the bootloader limit")
        << 237441 << 237440 << QStringLiteral("固件文件超出大小限制");
    QTest::newRow("one byte over the window's 231 KiB is refused")
        << 236545 << 236544 << QStringLiteral("固件文件超出大小限制");
    QTest::newRow("a 3 MiB file is refused by the configured limit")
        << 3 * 1024 * 1024 << 2097152 << QStringLiteral("固件文件超出大小限制");
    QTest::newRow("an empty file is refused") << 0 << 2097152 << QStringLiteral("固件文件为空");
    QTest::newRow("a missing file is refused")
        << -1 << 2097152 << QStringLiteral("无法打开固件文件");
}

void TstHandshake::imageChecks()
{
    QFETCH(int, size);
    QFETCH(int, maxFirmwareSize);
    QFETCH(QString, reason);
    Rig rig;
    rig.worker.setMaxFirmwareSize(maxFirmwareSize);
    const QString path = size < 0 ? rig.dir.filePath(QStringLiteral("missing.bin"))
                                  : rig.writeImage(QByteArray(size, '\x5a'));

    rig.worker.startUpdate(path);

    QCOMPARE(rig.outcomes(), QStringList{QStringLiteral("failed:") + reason});
    QCOMPARE(rig.worker.state(), SerialWorker::Idle);
    QVERIFY(rig.entries(QStringLiteral("log:")).isEmpty());
    QVERIFY(!rig.device.waitForReceivedCount(1, kSettleMs));
}

void TstHandshake::largestImageIsSent()
{
    Rig rig;
    const QByteArray image = imageOf(SerialWorker::kBootloaderMaxImage);
    rig.worker.setMaxFirmwareSize(SerialWorker::kBootloaderMaxImage);
    rig.worker.startUpdate(rig.writeImage(image));

    QCOMPARE(rig.outcomes(), QStringList{QStringLiteral("success")});
    QCOMPARE(rig.device.receiver().declaredSize(), 237440);
    QCOMPARE(rig.device.receiver().fileData(), image);
}

void TstHandshake::requestsTheWorkerRefuses()
{
    {
        SerialWorker worker;
        QSignalSpy failed(&worker, &SerialWorker::updateFailed);
        QVERIFY(failed.isValid());
        worker.startUpdate(QStringLiteral("/nonexistent/app.bin"));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("串口未打开"));
    }

    // A second request delivered inside a running update's wait is refused; the first goes on.
    ScriptedDevice::Script script;
    script.silentAfterStart = true;
    Rig rig(script);
    const QString path = rig.writeImage(imageOf(100));
    rig.onDeviceEvent(QStringLiteral("start:"), [&rig, path] {
        rig.worker.startUpdate(path);
        rig.worker.abort();
    });
    rig.worker.startUpdate(path);
    QCOMPARE(rig.outcomes(), (QStringList{QStringLiteral("failed:设备未连接"), kCancelled}));
    QCOMPARE(rig.device.countEvents(QStringLiteral("identification")), 1);
}

void TstHandshake::abortDuringQuery()
{
    ScriptedDevice::Script script;
    script.identification = ScriptedDevice::silence();
    Rig rig(script);
    rig.onDeviceEvent(QStringLiteral("identification"), [&rig] { rig.worker.abort(); });

    QElapsedTimer clock;
    clock.start();
    rig.worker.startUpdate(rig.writeImage(imageOf(100)));

    QVERIFY2(clock.elapsed() < testTimeouts().replyOverall.count(),
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(rig.outcomes(), QStringList{kCancelled});
    QVERIFY(rig.trace.contains(kLegacyLog));
    QVERIFY(!rig.trace.contains(QStringLiteral("log:正在等待设备进入下载模式…")));
    QCOMPARE(rig.device.received(), QByteArray("*idn?\r\n"));
    QCOMPARE(rig.worker.state(), SerialWorker::Idle);
    QVERIFY(rig.worker.port()->isOpen());
    QVERIFY(!SerialWorkerTestAccess::customCommandActive(rig.worker));
}

void TstHandshake::abortDuringWait()
{
    ScriptedDevice::Script script;
    script.silentAfterStart = true;
    Rig rig(script);
    rig.onDeviceEvent(QStringLiteral("start:"), [&rig] { rig.worker.abort(); });

    rig.worker.startUpdate(rig.writeImage(imageOf(100)));

    QCOMPARE(rig.outcomes(), QStringList{kCancelled});
    QCOMPARE(rig.worker.state(), SerialWorker::Idle);
    QVERIFY(rig.entries(QStringLiteral("disconnected")).isEmpty());
    QVERIFY(!SerialWorkerTestAccess::responseTimerActive(rig.worker));
    QVERIFY(SerialWorkerTestAccess::rxBuffer(rig.worker).isEmpty());
}

void TstHandshake::portLost_data()
{
    QTest::addColumn<ScriptedDevice::CloseAt>("closeAt");
    QTest::addColumn<bool>("startCommandWritten");

    QTest::newRow("a port lost during the identification query stops before the start command")
        << ScriptedDevice::CloseAt::OnIdentification << false;
    QTest::newRow("a port lost while waiting for the menu ends the update")
        << ScriptedDevice::CloseAt::OnStartCommand << true;
    QTest::newRow("a port lost while waiting for the receiver ends the update")
        << ScriptedDevice::CloseAt::OnMenuChoice << true;
}

void TstHandshake::portLost()
{
    QFETCH(ScriptedDevice::CloseAt, closeAt);
    QFETCH(bool, startCommandWritten);
    ScriptedDevice::Script script;
    script.closeAt = closeAt;
    Rig rig(script);

    rig.worker.startUpdate(rig.writeImage(imageOf(100)));

    const QStringList outcomes = rig.outcomes();
    QCOMPARE(outcomes.size(), 1);
    const QStringList errors = rig.entries(QStringLiteral("error:"));
    QVERIFY2(errors.size() == 1, qPrintable(rig.trace.join(u'|')));
    QVERIFY2(errors.first().startsWith(QStringLiteral("error:串口错误：")),
             qPrintable(errors.first()));
    // The failure carries the port error's text, then the port is closed once.
    QCOMPARE(outcomes.first(), QStringLiteral("failed:") + errors.first().mid(6));
    QVERIFY(rig.trace.indexOf(errors.first()) < rig.trace.indexOf(outcomes.first()));
    QCOMPARE(rig.entries(QStringLiteral("disconnected")).size(), 1);
    QCOMPARE(rig.trace.last(), QStringLiteral("disconnected"));
    QCOMPARE(rig.worker.state(), SerialWorker::PortClosed);
    QCOMPARE(rig.trace.contains(QStringLiteral("log:正在等待设备进入下载模式…")),
             startCommandWritten);
}

void TstHandshake::disconnectRequest_data()
{
    QTest::addColumn<QString>("deviceEvent");

    QTest::newRow("a disconnect request during the identification query ends the update")
        << QStringLiteral("identification");
    QTest::newRow("a disconnect request while waiting for the bootloader ends the update")
        << QStringLiteral("start:");
}

void TstHandshake::disconnectRequest()
{
    QFETCH(QString, deviceEvent);
    ScriptedDevice::Script script;
    script.identification = ScriptedDevice::silence();
    script.silentAfterStart = true;
    Rig rig(script);
    rig.onDeviceEvent(deviceEvent, [&rig] { rig.worker.disconnectPort(); });

    rig.worker.startUpdate(rig.writeImage(imageOf(100)));

    QCOMPARE(rig.outcomes(), QStringList{QStringLiteral("failed:串口未打开")});
    QCOMPARE(rig.entries(QStringLiteral("disconnected")).size(), 1);
    QCOMPARE(rig.worker.state(), SerialWorker::PortClosed);
    QCOMPARE(rig.worker.port(), nullptr);
}

void TstHandshake::noAnswer_data()
{
    QTest::addColumn<int>("responseTimerMs");

    QTest::newRow("both limits run out together") << -1;
    QTest::newRow("the response timer runs out first") << 100;
    QTest::newRow("the handshake clock runs out first") << 0;
}

void TstHandshake::noAnswer()
{
    QFETCH(int, responseTimerMs);
    ScriptedDevice::Script script;
    script.silentAfterStart = true;
    Rig rig(script);
    DeviceTimeouts t = testTimeouts();
    t.handshake = kShortHandshake;
    rig.worker.setTimeoutsForTesting(t);
    // Moves the response timer, inside the wait: 0 stops it, so only the clock is left.
    QElapsedTimer sinceStart;
    rig.onDeviceEvent(QStringLiteral("start:"), [&rig, &sinceStart, responseTimerMs] {
        sinceStart.start();
        QTimer *timer = SerialWorkerTestAccess::responseTimer(rig.worker);
        if (responseTimerMs == 0)
            timer->stop();
        else if (responseTimerMs > 0)
            timer->start(responseTimerMs);
    });

    rig.worker.startUpdate(rig.writeImage(imageOf(100)));

    QCOMPARE(rig.outcomes(), QStringList{kTimedOut});
    QVERIFY(sinceStart.isValid());
    const qint64 limit = responseTimerMs > 0 ? responseTimerMs : kShortHandshake.count();
    QVERIFY2(sinceStart.elapsed() >= limit - 20, qPrintable(QString::number(sinceStart.elapsed())));
    QCOMPARE(rig.worker.state(), SerialWorker::Idle);
    QVERIFY(SerialWorkerTestAccess::rxBuffer(rig.worker).isEmpty());
    QVERIFY(rig.entries(QStringLiteral("disconnected")).isEmpty());
}

void TstHandshake::realHandshakeLimitIsOneMinute()
{
    ScriptedDevice::Script script;
    script.silentAfterStart = true;
    Rig rig(script);
    rig.worker.setTimeoutsForTesting(DeviceTimeouts());
    QCOMPARE(rig.worker.timeouts().handshake, 60000ms);

    bool active = false;
    int interval = 0;
    int remaining = 0;
    rig.onDeviceEvent(QStringLiteral("start:"), [&] {
        QTimer *timer = SerialWorkerTestAccess::responseTimer(rig.worker);
        active = timer->isActive();
        interval = timer->interval();
        remaining = timer->remainingTime();
        rig.worker.abort();
    });
    rig.worker.startUpdate(rig.writeImage(imageOf(100)));

    QCOMPARE(rig.outcomes(), QStringList{kCancelled});
    QVERIFY(active);
    QCOMPARE(interval, 60000);
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

    QTest::newRow("the menu line in one read is answered")
        << QList<QByteArray>{"Main Menu\r\n  " + line} << QStringList{menu};
    QTest::newRow("the menu line in three reads is answered when complete")
        << QList<QByteArray>{line.left(10), line.mid(10, 30), line.mid(40)}
        << QStringList{none, none, menu};
    QTest::newRow("the menu line without its last LF is not recognised")
        << QList<QByteArray>{line.chopped(1) + "\r\n"} << QStringList{none};
    QTest::newRow("the menu line in other capitals is not recognised")
        << QList<QByteArray>{line.toUpper()} << QStringList{none};
    QTest::newRow("eight C's in one read start the transfer")
        << QList<QByteArray>{"\r\nCCCCCCCC"} << QStringList{run};
    QTest::newRow("seven C's wait for an eighth in a later read")
        << QList<QByteArray>{"CCC", "CCCC", "C"} << QStringList{none, none, run};
    QTest::newRow("a run broken by another byte starts again")
        << QList<QByteArray>{"CCCC", "xCCCC", "CCC", "C"} << QStringList{none, none, none, run};
    QTest::newRow("a menu line with C's after it in the same read is answered first")
        << QList<QByteArray>{line + "CCCCCCCC", "C"} << QStringList{menu, none};
    QTest::newRow("answering the menu forgets the C's seen before it")
        << QList<QByteArray>{"CCCCCCC", line, "C", "CCCCCCC"} << QStringList{none, menu, none, run};
    QTest::newRow("a menu printed twice is answered twice")
        << QList<QByteArray>{line, "x", line} << QStringList{menu, none, menu};
}

// Drives processResponse read by read, as handleReadyRead does, on a worker whose menu answer
// reaches a (silent) device.
static QStringList scanWithWorker(const QList<QByteArray> &reads)
{
    ScriptedDevice::Script script;
    script.identification = ScriptedDevice::silence();
    ScriptedDevice device(script);
    SerialWorker worker;
    worker.setDebugMode(true);
    worker.connectToPort(device.portName());
    QSignalSpy logs(&worker, &SerialWorker::logMessage);
    worker.setState(SerialWorker::WaitingForBootloader);

    QStringList outcomes;
    for (const QByteArray &read : reads) {
        const qsizetype logsBefore = logs.size();
        SerialWorkerTestAccess::setRxBuffer(worker,
                                            SerialWorkerTestAccess::rxBuffer(worker) + read);
        worker.processResponse();
        if (worker.state() == SerialWorker::Transferring) {
            outcomes << QStringLiteral("C");
            break;
        }
        outcomes << (logs.size() > logsBefore ? QStringLiteral("menu") : QString());
    }
    return outcomes;
}

void TstHandshake::scanning()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QStringList, outcomes);
    QCOMPARE(plainRule(reads), outcomes); // the table itself states the plain rule
    QCOMPARE(scanWithWorker(reads), outcomes);
}

void TstHandshake::scanningMatchesPlainRuleOnRandomReads()
{
    // Output made of the pieces that matter, cut into reads at random places.
    const QList<QByteArray> pieces{
        kMenuLine,        kMenuLine.chopped(1), kMenuLine.toUpper(), "C",    "CC",
        "CCCCCCC",        "CCCCCCCC",           "Main Menu\r\n",     "\r\n", "\xe4\xb8",
        kMenuLine.left(9)};
    QRandomGenerator generator(20240601);
    for (int round = 0; round < 150; ++round) {
        QByteArray output;
        while (output.size() < 600)
            output += pieces.at(generator.bounded(int(pieces.size())));
        QList<QByteArray> reads;
        for (int at = 0; at < output.size();) {
            const int length = 1 + generator.bounded(90);
            reads << output.mid(at, length);
            at += length;
        }
        const QStringList expected = plainRule(reads);
        const QStringList actual = scanWithWorker(reads);
        QVERIFY2(actual == expected, qPrintable(QStringLiteral("round %1").arg(round)));
    }
}

void TstHandshake::chatterKeepsBufferBounded()
{
    ScriptedDevice device;
    SerialWorker worker;
    worker.setDebugMode(true);
    worker.connectToPort(device.portName());
    QSignalSpy logs(&worker, &SerialWorker::logMessage);
    worker.setState(SerialWorker::WaitingForBootloader);

    // 4 MiB of text without a menu line or a run of C's, then the menu line across two reads.
    const QByteArray chatter =
        QByteArray("Checking flash ... C CC CCC CCCCCCC ok\r\n").repeated(100);
    for (int i = 0; i < 1000; ++i) {
        SerialWorkerTestAccess::setRxBuffer(worker,
                                            SerialWorkerTestAccess::rxBuffer(worker) + chatter);
        worker.processResponse();
        QVERIFY(SerialWorkerTestAccess::rxBuffer(worker).size() < kMenuLine.size());
    }
    QCOMPARE(worker.state(), SerialWorker::WaitingForBootloader);
    QCOMPARE(logs.size(), 0);
    SerialWorkerTestAccess::setRxBuffer(worker, SerialWorkerTestAccess::rxBuffer(worker) + chatter +
                                                    kMenuLine.left(20));
    worker.processResponse();
    SerialWorkerTestAccess::setRxBuffer(worker, SerialWorkerTestAccess::rxBuffer(worker) +
                                                    kMenuLine.mid(20));
    worker.processResponse();
    QCOMPARE(logs.size(), 1);
    QCOMPARE(worker.state(), SerialWorker::WaitingForReceiver);
}

QTEST_GUILESS_MAIN(TstHandshake)
#include "tst_handshake.moc"
