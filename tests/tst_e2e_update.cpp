// End to end through the window: the real Dialog, its worker thread and a scripted device on a
// pseudo-terminal. A user connects, drops an image, starts and confirms; the progress reaches
// the bar and the status text and the device holds the image. Then a device that cancels the
// transfer gives the failure with its red bar, and after replugging, the next update starts
// with the theme's colours and succeeds.
//
// The test functions run in order and share the window and the devices.

#include "confirmationanswerer.h"
#include "scripteddevice.h"
#include "testsettings.h"
#include "update_access.h"

#include <QDropEvent>
#include <QMimeData>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <chrono>
#include <memory>

using namespace std::chrono_literals;

namespace {
using Access = DialogTestAccess;

const QString kRedChunk =
    QStringLiteral("QProgressBar::chunk { background-color: #dc2626; border-radius: 4px; }");
constexpr int kImageSize = 20000;
constexpr int kConnectWaitMs = 5000;
// A whole update with the shortened time limits, including the 500 ms result step.
constexpr int kUpdateWaitMs = 20000;

QList<PortListing> g_ports;

// One progress report as the window showed it, right after its own slot handled it.
struct Seen
{
    int sent = 0;
    int total = 0;
    int barValue = 0;
    int barMaximum = 0;
    QString status;
};
} // namespace

class TestEndToEndUpdate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void connectDropStartAndSucceed();
    void deviceThatCancelsShowsTheFailure();
    void redChunkIsGoneAtTheNextUpdate();

private:
    void connectTo(ScriptedDevice &device);
    void dropImage();
    void startAndConfirm();
    void watchWorker();

    QTemporaryDir m_dir;
    QString m_imagePath;
    QByteArray m_image;
    std::unique_ptr<ScriptedDevice> m_device;
    std::unique_ptr<ScriptedDevice> m_replugged;
    std::unique_ptr<Dialog> m_dialog;

    QList<Seen> m_seen;
    QStringList m_failures;
    QString m_chunkAtFailure;
};

void TestEndToEndUpdate::initTestCase()
{
    usePrivateSettingsFolder();
    QVERIFY(m_dir.isValid());
    m_image.resize(kImageSize);
    for (char &byte : m_image)
        byte = char(QRandomGenerator::global()->bounded(256));
    m_imagePath = m_dir.filePath(QStringLiteral("app.bin"));
    QFile file(m_imagePath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(m_image), qint64(kImageSize));
    file.close();

    m_device = std::make_unique<ScriptedDevice>();
    QVERIFY(m_device->isValid());
    g_ports = {{m_device->portName(), QStringLiteral("Scripted device")}};
    Dialog::setPortEnumerator([] { return g_ports; });

    m_dialog = std::make_unique<Dialog>();
    // Broken runs end within seconds instead of a minute; the worker has had no request yet.
    DeviceTimeouts timeouts;
    timeouts.handshake = 8000ms;
    timeouts.blockReply = 1500ms;
    timeouts.dataBlockReply = 1500ms;
    Access::worker(*m_dialog)->setTimeoutsForTesting(timeouts);
    watchWorker();

    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
}

void TestEndToEndUpdate::cleanupTestCase()
{
    m_dialog.reset();
    m_device.reset();
    m_replugged.reset();
}

void TestEndToEndUpdate::watchWorker()
{
    // Queued to this thread after the window's own connections, so each lambda sees what the
    // window made of the report.
    SerialWorker *worker = Access::worker(*m_dialog);
    connect(worker, &SerialWorker::progress, this, [this](int sent, int total) {
        UpdateProgressBar *bar = Access::progressBar(*m_dialog);
        m_seen.append(
            {sent, total, bar->value(), bar->maximum(), Access::statusLabel(*m_dialog)->text()});
    });
    connect(worker, &SerialWorker::updateFailed, this, [this](const QString &reason) {
        m_failures.append(reason);
        m_chunkAtFailure = Access::progressBar(*m_dialog)->styleSheet();
    });
}

void TestEndToEndUpdate::connectTo(ScriptedDevice &device)
{
    FlatComboBox *selector = Access::portSelector(*m_dialog);
    QCOMPARE(selector->currentData().toString(), device.portName());
    QTest::mouseClick(Access::connectButton(*m_dialog), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(Access::state(*m_dialog), Dialog::Connected, kConnectWaitMs);
    QVERIFY(Access::log(*m_dialog).contains(QStringLiteral("已连接：%1").arg(device.portName())));
}

void TestEndToEndUpdate::dropImage()
{
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(m_imagePath)});
    QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_dialog.get(), &enter);
    QVERIFY(enter.isAccepted());
    QVERIFY(!Access::overlay(*m_dialog)->isHidden());
    QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_dialog.get(), &drop);
    QVERIFY(Access::overlay(*m_dialog)->isHidden());
    QCOMPARE(Access::pathEdit(*m_dialog)->text(), m_imagePath);
}

