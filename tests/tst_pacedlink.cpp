// The paced cable used by the device simulator and the benchmarks: it must never deliver faster
// than the line rate, must deliver every byte in order, and must pull the host's cable when the
// device goes away.

#include "fakedevice.h"
#include "pacedlink.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>

class tst_PacedLink : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void bytesArriveInOrderNoFasterThanTheLine();
    void deviceGoingAwayFailsTheHostPort();
};

void tst_PacedLink::bytesArriveInOrderNoFasterThanTheLine()
{
    // 1152 bytes at 115200 take at least 100 ms each way.
    const int baud = 115200;
    const int size = 1152;
    FakeDevice device;
    QVERIFY(device.isValid());
    // The device echoes everything back.
    device.setResponder([](FakeDevice &self, const QByteArray &chunk) { self.send(chunk); });
    PacedLink link(device.portName(), baud);
    QVERIFY(link.isValid());

    QSerialPort port(link.hostPortName());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QByteArray payload(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        payload[i] = char(i * 7 + 3);

    QElapsedTimer timer;
    timer.start();
    port.write(payload);
    QByteArray echoed;
    while (echoed.size() < size && timer.elapsed() < 10000) {
        if (port.waitForReadyRead(100))
            echoed += port.readAll();
    }
    const double elapsedMs = timer.nsecsElapsed() / 1e6;

    QCOMPARE(echoed, payload);
    QVERIFY(device.received() == payload);
    // Out to the device and back: every byte crossed the line twice, but the two directions
    // overlap, so one crossing plus one byte is the least it can take.
    const double oneWayMs = (size + 1) * link.byteTimeNs() / 1e6;
    QVERIFY2(elapsedMs >= oneWayMs, qPrintable(QString::number(elapsedMs)));
    // The counters move right after each write, so they may trail the bytes by a moment.
    QTRY_COMPARE_WITH_TIMEOUT(link.bytesToDevice(), qint64(size), 1000);
    QTRY_COMPARE_WITH_TIMEOUT(link.bytesToHost(), qint64(size), 1000);
}

void tst_PacedLink::deviceGoingAwayFailsTheHostPort()
{
    FakeDevice device;
    PacedLink link(device.portName(), 115200);
    QSerialPort port(link.hostPortName());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QSignalSpy errors(&port, &QSerialPort::errorOccurred);
    QVERIFY(errors.isValid());

    device.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(errors.count() > 0
                                 && port.error() != QSerialPort::NoError,
                             3000);
}

QTEST_MAIN(tst_PacedLink)
#include "tst_pacedlink.moc"
