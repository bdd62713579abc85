#include "device/serialworker.h"
#include "scripteddevice.h"
#include "workertestaccess.h"

#include <QElapsedTimer>
#include <QtTest>

#include <memory>

using namespace std::chrono_literals;

namespace {

// The console's limits, shortened; the quiet gap keeps its real length so the chunk spacing
// below means what it says.
DeviceTimeouts exchangeTimeouts()
{
    DeviceTimeouts t;
    t.replyOverall = 600ms;
    t.replyQuiet = 200ms;
    return t;
}

// Well under the quiet gap, and well over it.
constexpr int kCloseChunksMs = 20;
constexpr int kLateChunkMs = 450;
// Bound for waits on things that happen at once.
constexpr int kPromptMs = 2000;

// A scripted device and a worker on the test thread, connected to it, with every worker signal
// recorded in order.
struct Rig
{
    explicit Rig(const ScriptedDevice::Script &script) : device(script)
    {
        worker.setTimeoutsForTesting(exchangeTimeouts());
        QObject::connect(&worker, &SerialWorker::customCommandResponse, &worker,
                         [this](const QString &r) { trace << QStringLiteral("response:") + r; });
        QObject::connect(&worker, &SerialWorker::errorOccurred, &worker,
                         [this](const QString &e) { trace << QStringLiteral("error:") + e; });
        QObject::connect(&worker, &SerialWorker::disconnected, &worker,
                         [this] { trace << QStringLiteral("disconnected"); });
        worker.connectToPort(device.portName());
    }

    // The responses among the recorded signals.
    QStringList responses() const
    {
        QStringList out;
        for (const QString &entry : trace) {
            if (entry.startsWith(QLatin1String("response:")))
                out << entry.mid(9);
        }
        return out;
    }

    ScriptedDevice device;
    SerialWorker worker;
    QStringList trace;
};

ScriptedDevice::Script replying(const QByteArray &command, const ScriptedDevice::Reply &reply)
{
    ScriptedDevice::Script script;
    script.commands.insert(command, reply);
    return script;
}

} // namespace

// The console's command exchange on a live (pseudo-terminal) line.
class TstCommandExchange : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void commandOnTheWire_data();
    void commandOnTheWire();
    void replyText_data();
    void replyText();
    void chunkAfterQuietGapStaysForLater();
    void neverStoppingDeviceIsCutAtOverallLimit();
    void floodIsCapped();
    void refusals();
    void refusedDuringAnUpdate();
    void disconnectDuringWaitEndsWithOneResponse();
    void portLostDuringCommandIsReportedAfterwards();
};

void TstCommandExchange::commandOnTheWire_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("wire");

    QTest::newRow("*IDN? goes out as its seven bytes")
        << QStringLiteral("*IDN?") << QByteArray("*IDN?\r\n");
    QTest::newRow("a command ending in CR LF goes out unchanged")
        << QStringLiteral("*IDN?\r\n") << QByteArray("*IDN?\r\n");
    QTest::newRow("a command ending in a bare LF gets CR LF as well")
        << QStringLiteral("*IDN?\n") << QByteArray("*IDN?\n\r\n");
    QTest::newRow("Chinese text goes out as UTF-8")
        << QStringLiteral("名称?") << QByteArray("名称?\r\n");
}

void TstCommandExchange::commandOnTheWire()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, wire);
    ScriptedDevice::Script script;
    script.unknownCommand = ScriptedDevice::text("OK\r\n");
    Rig rig(script);
    QVERIFY(rig.device.isValid());
    QCOMPARE(rig.worker.state(), SerialWorker::Idle);

    rig.worker.sendCustomCommand(command);
    QVERIFY(rig.device.waitForReceived([&](const QByteArray &r) { return r == wire; }, kPromptMs));
    QCOMPARE(rig.responses().size(), 1);
    QCOMPARE(rig.worker.state(), SerialWorker::Idle);
}