void TestEndToEndUpdate::startAndConfirm()
{
    QPushButton *start = Access::startButton(*m_dialog);
    QVERIFY(start->isEnabled());
    ConfirmationAnswerer answerer(ConfirmationAnswerer::Confirm);
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(answerer.answered());
    QCOMPARE(answerer.lines().value(1), QStringLiteral("文件：app.bin"));
    QVERIFY(Access::updating(*m_dialog));
    QCOMPARE(start->text(), QStringLiteral("正在更新…"));
    QVERIFY(!start->isEnabled());
    QVERIFY(!Access::progressBar(*m_dialog)->isHidden());
    QCOMPARE(Access::progressBar(*m_dialog)->maximum(), kImageSize);
}

void TestEndToEndUpdate::connectDropStartAndSucceed()
{
    connectTo(*m_device);
    QTRY_COMPARE_WITH_TIMEOUT(Access::statusLabel(*m_dialog)->text(), QStringLiteral("已连接"),
                              kConnectWaitMs);
    dropImage();
    m_seen.clear();
    startAndConfirm();

    QTRY_VERIFY_WITH_TIMEOUT(!Access::updating(*m_dialog), kUpdateWaitMs);
    const QString log = Access::log(*m_dialog);
    QVERIFY2(log.contains(QStringLiteral("固件更新成功")), qPrintable(log));
    QCOMPARE(Access::statusLabel(*m_dialog)->text(), QStringLiteral("更新完成"));
    QVERIFY(m_failures.isEmpty());

    // Every report reached the bar; the completing one also reached the status text.
    QVERIFY2(m_seen.size() >= 2, qPrintable(QString::number(m_seen.size())));
    int previous = 0;
    for (const Seen &report : m_seen) {
        QCOMPARE(report.total, kImageSize);
        QCOMPARE(report.barMaximum, kImageSize);
        QCOMPARE(report.barValue, qMin(report.sent, kImageSize));
        QVERIFY(report.barValue > previous);
        previous = report.barValue;
    }
    QCOMPARE(m_seen.last().barValue, kImageSize);
    QVERIFY2(
        m_seen.last().status.startsWith(QStringLiteral("更新进度：20000 / 20000 字节（100%）")),
        qPrintable(m_seen.last().status));

    QVERIFY(m_device->hasEvent(QStringLiteral("finished")));
    QCOMPARE(m_device->receiver().fileName(), QByteArray("app.bin"));
    QCOMPARE(m_device->receiver().fileData(), m_image);

    QVERIFY(Access::progressBar(*m_dialog)->isHidden());
    QCOMPARE(Access::startButton(*m_dialog)->text(), QStringLiteral("开始"));
    QVERIFY(Access::startButton(*m_dialog)->isEnabled());
    QVERIFY(Access::portScanTimer(*m_dialog)->isActive());
}

void TestEndToEndUpdate::deviceThatCancelsShowsTheFailure()
{
    ScriptedDevice::Script script;
    script.faults.cancelAtBlock = 3;
    m_device->setScript(script);
    m_seen.clear();
    startAndConfirm();

    QTRY_VERIFY_WITH_TIMEOUT(!Access::updating(*m_dialog), kUpdateWaitMs);
    QCOMPARE(m_failures.size(), 1);
    QVERIFY(!m_failures.first().isEmpty());
    QCOMPARE(m_chunkAtFailure, kRedChunk);
    QVERIFY(m_device->hasEvent(QStringLiteral("cancelled")));

    const QString log = Access::log(*m_dialog);
    QVERIFY2(log.contains(QStringLiteral("更新失败：%1").arg(m_failures.first())), qPrintable(log));
    QCOMPARE(Access::statusLabel(*m_dialog)->text(), QStringLiteral("更新失败"));
    QVERIFY(Access::progressBar(*m_dialog)->isHidden());
    QVERIFY(Access::progressBar(*m_dialog)->styleSheet().isEmpty());
    // The connection stays as it was.
    QCOMPARE(Access::state(*m_dialog), Dialog::Connected);
}

void TestEndToEndUpdate::redChunkIsGoneAtTheNextUpdate()
{
    // The cancelling bootloader sits in its menu; the user replugs a fresh device.
    QTest::mouseClick(Access::connectButton(*m_dialog), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(Access::state(*m_dialog), Dialog::Disconnected, kConnectWaitMs);
    m_replugged = std::make_unique<ScriptedDevice>();
    QVERIFY(m_replugged->isValid());
    g_ports = {{m_replugged->portName(), QStringLiteral("Scripted device")}};
    Access::scan(*m_dialog);
    connectTo(*m_replugged);

    m_seen.clear();
    m_failures.clear();
    startAndConfirm();
    QVERIFY(Access::progressBar(*m_dialog)->styleSheet().isEmpty());

    QTRY_VERIFY_WITH_TIMEOUT(!Access::updating(*m_dialog), kUpdateWaitMs);
    QVERIFY(m_failures.isEmpty());
    QCOMPARE(Access::statusLabel(*m_dialog)->text(), QStringLiteral("更新完成"));
    QCOMPARE(m_replugged->receiver().fileData(), m_image);
    QVERIFY(!m_seen.isEmpty());
}

QTEST_MAIN(TestEndToEndUpdate)
#include "tst_e2e_update.moc"
