// The window's side of an update: the checks and the confirmation before it starts, what it
// hands to the worker, the progress text with its rate, and the deferred result presentation.

#include "confirmationanswerer.h"
#include "testsettings.h"
#include "update_access.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
using Access = DialogTestAccess;

const QString kRedChunk =
    QStringLiteral("QProgressBar::chunk { background-color: #dc2626; border-radius: 4px; }");
const QString kPreparing = QStringLiteral("正在准备…");
constexpr int kResultDelayMs = 500;
constexpr int kWaitMs = 3000;
// Long enough for a 500 ms result step to have run if it were going to.
constexpr int kQuietMs = 600;
// Both result steps of one update are due at the same moment; the second runs right after.
constexpr int kSecondStepMs = 100;

QList<PortListing> g_ports;

QSettings store()
{
    return QSettings(QStringLiteral("YourCompany"), QStringLiteral("YourApp"));
}
} // namespace

class TestUpdateFlow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void startNeedsPortAndPath_data();
    void startNeedsPortAndPath();
    void startValidatesTheFile();
    void cancelledConfirmationChangesNothing();
    void confirmedStartHandsTheJobToTheWorker_data();
    void confirmedStartHandsTheJobToTheWorker();
    void startClickWhileUpdatingDoesNothing();

    void progressReports_data();
    void progressReports();
    void twoReportsWithinASecondChangeTheTextOnce();

    void successIsPresentedAfterHalfASecond();
    void failureIsPresentedAfterHalfASecond();
    void failureReportWhileIdleIsIgnored();
    void onlyTheFirstResultIsPresented();
    void redChunkIsGoneAtTheNextUpdate_data();
    void redChunkIsGoneAtTheNextUpdate();
    void resultStepDiesWithTheWindow();

private:
    void makeDialog();
    QString makeFile(const QString &name, qint64 size);
    // Starts an update through the start slot, confirming the dialog.
    void startConfirmed(const QString &path);
    // Sets up the window as if an update of totalBytes were running.
    void pretendUpdating(int totalBytes);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Dialog> m_dialog;
    QStringList m_requests; // what reached the worker's side, in order
};

void TestUpdateFlow::initTestCase()
{
    usePrivateSettingsFolder();
    Dialog::setPortEnumerator([] { return g_ports; });
}

void TestUpdateFlow::init()
{
    store().clear();
    g_ports = {{QStringLiteral("ttyFAKE0"), QStringLiteral("Fake")}};
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    makeDialog();
}

void TestUpdateFlow::cleanup()
{
    m_dialog.reset();
    m_dir.reset();
    m_requests.clear();
}

void TestUpdateFlow::makeDialog()
{
    m_dialog = std::make_unique<Dialog>();
    Dialog *d = m_dialog.get();
    // The worker stays out of these tests: the requests are recorded instead.
    QObject::disconnect(d, &Dialog::requestUpdate, Access::worker(*d), nullptr);
    QObject::disconnect(d, &Dialog::requestSetMaxFirmwareSize, Access::worker(*d), nullptr);
    connect(d, &Dialog::requestSetMaxFirmwareSize, this,
            [this](int bytes) { m_requests << QStringLiteral("limit %1").arg(bytes); });
    connect(d, &Dialog::requestUpdate, this,
            [this](const QString &path) { m_requests << QStringLiteral("update %1").arg(path); });
}

QString TestUpdateFlow::makeFile(const QString &name, qint64 size)
{
    QFile file(m_dir->filePath(name));
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
        qFatal("cannot create %s", qPrintable(file.fileName()));
    return file.fileName();
}

void TestUpdateFlow::startConfirmed(const QString &path)
{
    Access::pathEdit(*m_dialog)->setText(path);
    ConfirmationAnswerer answerer(ConfirmationAnswerer::Confirm);
    Access::startUpdate(*m_dialog);
    QVERIFY(answerer.answered());
}

void TestUpdateFlow::pretendUpdating(int totalBytes)
{
    Access::setUpdating(*m_dialog, true);
    UpdateProgressBar *bar = Access::progressBar(*m_dialog);
    bar->setRange(0, totalBytes);
    bar->setValue(0);
    bar->show();
    Access::statusLabel(*m_dialog)->setText(kPreparing);
    Access::setLastRefresh(*m_dialog, 0, 0);
}

void TestUpdateFlow::startNeedsPortAndPath_data()
{
    QTest::addColumn<bool>("withPort");
    QTest::addColumn<QString>("path");
    QTest::newRow("an empty path") << true << QString();
    QTest::newRow("a path of blanks counts as empty") << true << QStringLiteral("   \t ");
    QTest::newRow("no port in the selector") << false << QStringLiteral("VALID");
}

