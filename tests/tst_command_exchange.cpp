// The console's command exchange on a live (pseudo-terminal) line against the scripted device.

#include "device/serialworker.h"
#include "scripteddevice.h"
#include "workertestaccess.h"

#include <QtTest>

#include <utility>

using namespace std::chrono_literals;
using Access = SerialWorkerTestAccess;
using Chunk = ScriptedDevice::Chunk;

namespace {

// Chunks well under the quiet gap apart, and one well over it.
constexpr int kCloseChunksMs = 20;
constexpr int kLateChunkMs = 450;
// Bound for waits on things that happen at once.
constexpr int kPromptMs = 2000;
constexpr int kSettleMs = 100;

// The overall limit shortened; the quiet gap keeps its real length so the spacing above holds.
DeviceTimeouts exchangeTimeouts()
{
    DeviceTimeouts t;
    t.replyOverall = 600ms;
    t.replyQuiet = 200ms;
    t.handshake = 5000ms;
    return t;
}

// The device answers the console's command, "*IDN?", with reply.
struct Rig : WorkerRig<ScriptedDevice>
{
    explicit Rig(const ScriptedDevice::Reply &reply, bool silentAfterStart = false)
        : WorkerRig(exchangeTimeouts(), script(reply, silentAfterStart))
    {
    }
    static ScriptedDevice::Script script(const ScriptedDevice::Reply &reply, bool silentAfterStart)
    {
        ScriptedDevice::Script script;
        script.identification = reply;
        script.silentAfterStart = silentAfterStart;
        return script;
    }
    void send() { worker.sendCustomCommand(QStringLiteral("*IDN?")); }
};

} // namespace

class TstCommandExchange : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void replyText_data();
    void replyText();
    void neverStoppingDeviceIsCutAtTheOverallLimitAndCapped();
    void refusedWithoutAPortAndDuringAnUpdate();
    void updateRequestedDuringACommandStartsRightAfterIt();
    void waitEndsAtOnce_data();
    void waitEndsAtOnce();
    void portFailureDuringACommandIsActedOnAfterwards_data();
    void portFailureDuringACommandIsActedOnAfterwards();
};

void TstCommandExchange::replyText_data()
{
    QTest::addColumn<ScriptedDevice::Reply>("reply");
    QTest::addColumn<QString>("text");
    QTest::newRow("chunks closer than the quiet gap come back as one text")
        << ScriptedDevice::chunks({Chunk{0, "Orvane,"}, Chunk{kCloseChunksMs, "TM-1,"},
                                   Chunk{kCloseChunksMs, "1.0.38\r\n"}})
        << "Orvane,TM-1,1.0.38";
    QTest::newRow("a chunk after the quiet gap is left out")
        << ScriptedDevice::chunks({Chunk{0, "first\r\n"}, Chunk{kLateChunkMs, "late\r\n"}})
        << "first";
    QTest::newRow("silence gives an empty text") << ScriptedDevice::silence() << QString();
}

void TstCommandExchange::replyText()
{
    QFETCH(ScriptedDevice::Reply, reply);
    QFETCH(QString, text);
    Rig rig(reply);
    rig.send();
    QCOMPARE(rig.device.received(), QByteArray("*IDN?\r\n")); // its seven bytes, nothing else
    QCOMPARE(rig.trace.lines, QStringList{"response:" + text});
    QCOMPARE(rig.worker.state(), SerialWorker::Idle);
    QVERIFY(!Access::customCommandActive(rig.worker));
}

void TstCommandExchange::neverStoppingDeviceIsCutAtTheOverallLimitAndCapped()
{
    Rig rig(ScriptedDevice::stream(QByteArray(4096, 'x'), 5));
    QElapsedTimer clock;
    clock.start();
    rig.send();
    const qint64 elapsed = clock.elapsed();
    const qint64 overall = exchangeTimeouts().replyOverall.count();
    QVERIFY2(elapsed >= overall - 50 && elapsed < overall + 1000,
             qPrintable(QString::number(elapsed)));
    const QStringList responses = rig.trace.with("response:");
    QCOMPARE(responses.size(), 1);
    QCOMPARE(responses.first().size(), SerialWorker::kReplyBufferCap);
}

void TstCommandExchange::updateRequestedDuringACommandStartsRightAfterIt()
{
    // The reply comes in two pieces, so the command is still collecting when the update arrives.
    Rig rig(ScriptedDevice::chunks({{0, "TM-1,"}, {300, "1.0.38\r\n"}}));
    const QString image = rig.writeImage(testImage(3000));
    QTimer::singleShot(50, &rig.worker, [&rig, image] { rig.worker.startUpdate(image); });
    rig.send();
    QTRY_COMPARE_WITH_TIMEOUT(rig.trace.outcomes(), QStringList{"success"}, 10000);

    // The command is answered first, with what had arrived; then the whole update runs.
    QCOMPARE(rig.trace.lines.first(), QStringLiteral("response:TM-1,"));
    QCOMPARE(rig.trace.with("response:").size(), 1);
    QCOMPARE(rig.device.receiver().fileData(), testImage(3000));
}

