// End to end through the window: the real Dialog, its worker thread and a device on a
// pseudo-terminal. A user types the simulator's port and the image's path, connects, starts and
// confirms, as the README tells; then, with a scripted device picked from the list, drops an
// image, sees a device that cancels turn the bar red, and follows the next update's progress to
// the bar and the status text; and cancels an update from the window. Renders of the update, its
// cancellation and the failure go to $FW_TEST_ARTIFACTS.

#include "scripteddevice.h"
#include "simulatorprocess.h"
#include "window_access.h"

#include <QDir>
#include <QPainter>
#include <QRandomGenerator>
#include <QTest>

#include <chrono>

using namespace std::chrono_literals;

namespace {
constexpr int kImageSize = 20000;
constexpr int kConnectWaitMs = 5000;
// A whole update with the shortened time limits, including the 500 ms result step.
constexpr int kUpdateWaitMs = 20000;

void saveArtifact(const QPixmap &picture, const QString &name)
{
    const QString folder = qEnvironmentVariable("FW_TEST_ARTIFACTS", QDir::tempPath());
    QDir().mkpath(folder);
    if (picture.save(QDir(folder).filePath(name)))
        qInfo("rendered to %s", qPrintable(QDir(folder).filePath(name)));
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
        timeouts.blockReply = timeouts.dataBlockReply = 1500ms;
        SerialWorker *worker = win().worker();
        worker->setTimeoutsForTesting(timeouts);
        // Queued to this thread after the window's own connections, so each lambda sees what the
        // window made of the report.
        connect(worker, &SerialWorker::progress, this, [this](int sent, int) {
            m_reports.append({sent, win().progressBar()->value(), win().progressBar()->maximum()});
            m_lastProgressText = win().status();
        });
        connect(worker, &SerialWorker::updateFailed, this, [this](const QString &reason) {
            m_failures.append(reason);
            m_chunkAtFailure = win().progressBar()->styleSheet();
        });
        m_dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    }
    void cleanupTestCase() { m_dialog.reset(); }

    void typedSimulatorPortAndImageThroughTheWidgets()
    {
        QTemporaryDir out;
        Simulator simulator(
            {"--unpaced", "--once", "--output", out.path(), "--expect", m_imagePath});
        const QString port = simulator.port();
        QVERIFY2(!port.isEmpty(), qPrintable(simulator.errors()));

        QLineEdit *portField = win().portSelector()->lineEdit();
        portField->clear();
        QTest::keyClicks(portField, port);
        QTest::mouseClick(win().connectButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(win().state(), Dialog::Connected, kConnectWaitMs);
        win().pathField()->clear();
        QTest::keyClicks(win().pathField(), m_imagePath);
        QTest::keyClick(win().pathField(), Qt::Key_Return);
        runUpdate();

        // The simulator checked every block and the image against the file, and saved it.
        QCOMPARE(simulator.finish(), 0);
        QFile saved(QDir(out.path()).filePath(QStringLiteral("app.bin")));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), m_image);
        // Its line is gone with it, which the window tells after the success. A slow machine may
        // not have noticed yet: the user then disconnects, as after any update.
        if (!QTest::qWaitFor([this] { return win().state() == Dialog::Disconnected; },
                             kConnectWaitMs))
            QTest::mouseClick(win().connectButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(win().state(), Dialog::Disconnected, kConnectWaitMs);
        const QString log = win().logText();
        const qsizetype success = log.indexOf(QStringLiteral("固件更新成功"));
        QVERIFY2(success >= 0 && success < log.lastIndexOf(QStringLiteral("已断开连接")),
                 qPrintable(log));
    }