void TestUpdateFlow::startNeedsPortAndPath()
{
    QFETCH(bool, withPort);
    QFETCH(QString, path);
    if (!withPort) {
        g_ports.clear();
        makeDialog();
    }
    if (path == QLatin1String("VALID"))
        path = makeFile(QStringLiteral("app.bin"), 4096);
    Access::pathEdit(*m_dialog)->setText(path);

    ConfirmationAnswerer answerer(ConfirmationAnswerer::Confirm);
    Access::startUpdate(*m_dialog);
    QVERIFY(!answerer.answered());
    QVERIFY(Access::log(*m_dialog).contains(QStringLiteral("请选择串口和固件文件。")));
    QVERIFY(!Access::updating(*m_dialog));
    QVERIFY(m_requests.isEmpty());
}

void TestUpdateFlow::startValidatesTheFile()
{
    Access::pathEdit(*m_dialog)->setText(makeFile(QStringLiteral("big.bin"), 236545));
    ConfirmationAnswerer answerer(ConfirmationAnswerer::Confirm);
    Access::startUpdate(*m_dialog);
    QVERIFY(!answerer.answered());
    QVERIFY(Access::log(*m_dialog).contains(QStringLiteral("文件为 236545 字节")));
    QVERIFY(!Access::updating(*m_dialog));
    QVERIFY(m_requests.isEmpty());
}

void TestUpdateFlow::cancelledConfirmationChangesNothing()
{
    Access::pathEdit(*m_dialog)->setText(makeFile(QStringLiteral("app.bin"), 4096));
    const QString statusBefore = Access::statusLabel(*m_dialog)->text();
    ConfirmationAnswerer answerer(ConfirmationAnswerer::Cancel);
    Access::startUpdate(*m_dialog);
    QVERIFY(answerer.answered());
    QVERIFY(Access::log(*m_dialog).isEmpty());
    QVERIFY(!Access::updating(*m_dialog));
    QVERIFY(Access::progressBar(*m_dialog)->isHidden());
    QCOMPARE(Access::statusLabel(*m_dialog)->text(), statusBefore);
    QVERIFY(Access::portScanTimer(*m_dialog)->isActive());
    QVERIFY(m_requests.isEmpty());
}

void TestUpdateFlow::confirmedStartHandsTheJobToTheWorker_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QVariant>("storedKB");
    QTest::addColumn<QString>("sizeLine");
    QTest::addColumn<int>("limit");
    QTest::newRow("5000 bytes under the default limit")
        << 5000LL << QVariant() << "大小：4.9 KB" << 236544;
    QTest::newRow("20480 bytes under a stored 100 KiB limit")
        << 20480LL << QVariant(100) << "大小：20 KB" << 102400;
    QTest::newRow("10239 bytes under a stored limit of 0")
        << 10239LL << QVariant(0) << "大小：10.0 KB" << 237440;
}

void TestUpdateFlow::confirmedStartHandsTheJobToTheWorker()
{
    QFETCH(qint64, size);
    QFETCH(QVariant, storedKB);
    QFETCH(QString, sizeLine);
    QFETCH(int, limit);
    if (storedKB.isValid())
        store().setValue(QStringLiteral("maxFirmwareKB"), storedKB);
    const QString path = makeFile(QStringLiteral("app.bin"), size);
    Access::pathEdit(*m_dialog)->setText(QStringLiteral("  %1 \t").arg(path));

    ConfirmationAnswerer answerer(ConfirmationAnswerer::Confirm);
    Access::startUpdate(*m_dialog);
    QVERIFY(answerer.answered());
    QCOMPARE(answerer.title(), QStringLiteral("确认固件更新"));
    QCOMPARE(answerer.lines(), (QStringList{QStringLiteral("串口：ttyFAKE0"),
                                            QStringLiteral("文件：app.bin"), sizeLine}));
    QCOMPARE(answerer.danger(), QStringLiteral("更新过程中请勿断开设备或关闭电源。"));
    QCOMPARE(answerer.cancelText(), QStringLiteral("取消"));
    QCOMPARE(answerer.okText(), QStringLiteral("继续"));

    QVERIFY(Access::log(*m_dialog).contains(QStringLiteral("正在启动固件更新…")));
    QVERIFY(Access::updating(*m_dialog));
    UpdateProgressBar *bar = Access::progressBar(*m_dialog);
    QVERIFY(!bar->isHidden());
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->maximum(), int(size));
    QVERIFY(!Access::startButton(*m_dialog)->isHidden());
    QCOMPARE(Access::statusLabel(*m_dialog)->text(), kPreparing);
    QVERIFY(!Access::portScanTimer(*m_dialog)->isActive());
    QCOMPARE(m_requests, (QStringList{QStringLiteral("limit %1").arg(limit),
                                      QStringLiteral("update %1").arg(path)}));
}

