// Interoperability: the worker's YMODEM transfer into lrzsz's rb, an independent receiver, over a
// pseudo-terminal. rb's standard input and output are relayed to the fake device's master side;
// the file rb writes must be the image, byte for byte.

#include "device/serialworker.h"
#include "fakedevice.h"
#include "workertestaccess.h"

#include <QtTest>

using Access = SerialWorkerTestAccess;

namespace {

const QString kRb = QStringLiteral("/usr/bin/rb");
// rb asks for the first block about a second after it starts.
constexpr int kFirstRequestMs = 5000;
constexpr int kRbExitMs = 10000;

QByteArray pattern(int size)
{
    QByteArray image(size, '\0');
    quint32 x = 2463534242u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        image[i] = char(x & 0xFF);
    }
    return image;
}

// rb in YMODEM mode, running in its own folder, with its standard streams joined to the fake
// device: what the worker writes goes to rb's input, what rb prints goes back to the worker.
class RbPeer
{
public:
    RbPeer(FakeDevice &device, const QString &folder) : m_device(device)
    {
        device.runOnDeviceThread([this, folder] {
            m_process = new QProcess;
            m_process->setWorkingDirectory(folder);
            QObject::connect(m_process, &QProcess::readyReadStandardOutput, m_process,
                             [this] { m_device.send(m_process->readAllStandardOutput()); });
            m_process->start(kRb, {QStringLiteral("--ymodem"), QStringLiteral("--binary")});
            m_started = m_process->waitForStarted(kRbExitMs);
        });
        device.setResponder([this](FakeDevice &, const QByteArray &chunk) {
            if (m_process)
                m_process->write(chunk);
        });
    }

    ~RbPeer()
    {
        m_device.setResponder({});
        m_device.runOnDeviceThread([this] {
            if (m_process->state() != QProcess::NotRunning) {
                m_process->kill();
                m_process->waitForFinished(kRbExitMs);
            }
            delete m_process;
            m_process = nullptr;
        });
    }

    bool started() const { return m_started; }

    // Waits for rb to end; returns its exit code (-1 when it did not end) and its messages.
    int finish(QByteArray *messages)
    {
        int code = -1;
        m_device.runOnDeviceThread([this, &code, messages] {
            if (m_process->waitForFinished(kRbExitMs) || m_process->state() == QProcess::NotRunning)
                code = m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
            *messages = m_process->readAllStandardError();
        });
        return code;
    }

private:
    FakeDevice &m_device;
    QProcess *m_process = nullptr;
    bool m_started = false;
};

} // namespace

class TestInteropRb : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void rbReceivesTheImageByteForByte_data();
    void rbReceivesTheImageByteForByte();
};

void TestInteropRb::initTestCase()
{
    if (!QFileInfo(kRb).isExecutable())
        QFAIL("rb (lrzsz) is missing: scripts/setup.sh installs it");
}

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
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    FakeDevice device;
    QVERIFY(device.isValid());
    SerialWorker worker; // the real reply waits: rb is slow to answer EOT
    worker.connectToPort(device.portName());
    QCOMPARE(worker.state(), SerialWorker::Idle);
    QSignalSpy succeeded(&worker, &SerialWorker::updateSuccess);
    QSignalSpy failed(&worker, &SerialWorker::updateFailed);
    QVERIFY(succeeded.isValid() && failed.isValid());

    RbPeer rb(device, folder.path());
    QVERIFY(rb.started());
    // As the handshake does, the transfer starts once the receiver has asked for it.
    QTRY_VERIFY_WITH_TIMEOUT(Access::rxBuffer(worker).contains('C'), kFirstRequestMs);

    const QByteArray image = pattern(size);
    Access::prepareTransfer(worker, image, "image.bin");
    worker.runBlockingYmodemTransfer();

    QByteArray messages;
    const int exitCode = rb.finish(&messages);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    QCOMPARE(succeeded.count(), 1);
    QVERIFY2(exitCode == 0, messages.constData());
    QFile written(folder.filePath(QStringLiteral("image.bin")));
    QVERIFY2(written.open(QIODevice::ReadOnly), messages.constData());
    const QByteArray received = written.readAll();
    QCOMPARE(received.size(), image.size());
    QVERIFY(received == image);
}

QTEST_GUILESS_MAIN(TestInteropRb)
#include "tst_interop_rb.moc"