void TstCommandExchange::replyText_data()
{
    using Chunk = ScriptedDevice::Chunk;
    QTest::addColumn<ScriptedDevice::Reply>("reply");
    QTest::addColumn<QString>("text");

    QTest::newRow("chunks closer than the quiet gap come back as one text")
        << ScriptedDevice::chunks({Chunk{0, "Orvane,"}, Chunk{kCloseChunksMs, "TM-1,"},
                                   Chunk{kCloseChunksMs, "1.0.38\r\n"}})
        << QStringLiteral("Orvane,TM-1,1.0.38");
    QTest::newRow("line breaks inside are kept, those at the ends removed")
        << ScriptedDevice::text("\r\nline 1\r\nline 2\r\n") << QStringLiteral("line 1\r\nline 2");
    QTest::newRow("spaces at the ends are kept")
        << ScriptedDevice::text("  OK \r\n") << QStringLiteral("  OK ");
    QTest::newRow("UTF-8 text is read as UTF-8")
        << ScriptedDevice::text("温度：25℃\r\n") << QStringLiteral("温度：25℃");
    QTest::newRow("a byte that is not UTF-8 gives the Latin-1 reading")
        << ScriptedDevice::text("T=\xb0\x43\xff\r\n") << QString::fromLatin1("T=\xb0\x43\xff");
    QTest::newRow("bare line breaks give an empty text")
        << ScriptedDevice::text("\r\n\r\n") << QString();
    QTest::newRow("silence gives an empty text") << ScriptedDevice::silence() << QString();
}

void TstCommandExchange::replyText()
{
    QFETCH(ScriptedDevice::Reply, reply);
    QFETCH(QString, text);
    Rig rig(replying("*TEST?", reply));

    rig.worker.sendCustomCommand(QStringLiteral("*TEST?"));
    QCOMPARE(rig.responses(), QStringList{text});
    QCOMPARE(rig.worker.state(), SerialWorker::Idle);
    QVERIFY(!SerialWorkerTestAccess::customCommandActive(rig.worker));
}

void TstCommandExchange::chunkAfterQuietGapStaysForLater()
{
    using Chunk = ScriptedDevice::Chunk;
    Rig rig(replying("*TEST?", ScriptedDevice::chunks(
                                   {Chunk{0, "first\r\n"}, Chunk{kLateChunkMs, "late\r\n"}})));
    QElapsedTimer clock;
    clock.start();
    rig.worker.sendCustomCommand(QStringLiteral("*TEST?"));
    // The quiet gap ended the wait, before the late chunk and the overall limit.
    QVERIFY2(clock.elapsed() < kLateChunkMs, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(rig.responses(), QStringList{QStringLiteral("first")});
    // The late chunk arrives in the idle buffer, as any unrequested text does.
    QTRY_VERIFY_WITH_TIMEOUT(SerialWorkerTestAccess::rxBuffer(rig.worker).contains("late\r\n"),
                             kPromptMs);
    QCOMPARE(rig.responses().size(), 1);
}

void TstCommandExchange::neverStoppingDeviceIsCutAtOverallLimit()
{
    Rig rig(replying("*DUMP", ScriptedDevice::stream("0123456789", kCloseChunksMs)));
    QElapsedTimer clock;
    clock.start();
    rig.worker.sendCustomCommand(QStringLiteral("*DUMP"));
    const qint64 elapsed = clock.elapsed();
    const qint64 overall = exchangeTimeouts().replyOverall.count();
    QVERIFY2(elapsed >= overall - 50 && elapsed < overall + 1000,
             qPrintable(QString::number(elapsed)));
    const QStringList responses = rig.responses();
    QCOMPARE(responses.size(), 1);
    QVERIFY(responses.first().startsWith(QLatin1String("01234567890123456789")));
    rig.device.send("x"); // stops the stream
}

void TstCommandExchange::floodIsCapped()
{
    Rig rig(replying("*DUMP", ScriptedDevice::stream(QByteArray(4096, 'x'), 2)));
    rig.worker.sendCustomCommand(QStringLiteral("*DUMP"));
    rig.device.send("x"); // stops the stream
    const QStringList responses = rig.responses();
    QCOMPARE(responses.size(), 1);
    QCOMPARE(responses.first().size(), SerialWorker::kReplyBufferCap);
}

void TstCommandExchange::refusals()
{
    SerialWorker worker;
    QSignalSpy responses(&worker, &SerialWorker::customCommandResponse);
    QVERIFY(responses.isValid());
    worker.sendCustomCommand(QStringLiteral("*IDN?"));
    QCOMPARE(responses.size(), 1);
    QCOMPARE(responses.at(0).at(0).toString(), QStringLiteral("串口未打开"));

    Rig rig{ScriptedDevice::Script()};
    rig.worker.setState(SerialWorker::Transferring);
    rig.worker.sendCustomCommand(QStringLiteral("*IDN?"));
    QCOMPARE(rig.responses(), QStringList{QStringLiteral("设备未连接")});
    QVERIFY(!rig.device.waitForReceivedCount(1, 100));
    rig.worker.setState(SerialWorker::Idle);
}

void TstCommandExchange::refusedDuringAnUpdate()
{
    // A real update waiting for a bootloader that never comes; the command arrives in that wait.
    ScriptedDevice::Script script;
    script.silentAfterStart = true;
    Rig rig(script);
    DeviceTimeouts t = exchangeTimeouts();
    t.handshake = 5000ms;
    rig.worker.setTimeoutsForTesting(t);

    QTemporaryDir dir;
    QFile image(dir.filePath(QStringLiteral("app.bin")));
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write(QByteArray(3000, 'x'));
    image.close();

    QStringList seenInWait;
    rig.device.setEventHook([&rig, &seenInWait](ScriptedDevice &, const QString &event) {
        if (!event.startsWith(QLatin1String("start:")))
            return;
        QMetaObject::invokeMethod(
            &rig.worker,
            [&rig, &seenInWait] {
                QElapsedTimer clock;
                clock.start();
                rig.worker.sendCustomCommand(QStringLiteral("*IDN?"));
                seenInWait << rig.responses() << QString::number(clock.elapsed() < 50);
                rig.worker.abort();
            },
            Qt::QueuedConnection);
    });
    QSignalSpy failed(&rig.worker, &SerialWorker::updateFailed);
    QVERIFY(failed.isValid());
    rig.worker.startUpdate(image.fileName());

    QCOMPARE(seenInWait, (QStringList{QStringLiteral("设备未连接"), QStringLiteral("1")}));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("用户取消更新"));
    // Only the update's own query went out as text.
    QCOMPARE(rig.device.received().count("*IDN?"), 0);
}