void TstCommandExchange::refusedWithoutAPortAndDuringAnUpdate()
{
    SerialWorker closed;
    WorkerTrace closedTrace(closed);
    closed.sendCustomCommand(QStringLiteral("*IDN?"));
    QCOMPARE(closedTrace.lines, QStringList{"response:串口未打开"});

    // A real update waiting for a bootloader that never comes; the command arrives in that wait.
    Rig rig(ScriptedDevice::text("TM-1,1.0.38\r\n"), true);
    qint64 refusalMs = -1;
    rig.device.setEventHook([&rig, &refusalMs](ScriptedDevice &, const QString &event) {
        if (!event.startsWith(QLatin1String("start:")))
            return;
        QMetaObject::invokeMethod(
            &rig.worker,
            [&rig, &refusalMs] {
                QElapsedTimer clock;
                clock.start();
                rig.send();
                refusalMs = clock.elapsed();
                rig.worker.abort();
            },
            Qt::QueuedConnection);
    });
    rig.worker.startUpdate(rig.writeImage(testImage(3000)));

    QCOMPARE(rig.trace.with("response:"), QStringList{"设备未连接"});
    QVERIFY2(refusalMs >= 0 && refusalMs < exchangeTimeouts().replyQuiet.count(),
             qPrintable(QString::number(refusalMs)));
    QCOMPARE(rig.trace.outcomes(), QStringList{"failed:用户取消更新"});
    // Only the update's own query went out as text.
    QCOMPARE(rig.device.received().count("*IDN?"), 0);
}

void TstCommandExchange::waitEndsAtOnce_data()
{
    QTest::addColumn<bool>("disconnecting");
    QTest::newRow("a disconnect request ends it without touching the deleted port") << true;
    QTest::newRow("an abort ends it and leaves the port open, with no update abort recorded")
        << false;
}

void TstCommandExchange::waitEndsAtOnce()
{
    QFETCH(bool, disconnecting);
    Rig rig(ScriptedDevice::silence());
    QTimer::singleShot(100, &rig.worker,
                       disconnecting ? &SerialWorker::disconnectPort : &SerialWorker::abort);
    QElapsedTimer clock;
    clock.start();
    rig.send();

    QVERIFY2(clock.elapsed() < exchangeTimeouts().replyOverall.count(),
             qPrintable(QString::number(clock.elapsed())));
    QTest::qWait(kSettleMs);
    QCOMPARE(rig.trace.lines,
             disconnecting ? (QStringList{"disconnected", "response:"}) : QStringList{"response:"});
    QCOMPARE(rig.worker.state(), disconnecting ? SerialWorker::PortClosed : SerialWorker::Idle);
    QCOMPARE(rig.worker.port() == nullptr, disconnecting);
    QVERIFY(!Access::abortRequested(rig.worker));
}

void TstCommandExchange::portFailureDuringACommandIsActedOnAfterwards_data()
{
    QTest::addColumn<bool>("unplugged");
    QTest::newRow("a device unplugged during a command: its port keeps failing") << true;
    QTest::newRow("a single read error during a command is not forgotten") << false;
}

void TstCommandExchange::portFailureDuringACommandIsActedOnAfterwards()
{
    QFETCH(bool, unplugged);
    Rig rig(ScriptedDevice::silence());
    // Once, on the command's arrival.
    rig.device.setEventHook(
        [&rig, unplugged, fired = false](ScriptedDevice &device, const QString &) mutable {
            if (std::exchange(fired, true))
                return;
            if (unplugged)
                device.closeMaster();
            else
                QMetaObject::invokeMethod(&rig.worker, [&rig] {
                    rig.worker.handleSerialPortError(QSerialPort::ReadError);
                });
        });
    rig.send();

    // The reply first, then the failed port is lost as it would be outside a command.
    QTRY_COMPARE_WITH_TIMEOUT(rig.worker.state(), SerialWorker::PortClosed, kPromptMs);
    QTest::qWait(kSettleMs);
    QCOMPARE(rig.trace.lines.size(), 3);
    QCOMPARE(rig.trace.lines.at(0), QStringLiteral("response:"));
    QVERIFY2(rig.trace.lines.at(1).startsWith(QStringLiteral("error:串口错误：")),
             qPrintable(rig.trace.lines.at(1)));
    QCOMPARE(rig.trace.lines.at(2), QStringLiteral("disconnected"));
}

QTEST_GUILESS_MAIN(TstCommandExchange)
#include "tst_command_exchange.moc"