void TestUpdateFlow::startClickWhileUpdatingDoesNothing()
{
    startConfirmed(makeFile(QStringLiteral("app.bin"), 4096));
    const QString log = Access::log(*m_dialog);
    const QStringList requests = m_requests;

    ConfirmationAnswerer answerer(ConfirmationAnswerer::Confirm);
    Access::startUpdate(*m_dialog);
    QVERIFY(!answerer.answered());
    QCOMPARE(Access::log(*m_dialog), log);
    QCOMPARE(m_requests, requests);
    QVERIFY(Access::updating(*m_dialog));
}

void TestUpdateFlow::progressReports_data()
{
    QTest::addColumn<int>("msAgo"); // since the last refresh of the text
    QTest::addColumn<int>("bytesThen");
    QTest::addColumn<int>("sent");
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("barMaximum");
    QTest::addColumn<int>("barValue");
    QTest::addColumn<QString>("text"); // without the rate suffix
    QTest::addColumn<double>("rate");  // about; 0 = no suffix

    QTest::newRow("a report past the total shows the total and 100 %")
        << 0 << 0 << 10240 << 10000 << 10000 << 10000 << "更新进度：10000 / 10000 字节（100%）"
        << 0.0;
    QTest::newRow("a report without a total shows the bytes and 0 %")
        << 2000 << 0 << 4096 << 0 << 0 << 4096 << "更新进度：4096 / 0 字节（0%）" << 2.0;
    QTest::newRow("a report within the second moves only the bar")
        << 300 << 0 << 4096 << 81920 << 81920 << 4096 << kPreparing << 0.0;
    QTest::newRow("a completing report within 100 ms has no rate")
        << 0 << 77824 << 81920 << 81920 << 81920 << 81920 << "更新进度：81920 / 81920 字节（100%）"
        << 0.0;
    QTest::newRow("after two seconds the rate is the interval's average")
        << 2000 << 4096 << 20480 << 65536 << 65536 << 20480 << "更新进度：20480 / 65536 字节（31%）"
        << 8.0;
    QTest::newRow("a report without new bytes shows no rate")
        << 1500 << 4096 << 4096 << 65536 << 65536 << 4096 << "更新进度：4096 / 65536 字节（6%）"
        << 0.0;
}

void TestUpdateFlow::progressReports()
{
    QFETCH(int, msAgo);
    QFETCH(int, bytesThen);
    QFETCH(int, sent);
    QFETCH(int, total);
    QFETCH(int, barMaximum);
    QFETCH(int, barValue);
    QFETCH(QString, text);
    QFETCH(double, rate);

    pretendUpdating(5000);
    Access::setLastRefresh(*m_dialog, msAgo, bytesThen);
    Access::progress(*m_dialog, sent, total);

    UpdateProgressBar *bar = Access::progressBar(*m_dialog);
    QCOMPARE(bar->maximum(), barMaximum);
    QCOMPARE(bar->value(), barValue);
    const QString shown = Access::statusLabel(*m_dialog)->text();
    if (rate == 0.0) {
        QCOMPARE(shown, text);
        return;
    }
    // The interval only grows while the test runs, so the rate can only come out lower.
    static const QRegularExpression suffix(QStringLiteral("^(.*) · (\\d+\\.\\d) KB/s$"));
    const QRegularExpressionMatch match = suffix.match(shown);
    QVERIFY2(match.hasMatch(), qPrintable(shown));
    QCOMPARE(match.captured(1), text);
    const double measured = match.captured(2).toDouble();
    QVERIFY2(measured <= rate + 0.05 && measured > rate * 0.8, qPrintable(shown));
}

void TestUpdateFlow::twoReportsWithinASecondChangeTheTextOnce()
{
    pretendUpdating(81920);
    Access::setLastRefresh(*m_dialog, 1500, 0);
    Access::progress(*m_dialog, 4096, 81920);
    const QString first = Access::statusLabel(*m_dialog)->text();
    QVERIFY2(first.startsWith(QStringLiteral("更新进度：4096 / 81920 字节（5%）")),
             qPrintable(first));

    // The second report comes 300 ms after the first refreshed the text.
    Access::setLastRefresh(*m_dialog, 300, 4096);
    Access::progress(*m_dialog, 8192, 81920);
    QCOMPARE(Access::progressBar(*m_dialog)->value(), 8192);
    QCOMPARE(Access::statusLabel(*m_dialog)->text(), first);

    // Unless it completes the transfer.
    Access::setLastRefresh(*m_dialog, 300, 4096);
    Access::progress(*m_dialog, 81920, 81920);
    QVERIFY2(Access::statusLabel(*m_dialog)->text().startsWith(
                 QStringLiteral("更新进度：81920 / 81920 字节（100%）")),
             qPrintable(Access::statusLabel(*m_dialog)->text()));
}