    void droppedImageFailsRedOnACancellingDeviceThenSucceeds()
    {
        win().portSelector()->setCurrentIndex(0);
        QTest::mouseClick(win().connectButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(win().state(), Dialog::Connected, kConnectWaitMs);
        QVERIFY(dropUrls(*m_dialog, {QUrl::fromLocalFile(m_imagePath)}));
        QCOMPARE(win().pathField()->text(), m_imagePath);
        ScriptedDevice::Script script;
        script.faults.cancelAtBlock = 3;
        m_device.setScript(script);
        runUpdate();
        QCOMPARE(m_failures.size(), 1);
        QCOMPARE(m_chunkAtFailure,
                 "QProgressBar::chunk { background-color: #dc2626; border-radius: 4px; }");
        QVERIFY(m_device.hasEvent(QStringLiteral("cancelled")));
        const QString failed = QStringLiteral("更新失败：%1").arg(m_failures.first());
        QVERIFY2(win().logText().contains(failed), qPrintable(win().logText()));
        QCOMPARE(win().status(), failed);
        QCOMPARE(win().state(), Dialog::Connected);

        // The user restarts the device; the next update starts without the red chunk (runUpdate
        // checks) and succeeds, every report reaching the bar and the last the status text.
        m_device.setScript({});
        m_device.restart();
        runUpdate();
        QVERIFY(m_failures.isEmpty());
        QVERIFY2(win().logText().contains(QStringLiteral("固件更新成功")),
                 qPrintable(win().logText()));
        QCOMPARE(win().status(), QStringLiteral("更新完成"));
        QCOMPARE(m_device.receiver().fileData(), m_image);
        QVERIFY2(m_reports.size() >= 2, qPrintable(QString::number(m_reports.size())));
        int previous = 0;
        for (const QList<int> &report : std::as_const(m_reports)) {
            QCOMPARE(report.mid(1), (QList<int>{qMin(report.at(0), kImageSize), kImageSize}));
            QVERIFY(report.at(1) > previous);
            previous = report.at(1);
        }
        QCOMPARE(previous, kImageSize);
        QVERIFY2(m_lastProgressText.startsWith("更新进度：20000 / 20000 字节（100%）"),
                 qPrintable(m_lastProgressText));
    }

    void userCancelsFromTheWindow()
    {
        // The device stops answering at block 3: the update waits there for the user.
        ScriptedDevice::Script script;
        script.faults.silentAtBlock = 3;
        m_device.setScript(script);
        m_device.restart();
        for (int line = 0; line < 60; ++line)
            m_dialog->logMessage(QStringLiteral("日志第 %1 行").arg(line), Dialog::Info);
        const int block3Before = m_device.countEvents(QStringLiteral("block:3"));
        const int finishedBefore = m_device.countEvents(QStringLiteral("finished"));
        m_failures.clear();
        QPushButton *start = win().startButton();
        confirmAfter([start] { QTest::mouseClick(start, Qt::LeftButton); });
        QTRY_VERIFY_WITH_TIMEOUT(m_device.countEvents("block:3") > block3Before, kUpdateWaitMs);
        QVERIFY(win().updating());
        saveArtifact(m_dialog->grab(), QStringLiteral("update-in-progress.png"));

        QStringList asked;
        const auto answer = answerNextModal([this, &asked](QWidget *box) {
            QPixmap shot = m_dialog->grab();
            QPainter(&shot).drawPixmap(box->mapToGlobal(QPoint()) - m_dialog->mapToGlobal(QPoint()),
                                       box->grab());
            saveArtifact(shot, QStringLiteral("cancel-confirmation.png"));
            for (const QLabel *label : box->findChildren<QLabel *>())
                asked << label->text();
            box->findChild<QPushButton *>(QStringLiteral("confirmOk"))->click();
        });
        QCOMPARE(start->text(), QStringLiteral("取消更新"));
        QTest::mouseClick(start, Qt::LeftButton);
        QVERIFY2(asked.join(' ').contains(QStringLiteral("bootloader")),
                 qPrintable(asked.join('|')));
        QTRY_VERIFY_WITH_TIMEOUT(!win().updating(), kUpdateWaitMs);

        QCOMPARE(m_failures, QStringList{QStringLiteral("用户取消更新")});
        QCOMPARE(win().status(), QStringLiteral("更新失败：用户取消更新"));
        QVERIFY(win().logText().contains(QStringLiteral("更新失败：用户取消更新")));
        QCOMPARE(m_device.countEvents(QStringLiteral("finished")), finishedBefore);
        QCOMPARE(start->text(), QStringLiteral("开始"));
        saveArtifact(m_dialog->grab(), QStringLiteral("update-failed.png"));
    }

private:
    // Clicks start and confirms, then waits for the result.
    void runUpdate()
    {
        m_reports.clear();
        m_failures.clear();
        const QStringList shown =
            confirmAfter([this] { QTest::mouseClick(win().startButton(), Qt::LeftButton); });
        QCOMPARE(shown.value(2), QStringLiteral("文件：app.bin"));
        QCOMPARE(shown.value(6), QStringLiteral("继续")); // the image check found it plausible
        QVERIFY(win().updating());
        QVERIFY(win().progressBar()->styleSheet().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!win().updating(), kUpdateWaitMs);
    }

    QTemporaryDir m_dir;
    QString m_imagePath;
    QByteArray m_image;
    ScriptedDevice m_device;
    std::unique_ptr<Dialog> m_dialog;
    DialogTestAccess win() const { return DialogTestAccess(*m_dialog); }
    // What the window showed right after each progress report: sent, bar value, bar maximum.
    QList<QList<int>> m_reports;
    QString m_lastProgressText;
    QStringList m_failures;
    QString m_chunkAtFailure;
};

QTEST_MAIN(TestEndToEndUpdate)
#include "tst_e2e_update.moc"