void TstCommandExchange::disconnectDuringWaitEndsWithOneResponse()
{
    Rig rig(replying("*SLOW?", ScriptedDevice::silence()));
    QTimer::singleShot(100, &rig.worker, &SerialWorker::disconnectPort);
    QElapsedTimer clock;
    clock.start();
    rig.worker.sendCustomCommand(QStringLiteral("*SLOW?"));

    // The closed port ends the wait at once; the port object is gone and was not touched.
    QVERIFY2(clock.elapsed() < exchangeTimeouts().replyOverall.count(),
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(rig.trace, (QStringList{QStringLiteral("disconnected"), QStringLiteral("response:")}));
    QCOMPARE(rig.worker.port(), nullptr);
    QCOMPARE(rig.worker.state(), SerialWorker::PortClosed);
    QVERIFY(!SerialWorkerTestAccess::customCommandActive(rig.worker));
    QTest::qWait(100);
    QCOMPARE(rig.trace.size(), 2);
}

void TstCommandExchange::portLostDuringCommandIsReportedAfterwards()
{
    Rig rig(replying("*PING", ScriptedDevice::silence()));
    rig.device.setEventHook([](ScriptedDevice &device, const QString &event) {
        if (event == QLatin1String("command:*PING"))
            device.closeMaster();
    });
    rig.worker.sendCustomCommand(QStringLiteral("*PING"));

    // The reply first, then the lost port as it would be reported outside a command.
    QTRY_COMPARE_WITH_TIMEOUT(rig.worker.state(), SerialWorker::PortClosed, kPromptMs);
    QCOMPARE(rig.trace.size(), 3);
    QCOMPARE(rig.trace.at(0), QStringLiteral("response:"));
    QVERIFY2(rig.trace.at(1).startsWith(QStringLiteral("error:串口错误：")),
             qPrintable(rig.trace.at(1)));
    QCOMPARE(rig.trace.at(2), QStringLiteral("disconnected"));
    QCOMPARE(SerialWorkerTestAccess::failureReason(rig.worker), rig.trace.at(1).mid(6));
    QTest::qWait(100);
    QCOMPARE(rig.trace.size(), 3);
}

QTEST_GUILESS_MAIN(TstCommandExchange)
#include "tst_command_exchange.moc"