void TestUpdateFlow::successIsPresentedAfterHalfASecond()
{
    pretendUpdating(5000);
    Access::progress(*m_dialog, 3000, 5000);
    QElapsedTimer clock;
    clock.start();
    Access::success(*m_dialog);

    UpdateProgressBar *bar = Access::progressBar(*m_dialog);
    QCOMPARE(bar->maximum(), 3000);
    QCOMPARE(bar->value(), 3000);
    QVERIFY(Access::updating(*m_dialog));

    QTRY_VERIFY_WITH_TIMEOUT(!Access::updating(*m_dialog), kWaitMs);
    QVERIFY2(clock.elapsed() >= kResultDelayMs - 10, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(bar->isHidden());
    QVERIFY(!Access::startButton(*m_dialog)->isHidden());
    QVERIFY(Access::log(*m_dialog).contains(QStringLiteral("固件更新成功")));
    QCOMPARE(Access::statusLabel(*m_dialog)->text(), QStringLiteral("更新完成"));
    QVERIFY(Access::portScanTimer(*m_dialog)->isActive());
}

void TestUpdateFlow::failureIsPresentedAfterHalfASecond()
{
    pretendUpdating(5000);
    QElapsedTimer clock;
    clock.start();
    Access::failure(*m_dialog, QStringLiteral("设备响应超时"));

    UpdateProgressBar *bar = Access::progressBar(*m_dialog);
    QCOMPARE(bar->styleSheet(), kRedChunk);
    QVERIFY(Access::updating(*m_dialog));

    QTRY_VERIFY_WITH_TIMEOUT(!Access::updating(*m_dialog), kWaitMs);
    QVERIFY2(clock.elapsed() >= kResultDelayMs - 10, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(bar->isHidden());
    QVERIFY(bar->styleSheet().isEmpty());
    QVERIFY(!Access::startButton(*m_dialog)->isHidden());
    QVERIFY(Access::log(*m_dialog).contains(QStringLiteral("更新失败：设备响应超时")));
    QCOMPARE(Access::statusLabel(*m_dialog)->text(), QStringLiteral("更新失败"));
    QVERIFY(Access::portScanTimer(*m_dialog)->isActive());
}

void TestUpdateFlow::failureReportWhileIdleIsIgnored()
{
    const QString status = Access::statusLabel(*m_dialog)->text();
    Access::failure(*m_dialog, QStringLiteral("设备未连接"));
    QVERIFY(Access::progressBar(*m_dialog)->styleSheet().isEmpty());
    QTest::qWait(kQuietMs);
    QVERIFY(Access::log(*m_dialog).isEmpty());
    QCOMPARE(Access::statusLabel(*m_dialog)->text(), status);
}

void TestUpdateFlow::onlyTheFirstResultIsPresented()
{
    pretendUpdating(5000);
    Access::success(*m_dialog);
    Access::failure(*m_dialog, QStringLiteral("late"));
    QTRY_VERIFY_WITH_TIMEOUT(!Access::updating(*m_dialog), kWaitMs);
    QTest::qWait(kSecondStepMs);
    const QString log = Access::log(*m_dialog);
    QCOMPARE(log.count(QStringLiteral("固件更新成功")), 1);
    QVERIFY(!log.contains(QStringLiteral("更新失败")));
    QCOMPARE(Access::statusLabel(*m_dialog)->text(), QStringLiteral("更新完成"));
}

void TestUpdateFlow::redChunkIsGoneAtTheNextUpdate_data()
{
    QTest::addColumn<bool>("strayFailureAfterSuccess");
    QTest::newRow("after a presented failure") << false;
    QTest::newRow("after a stray failure report that followed a success") << true;
}

void TestUpdateFlow::redChunkIsGoneAtTheNextUpdate()
{
    QFETCH(bool, strayFailureAfterSuccess);
    pretendUpdating(5000);
    if (strayFailureAfterSuccess)
        Access::success(*m_dialog);
    Access::failure(*m_dialog, QStringLiteral("用户取消更新"));
    QTRY_VERIFY_WITH_TIMEOUT(!Access::updating(*m_dialog), kWaitMs);
    QTest::qWait(kSecondStepMs); // both result steps have run

    startConfirmed(makeFile(QStringLiteral("app.bin"), 4096));
    QVERIFY(Access::updating(*m_dialog));
    QVERIFY(!Access::progressBar(*m_dialog)->isHidden());
    QVERIFY(Access::progressBar(*m_dialog)->styleSheet().isEmpty());
}

void TestUpdateFlow::resultStepDiesWithTheWindow()
{
    pretendUpdating(5000);
    Access::success(*m_dialog);
    Access::failure(*m_dialog, QStringLiteral("x"));
    m_dialog.reset();
    QTest::qWait(kQuietMs); // would crash if a result step outlived the window
    QVERIFY(!m_dialog);
}

QTEST_MAIN(TestUpdateFlow)
#include "tst_update_flow.moc"
