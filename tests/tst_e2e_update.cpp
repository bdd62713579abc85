// End to end through the window: the real Dialog, its worker thread and a device on a
// pseudo-terminal. A user types the simulator's port and the image's path, connects, starts and
// confirms, as the README tells; then cancels an update on a scripted device from the window.
// Renders of the update, its cancellation and the failure go to $FW_TEST_ARTIFACTS.

#include "scripteddevice.h"
#include "simulatorprocess.h"
#include "window_access.h"

#include <QRandomGenerator>
#include <QTest>

#include <chrono>

using namespace std::chrono_literals;

namespace {
constexpr int kImageSize = 20000;
constexpr int kConnectWaitMs = 5000;
// A whole update with the shortened time limits, including the 500 ms result step.
constexpr int kUpdateWaitMs = 20000;

// A USB adapter as the system lists it.
PortListing adapter(const QString &name)
{
    PortListing port(name, QStringLiteral("Simulated device"));
    port.serialNumber = QStringLiteral("SIM-A1");
    return port;
}

} // namespace

class TestEndToEndUpdate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_device.isValid());
        useTestEnvironment({{m_device.portName(), QStringLiteral("Scripted device")}});
        QByteArray image(kImageSize, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(image.data()),
                                              kImageSize / 4);
        m_imagePath =
            makeFile(m_dir, QStringLiteral("app.bin"), kImageSize, withVectorTable(image));

        m_dialog = std::make_unique<Dialog>();
        // Broken runs end within seconds instead of a minute; the worker has had no request yet.
        DeviceTimeouts timeouts;
        timeouts.handshake = 8000ms;
        timeouts.blockReply = timeouts.dataBlockReply = 1500ms;
        SerialWorker *worker = win().worker();
        worker->setTimeoutsForTesting(timeouts);
        connect(worker, &SerialWorker::updateFailed, this,
                [this](const QString &reason) { m_failures.append(reason); });
        m_dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    }
    void cleanupTestCase() { m_dialog.reset(); }

    void typedSimulatorPortAndImageThroughTheWidgets()
    {
        // The simulated device restarts into its new application on a new port, as a USB adapter
        // in the device re-enumerates; the system lists both ports with the adapter's serial
        // number.
        QTemporaryDir out; // where the simulator keeps what it received
        Simulator simulator({"--unpaced", "--reenumerate-after-update", "300",
                             "--idn-after-update", "Orvane,TM-1,SN0001,1.0.39", "--output",
                             out.path(), "--expect", m_imagePath});
        const QString port = simulator.port();
        QVERIFY2(!port.isEmpty(), qPrintable(simulator.errors()));
        const QString link = out.filePath(QStringLiteral("ttySIM0"));
        QVERIFY(QFile::link(port, link));
        g_ports = {adapter(link)};

        win().portSelector()->lineEdit()->clear();
        QTest::keyClicks(win().portSelector()->lineEdit(), link);
        QTest::mouseClick(win().connectButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(win().state(), Dialog::Connected, kConnectWaitMs);
        QVERIFY(QFile::remove(link)); // the old name never comes back
        win().pathField()->clear();
        QTest::keyClicks(win().pathField(), m_imagePath);
        QTest::keyClick(win().pathField(), Qt::Key_Return);
        const QStringList shown = confirmAfter(
            [this] { QTest::mouseClick(win().startButton(), Qt::LeftButton); }, true,
            QStringLiteral("update-confirmation.png"));
        // A start right after connecting waits for the device's answer, which the confirmation
        // names.
        QCOMPARE(shown.mid(2, 2), QStringList({"设备：TM-1 · SN0001 · 当前版本 1.0.38",
                                               "文件：app.bin"}));
        QCOMPARE(shown.value(7), QStringLiteral("继续")); // the image check found it plausible
        const QString again = simulator.waitFor(
            QStringLiteral("Port to use: \\S+[\\s\\S]*Port to use: (\\S+)"), kUpdateWaitMs);
        QVERIFY2(!again.isEmpty(), qPrintable(simulator.output()));
        g_ports = {adapter(again)};

        // The window finds the device by its serial number, connects and reads the new version.
        const QString confirmed = QStringLiteral("设备已运行新固件：版本 1.0.39（更新前 1.0.38）");
        QTRY_VERIFY_WITH_TIMEOUT(win().logText().contains(confirmed), kUpdateWaitMs);
        QVERIFY(m_failures.isEmpty());
        const QStringList lines = win().logLines();
        QCOMPARE(lines.mid(lines.indexOf("固件更新成功")),
                 QStringList({"固件更新成功", "设备正在重启（串口已断开）", "已连接：" + again,
                              confirmed}));
        QVERIFY2(!lines.join('|').contains(QStringLiteral("串口错误")), qPrintable(lines.join('\n')));
        QCOMPARE(win().status(), confirmed);
        QCOMPARE(win().selectedPort(), again);
        QVERIFY(!simulator.waitFor(QStringLiteral("the image MATCHED")).isEmpty());
        saveArtifact(m_dialog->grab(), QStringLiteral("update-confirmed.png"));

        QTest::mouseClick(win().connectButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(win().state(), Dialog::Disconnected, kConnectWaitMs);
        g_ports = {{m_device.portName(), QStringLiteral("Scripted device")}};
        win().scan();
    }

    void userCancelsFromTheWindow()
    {
        // The device stops answering at block 3: the update waits there for the user.
        ScriptedDevice::Script script;
        script.faults.silentAtBlock = 3;
        m_device.setScript(script);
        win().portSelector()->setCurrentIndex(0);
        QTest::mouseClick(win().connectButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(win().state(), Dialog::Connected, kConnectWaitMs);
        QPushButton *start = win().startButton();
        confirmAfter([start] { QTest::mouseClick(start, Qt::LeftButton); });
        QTRY_VERIFY2_WITH_TIMEOUT(m_device.hasEvent(QStringLiteral("block:3")), qPrintable(win().logText() + m_device.events().join(" ")), kUpdateWaitMs);
        QVERIFY(win().updating());
        saveArtifact(m_dialog->grab(), QStringLiteral("update-in-progress.png"));

        QStringList asked;
        const auto answer = answerNextModal([this, &asked](QWidget *box) {
            saveArtifact(grabWithModal(m_dialog.get(), box),
                         QStringLiteral("cancel-confirmation.png"));
            for (const QLabel *label : box->findChildren<QLabel *>())
                asked << label->text();
            box->findChild<QPushButton *>(QStringLiteral("confirmOk"))->click();
        });
        QTest::mouseClick(start, Qt::LeftButton);
        QVERIFY2(asked.join(' ').contains(QStringLiteral("bootloader")),
                 qPrintable(asked.join('|')));
        QTRY_VERIFY_WITH_TIMEOUT(!win().updating(), kUpdateWaitMs);

        QCOMPARE(m_failures, QStringList{QStringLiteral("用户取消更新")});
        QCOMPARE(win().status(), QStringLiteral("更新失败：用户取消更新"));
        QVERIFY(!m_device.hasEvent(QStringLiteral("finished")));
        QCOMPARE(start->text(), QStringLiteral("开始"));
        saveArtifact(m_dialog->grab(), QStringLiteral("update-failed.png"));
    }

private:
    QTemporaryDir m_dir;
    QString m_imagePath;
    ScriptedDevice m_device;
    std::unique_ptr<Dialog> m_dialog;
    DialogTestAccess win() const { return DialogTestAccess(*m_dialog); }
    QStringList m_failures;
};

QTEST_MAIN(TestEndToEndUpdate)
#include "tst_e2e_update.moc"
