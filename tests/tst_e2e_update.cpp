// End to end through the window: the real Dialog, its worker thread and a scripted device on a
// pseudo-terminal. A user connects, drops an image, starts and confirms; the progress reaches the
// bar and the status text and the device holds the image. Then a device that cancels gives the
// failure with its red bar, and after the device restarts the next update starts without it.

#include "scripteddevice.h"
#include "update_access.h"

#include <QRandomGenerator>
#include <QTest>

#include <chrono>
#include <memory>

using namespace std::chrono_literals;

namespace {
constexpr int kImageSize = 20000;
constexpr int kConnectWaitMs = 5000;
// A whole update with the shortened time limits, including the 500 ms result step.
constexpr int kUpdateWaitMs = 20000;
} // namespace

class TestEndToEndUpdate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        useTestEnvironment();
        QVERIFY(m_device.isValid());
        g_ports = {{m_device.portName(), QStringLiteral("Scripted device")}};
        m_image.resize(kImageSize);
        for (char &byte : m_image)
            byte = char(QRandomGenerator::global()->bounded(256));
        m_image = withVectorTable(m_image);
        m_imagePath = m_dir.filePath(QStringLiteral("app.bin"));
        QFile file(m_imagePath);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(m_image) == kImageSize);
        file.close();

        m_dialog = std::make_unique<Dialog>();
        // Broken runs end within seconds instead of a minute; the worker has had no request yet.
        DeviceTimeouts timeouts;
        timeouts.handshake = 8000ms;
        timeouts.blockReply = 1500ms;
        timeouts.dataBlockReply = 1500ms;
        SerialWorker *worker = Access::worker(*m_dialog);
        worker->setTimeoutsForTesting(timeouts);
        // Queued to this thread after the window's own connections, so each lambda sees what the
        // window made of the report.
        connect(worker, &SerialWorker::progress, this, [this](int sent, int) {
            UpdateProgressBar *bar = Access::progressBar(*m_dialog);
            m_reports.append({sent, bar->value(), bar->maximum()});
            m_lastProgressText = Access::status(*m_dialog);
        });
        connect(worker, &SerialWorker::updateFailed, this, [this](const QString &reason) {
            m_failures.append(reason);
            m_chunkAtFailure = Access::progressBar(*m_dialog)->styleSheet();
        });
        m_dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    }
    void cleanupTestCase() { m_dialog.reset(); }

    void connectDropStartAndSucceed()
    {
        QTest::mouseClick(Access::connectButton(*m_dialog), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(Access::state(*m_dialog), Dialog::Connected, kConnectWaitMs);
        QVERIFY(dropUrls(*m_dialog, {QUrl::fromLocalFile(m_imagePath)}));
        QCOMPARE(Access::pathEdit(*m_dialog)->text(), m_imagePath);
        runUpdate();

        QVERIFY2(Access::log(*m_dialog).contains(QStringLiteral("固件更新成功")),
                 qPrintable(Access::log(*m_dialog)));
        QCOMPARE(Access::status(*m_dialog), QStringLiteral("更新完成"));
        QVERIFY(m_failures.isEmpty());
        QCOMPARE(m_device.receiver().fileData(), m_image);
        // Every report reached the bar; the completing one also reached the status text.
        QVERIFY2(m_reports.size() >= 2, qPrintable(QString::number(m_reports.size())));
        int previous = 0;
        for (const QList<int> &report : std::as_const(m_reports)) {
            QCOMPARE(report.at(1), qMin(report.at(0), kImageSize));
            QCOMPARE(report.at(2), kImageSize);
            QVERIFY(report.at(1) > previous);
            previous = report.at(1);
        }
        QCOMPARE(previous, kImageSize);
        QVERIFY2(
            m_lastProgressText.startsWith(QStringLiteral("更新进度：20000 / 20000 字节（100%）")),
            qPrintable(m_lastProgressText));
    }

    void cancellingDeviceTurnsTheBarRedUntilTheNextUpdate()
    {
        ScriptedDevice::Script script;
        script.faults.cancelAtBlock = 3;
        m_device.setScript(script);
        runUpdate();
        QCOMPARE(m_failures.size(), 1);
        QCOMPARE(m_chunkAtFailure,
                 QStringLiteral(
                     "QProgressBar::chunk { background-color: #dc2626; border-radius: 4px; }"));
        QVERIFY(m_device.hasEvent(QStringLiteral("cancelled")));
        const QString log = Access::log(*m_dialog);
        QVERIFY2(log.contains(QStringLiteral("更新失败：%1").arg(m_failures.first())),
                 qPrintable(log));
        QCOMPARE(Access::status(*m_dialog), QStringLiteral("更新失败"));
        QCOMPARE(Access::state(*m_dialog), Dialog::Connected);

        // The user restarts the device; the next update starts without the red chunk and succeeds.
        m_device.setScript({});
        m_device.restart();
        runUpdate();
        QVERIFY(m_failures.isEmpty());
        QCOMPARE(Access::status(*m_dialog), QStringLiteral("更新完成"));
        QCOMPARE(m_device.receiver().fileData(), m_image);
    }

private:
    // Clicks start and confirms, then waits for the result.
    void runUpdate()
    {
        m_reports.clear();
        m_failures.clear();
        const QStringList shown = confirmAfter(
            [this] { QTest::mouseClick(Access::startButton(*m_dialog), Qt::LeftButton); });
        QCOMPARE(shown.value(2), QStringLiteral("文件：app.bin"));
        QCOMPARE(shown.value(6), QStringLiteral("继续")); // the image check found it plausible
        QVERIFY(Access::updating(*m_dialog));
        QVERIFY(Access::progressBar(*m_dialog)->styleSheet().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!Access::updating(*m_dialog), kUpdateWaitMs);
    }

    QTemporaryDir m_dir;
    QString m_imagePath;
    QByteArray m_image;
    ScriptedDevice m_device;
    std::unique_ptr<Dialog> m_dialog;
    // What the window showed right after each progress report: sent, bar value, bar maximum.
    QList<QList<int>> m_reports;
    QString m_lastProgressText;
    QStringList m_failures;
    QString m_chunkAtFailure;
};

QTEST_MAIN(TestEndToEndUpdate)
#include "tst_e2e_update.moc"
