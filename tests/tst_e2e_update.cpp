// End to end through the window: the real Dialog, its worker thread and the device simulator on
// a pseudo-terminal. A user types the simulator's port and the image's path, connects, starts and
// confirms, as the README tells; cancels an update, starts the next one, and closes the window
// during a third. Each attempt is one record in the store. Renders of the update, its
// cancellation and the failure go to $FW_TEST_ARTIFACTS.

#include "app/historydialog.h"
#include "production/unitrecord.h"
#include "records/recordtablemodel.h"
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
// A user starts the next update this long after a cancel.
constexpr auto kUserPause = 2s;

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
        useTestEnvironment({});
        store().setValue(QStringLiteral("recordsUrl"), m_url);
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
        // The history, open during the update, shows its record when it is written.
        win().showHistory();
        RecordTableModel *history = m_dialog->findChild<HistoryDialog *>()->model();
        QCOMPARE(history->rowCount(), 0);
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

        // The record: where, which unit and image, how it went, what answered after.
        const QList<UpdateRecord> records = recordsIn(m_url);
        QCOMPARE(records.size(), 1);
        const UpdateRecord &r = records.first();
        QCOMPARE(QStringList({r.program, r.port, r.usbSerial, r.identBefore, r.maker, r.model,
                              r.unitSerial, r.versionBefore, r.imageName, r.imageSha256,
                              r.imageCheck, r.startCommand, r.outcome, r.identAfter,
                              r.versionAfter}),
                 QStringList({"fwupdater", link, "SIM-A1", "Orvane,TM-1,SN0001,1.0.38", "Orvane",
                              "TM-1", "SN0001", "1.0.38", "app.bin",
                              Production::sha256Hex(readBytes(m_imagePath)), "plausible",
                              "*FWUPD", "success", "Orvane,TM-1,SN0001,1.0.39", "1.0.39"}));
        QVERIFY(r.versionConfirmed && r.reasonCode.isEmpty());
        QCOMPARE(r.bytesSent, kImageSize);
        QVERIFY(r.durationMs > 0);
        QCOMPARE(history->rowCount(), 1);
        QCOMPARE(history->index(0, RecordTableModel::Version).data().toString(),
                 QStringLiteral("1.0.38 → 1.0.39"));
        m_dialog->findChild<HistoryDialog *>()->close();

        QTest::mouseClick(win().connectButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(win().state(), Dialog::Disconnected, kConnectWaitMs);
    }

    // A cancel from the window tells the device, whose next update, started by the user a moment
    // later, succeeds; closing the window during an update tells the device too.
    void cancelTellsTheDeviceAndTheNextUpdateSucceeds()
    {
        // Paced at 38400 baud the transfer takes about 5 s: time to cancel it while it runs.
        Simulator simulator({"--baud", "38400", "--idn-after-update", "Orvane,TM-1,SN0001,1.0.39"});
        const QString port = simulator.port();
        QVERIFY2(!port.isEmpty(), qPrintable(simulator.errors()));
        win().portSelector()->lineEdit()->clear();
        QTest::keyClicks(win().portSelector()->lineEdit(), port);
        QTest::mouseClick(win().connectButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(win().state(), Dialog::Connected, kConnectWaitMs);
        win().clearLog(); // the confirmation of the update before is in it
        QPushButton *start = win().startButton();
        const auto startTransfer = [&] {
            QVERIFY(!confirmAfter([start] { QTest::mouseClick(start, Qt::LeftButton); }).isEmpty());
            QTRY_VERIFY_WITH_TIMEOUT(win().progressBar()->value() > 0, kUpdateWaitMs);
        };
        const QString cancelled = QStringLiteral("The sender cancelled the transfer \\(CAN\\)");

        startTransfer();
        saveArtifact(m_dialog->grab(), QStringLiteral("update-in-progress.png"));
        const auto answer = answerNextModal([this](QWidget *box) {
            saveArtifact(grabWithModal(m_dialog.get(), box),
                         QStringLiteral("cancel-confirmation.png"));
            box->findChild<QPushButton *>(QStringLiteral("confirmOk"))->click();
        });
        QTest::mouseClick(start, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!win().updating(), kUpdateWaitMs);
        QCOMPARE(win().status(), QStringLiteral("更新失败：用户取消更新"));
        saveArtifact(m_dialog->grab(), QStringLiteral("update-failed.png"));
        QVERIFY2(!simulator.waitFor(cancelled).isEmpty(), qPrintable(simulator.output()));
        QList<UpdateRecord> records = recordsIn(m_url);
        QCOMPARE(records.size(), 2);
        QCOMPARE(QStringList({records[0].outcome, records[0].reasonCode}),
                 QStringList({"interrupted", "user-cancelled"}));
        QVERIFY(records[0].bytesSent > 0 && records[0].bytesSent < kImageSize);

        QTest::qWait(int(std::chrono::milliseconds(kUserPause).count()));
        QVERIFY(!confirmAfter([start] { QTest::mouseClick(start, Qt::LeftButton); }).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(win().logText().contains("设备已运行新固件：版本 1.0.39"),
                                 kUpdateWaitMs);
        const UpdateRecord success = recordsIn(m_url).first();
        QVERIFY(success.outcome == QLatin1String("success") && success.rateKBps > 0);

        // Closing the window during the next update: the worker tells the device before it goes.
        startTransfer();
        const auto close = answerNextModal([](QWidget *box) {
            box->findChild<QPushButton *>(QStringLiteral("confirmOk"))->click();
        });
        QVERIFY(m_dialog->close());
        QVERIFY2(!simulator.waitFor(cancelled + QStringLiteral("[\\s\\S]*") + cancelled).isEmpty(),
                 qPrintable(simulator.output()));
        records = recordsIn(m_url);
        QCOMPARE(records.size(), 4);
        QCOMPARE(QStringList({records[0].outcome, records[0].reasonCode, records[0].reason}),
                 QStringList({"interrupted", "user-cancelled", "用户取消更新"}));
    }

private:
    QTemporaryDir m_dir;
    QString m_url = QStringLiteral("sqlite://") + m_dir.filePath(QStringLiteral("records.sqlite"));
    QString m_imagePath;
    std::unique_ptr<Dialog> m_dialog;
    DialogTestAccess win() const { return DialogTestAccess(*m_dialog); }
    QStringList m_failures;
};

QTEST_MAIN(TestEndToEndUpdate)
#include "tst_e2e_update.moc"
