// Interoperability: the worker's YMODEM transfer into lrzsz's rb, an independent receiver, over a
// pseudo-terminal. rb's standard input and output are relayed to the fake device's master side;
// the file rb writes must be the image, byte for byte.

#include "device/serialworker.h"
#include "fakedevice.h"
#include "workertestaccess.h"

#include <QtTest>

namespace {

const QString kRb = QStringLiteral("/usr/bin/rb");
// rb asks for the first block about a second after it starts.
constexpr int kFirstRequestMs = 5000;
constexpr int kRbExitMs = 10000;

} // namespace

class TestInteropRb : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rbReceivesTheImageByteForByte_data();
    void rbReceivesTheImageByteForByte();
};

void TestInteropRb::rbReceivesTheImageByteForByte_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("1 byte") << 1;
    QTest::newRow("1023 bytes: short blocks only") << 1023;
    QTest::newRow("1025 bytes: a long block and a padded short one") << 1025;
    QTest::newRow("2500 bytes") << 2500;
    QTest::newRow("231 KiB, the default size limit") << 236544;
}

void TestInteropRb::rbReceivesTheImageByteForByte()
{
    QFETCH(int, size);
    QVERIFY2(QFileInfo(kRb).isExecutable(), "rb (lrzsz) is missing: scripts/setup.sh installs it");
    QTemporaryDir folder;
    QProcess rb;                                 // outlives the rig, whose end cuts both relays
    WorkerRig<FakeDevice> rig{DeviceTimeouts()}; // the real reply waits: rb is slow to answer EOT
    // rb's output goes to the worker; what the worker writes goes to rb, on rb's thread.
    QObject::connect(&rb, &QProcess::readyReadStandardOutput, &rig.worker,
                     [&] { rig.device.send(rb.readAllStandardOutput()); });
    rig.device.setResponder([&rb](FakeDevice &, const QByteArray &chunk) {
        QMetaObject::invokeMethod(&rb, [&rb, chunk] { rb.write(chunk); });
    });
    rb.setWorkingDirectory(folder.path());
    rb.start(kRb, {QStringLiteral("--ymodem"), QStringLiteral("--binary")});
    QVERIFY(rb.waitForStarted(kRbExitMs));
    // As the handshake does, the transfer starts once the receiver has asked for it.
    QTRY_VERIFY_WITH_TIMEOUT(SerialWorkerTestAccess::rxBuffer(rig.worker).contains('C'),
                             kFirstRequestMs);

    const QByteArray image = testImage(size);
    SerialWorkerTestAccess::runTransfer(rig.worker, image, "image.bin");
    QCOMPARE(rig.trace.outcomes(), QStringList{"success"});
    const bool ended = (rb.state() == QProcess::NotRunning || rb.waitForFinished(kRbExitMs)) &&
                       rb.exitStatus() == QProcess::NormalExit;
    QVERIFY2(ended && rb.exitCode() == 0, rb.readAllStandardError().constData());
    QFile written(folder.filePath(QStringLiteral("image.bin")));
    QVERIFY(written.open(QIODevice::ReadOnly) && written.readAll() == image);
}

QTEST_GUILESS_MAIN(TestInteropRb)
#include "tst_interop_rb.moc"
