// Interoperability: the worker's YMODEM transfer into lrzsz's rb, an independent receiver, over a
// pseudo-terminal. rb's standard input and output are relayed to the fake device's master side;
// the file rb writes must be the image, byte for byte.

#include "device/serialworker.h"
#include "fakedevice.h"
#include "workertestaccess.h"

#include <QtTest>

class TestInteropRb : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rbReceivesTheImageByteForByte_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("2500 bytes: long blocks, then short ones, the last padded") << 2500;
        QTest::newRow("231 KiB, the default size limit: long blocks only") << 236544;
    }
    void rbReceivesTheImageByteForByte()
    {
        QFETCH(int, size);
        QTemporaryDir folder;
        QProcess rb; // outlives the rig, whose end cuts both relays
        // The real reply waits: rb is slow to answer EOT.
        WorkerRig<FakeDevice> rig{DeviceTimeouts()};
        // rb's output goes to the worker; what the worker writes goes to rb, on rb's thread.
        connect(&rb, &QProcess::readyReadStandardOutput, &rig.worker,
                [&] { rig.device.send(rb.readAllStandardOutput()); });
        rig.device.setResponder([&rb](FakeDevice &, const QByteArray &chunk) {
            QMetaObject::invokeMethod(&rb, [&rb, chunk] { rb.write(chunk); });
        });
        rb.setWorkingDirectory(folder.path());
        rb.start(QStringLiteral("rb"), {QStringLiteral("--ymodem"), QStringLiteral("--binary")});
        QVERIFY2(rb.waitForStarted(10000), "rb (lrzsz) is missing: scripts/setup.sh installs it");
        // As the handshake does, the transfer starts once the receiver has asked for it (rb asks
        // about a second after it starts).
        QTRY_VERIFY_WITH_TIMEOUT(SerialWorkerTestAccess::rxBuffer(rig.worker).contains('C'), 5000);

        const QByteArray image = testImage(size);
        SerialWorkerTestAccess::runTransfer(rig.worker, image, "image.bin");
        QCOMPARE(rig.trace.outcomes(), QStringList{"success"});
        const bool ended = (rb.state() == QProcess::NotRunning || rb.waitForFinished(10000)) &&
                           rb.exitStatus() == QProcess::NormalExit;
        QVERIFY2(ended && rb.exitCode() == 0, rb.readAllStandardError().constData());
        QFile written(folder.filePath(QStringLiteral("image.bin")));
        QVERIFY(written.open(QIODevice::ReadOnly) && written.readAll() == image);
    }
};

QTEST_GUILESS_MAIN(TestInteropRb)
#include "tst_interop_rb.moc"
