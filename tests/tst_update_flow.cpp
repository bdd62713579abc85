// The window's side of an update: the checks and the confirmation before it starts, what it hands
// to the worker, the progress text with its rate, and the deferred result.

#include "update_access.h"

#include <QElapsedTimer>
#include <QTest>

#include <memory>

namespace {
const QString kRedChunk =
    QStringLiteral("QProgressBar::chunk { background-color: #dc2626; border-radius: 4px; }");
constexpr int kResultDelayMs = 500;
constexpr int kWaitMs = 3000;
// Two progress reports closer together than the once-a-second text refresh.
constexpr int kReportGapMs = 300;
// Both result steps of one update are due at the same moment; the second runs right after.
constexpr int kSecondStepMs = 100;
} // namespace

class TestUpdateFlow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { useTestEnvironment(); }
    void cleanup() { m_dialog.reset(); }
    void init()
    {
        store().clear();
        g_ports = {{QStringLiteral("ttyFAKE0"), QStringLiteral("Fake")}};
        m_image = makeFile(m_dir, QStringLiteral("app.bin"), 4096);
        makeDialog();
    }

    void refusedBeforeTheConfirmation_data()
    {
        QTest::addColumn<bool>("withPort");
        QTest::addColumn<QString>("path"); // "IMAGE": a valid image, "BIG": one too large
        QTest::addColumn<QString>("message");
        const QString choose = QStringLiteral("请选择串口和固件文件。");
        QTest::newRow("an empty path") << true << "" << choose;
        QTest::newRow("a path of blanks counts as empty") << true << "   \t " << choose;
        QTest::newRow("no port in the selector") << false << "IMAGE" << choose;
        QTest::newRow("a too large image") << true << "BIG"
                                           << "文件为 236545 字节";
    }

    void refusedBeforeTheConfirmation()
    {
        QFETCH(bool, withPort);
        QFETCH(QString, path);
        QFETCH(QString, message);
        if (!withPort) {
            g_ports.clear();
            makeDialog();
        }
        if (path == QLatin1String("IMAGE"))
            path = m_image;
        else if (path == QLatin1String("BIG"))
            path = makeFile(m_dir, QStringLiteral("big.bin"), 236545);
        Access::pathEdit(*m_dialog)->setText(path);
        QVERIFY(startUpdate(*m_dialog).isEmpty());
        QVERIFY2(Access::log(*m_dialog).contains(message), qPrintable(Access::log(*m_dialog)));
        QVERIFY(!Access::updating(*m_dialog));
        QVERIFY(m_requests.isEmpty());
    }

    void cancelledConfirmationChangesNothing()
    {
        Access::pathEdit(*m_dialog)->setText(m_image);
        const QString status = Access::status(*m_dialog);
        QVERIFY(!startUpdate(*m_dialog, false).isEmpty());
        QVERIFY(Access::log(*m_dialog).isEmpty());
        QVERIFY(!Access::updating(*m_dialog));
        QVERIFY(Access::progressBar(*m_dialog)->isHidden());
        QCOMPARE(Access::status(*m_dialog), status);
        QVERIFY(Access::portScanTimer(*m_dialog)->isActive());
        QVERIFY(m_requests.isEmpty());
    }

    void confirmedStartHandsTheJobToTheWorkerOnce_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QVariant>("storedKB");
        QTest::addColumn<QString>("sizeLine");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QByteArray>("start");   // empty: a plausible vector table
        QTest::addColumn<QStringList>("notice"); // the red line and the confirm button
        const QStringList plain{"继续"};
        QTest::newRow("5000 bytes read 4.9 KB; the default limit goes to the worker")
            << 5000LL << QVariant() << "大小：4.9 KB" << 236544 << QByteArray() << plain;
        QTest::newRow("10239 bytes read 10.0 KB; a stored 0 gives 237440")
            << 10239LL << QVariant(0) << "大小：10.0 KB" << 237440 << QByteArray() << plain;
        QTest::newRow("10240 bytes read 10 KB")
            << 10240LL << QVariant() << "大小：10 KB" << 236544 << QByteArray() << plain;
        QTest::newRow("20070 bytes round to 20 KB; a stored 100 gives 102400")
            << 20070LL << QVariant(100) << "大小：20 KB" << 102400 << QByteArray() << plain;
        QTest::newRow("a whole-flash image is named in red, and 仍然更新 sends it all the same")
            << 5000LL << QVariant() << "大小：4.9 KB" << 236544
            << QByteArray::fromHex("00500020c5010008")
            << QStringList{"像是整片 Flash 镜像（含 bootloader，链接地址 0x08000000）", "仍然更新"};
    }

    void confirmedStartHandsTheJobToTheWorkerOnce()
    {
        QFETCH(qint64, size);
        QFETCH(QVariant, storedKB);
        QFETCH(QString, sizeLine);
        QFETCH(int, limit);
        QFETCH(QByteArray, start);
        QFETCH(QStringList, notice);
        if (storedKB.isValid())
            store().setValue(QStringLiteral("maxFirmwareKB"), storedKB);
        const QString path = makeFile(m_dir, QStringLiteral("app.bin"), size, start);
        Access::pathEdit(*m_dialog)->setText(QStringLiteral("  %1 \t").arg(path));

        const QString ok = notice.takeLast();
        QCOMPARE(startUpdate(*m_dialog),
                 QStringList({"确认固件更新", "串口：ttyFAKE0", "文件：app.bin", sizeLine}) +
                     notice + QStringList({"更新过程中请勿断开设备或关闭电源。", "取消", ok}));
        const QString log = Access::log(*m_dialog);
        QVERIFY2(log.contains(QStringLiteral("正在启动固件更新…")), qPrintable(log));
        QCOMPARE(log.contains(QStringLiteral("警告：") + notice.value(0)), !notice.isEmpty());
        QVERIFY(Access::updating(*m_dialog));
        UpdateProgressBar *bar = Access::progressBar(*m_dialog);
        QVERIFY(!bar->isHidden());
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->maximum(), int(size));
        QCOMPARE(Access::status(*m_dialog), QStringLiteral("正在准备…"));
        QVERIFY(!Access::portScanTimer(*m_dialog)->isActive());
        const QStringList requests{QStringLiteral("limit %1").arg(limit),
                                   QStringLiteral("update %1").arg(path)};
        QCOMPARE(m_requests, requests);
        // The start button now cancels: it asks first, and keeping the update changes nothing.
        QCOMPARE(startUpdate(*m_dialog, false).value(0), QStringLiteral("取消更新"));
        QCOMPARE(m_requests, requests);
        QVERIFY(Access::startButton(*m_dialog)->isEnabled());
        // Confirmed, the abort goes to the worker once and the button has nothing more to do.
        QCOMPARE(startUpdate(*m_dialog, true).value(0), QStringLiteral("取消更新"));
        QCOMPARE(m_requests, requests + QStringList{QStringLiteral("abort")});
        QVERIFY(!Access::startButton(*m_dialog)->isEnabled());
        QVERIFY(startUpdate(*m_dialog).isEmpty());
        QCOMPARE(m_requests.count(QStringLiteral("abort")), 1);
    }

    void progressReports_data()
    {
        QTest::addColumn<int>("msAgo"); // since the text was last written
        QTest::addColumn<int>("bytesThen");
        QTest::addColumn<int>("sent");
        QTest::addColumn<int>("total");
        QTest::addColumn<QString>("text");
        QTest::newRow("a report past the total shows the total and 100 %")
            << 0 << 0 << 10240 << 10000 << "更新进度：10000 / 10000 字节（100%）";
        QTest::newRow("a report without a total shows the bytes and 0 %")
            << 60000 << 0 << 122880 << 0 << "更新进度：122880 / 0 字节（0%） · 2.0 KB/s";
        QTest::newRow("a completing report within 100 ms has no rate")
            << 30 << 77824 << 81920 << 81920 << "更新进度：81920 / 81920 字节（100%）";
        // A minute-long interval keeps the rounded rate the same however slowly the test runs.
        QTest::newRow("the rate is the average over the interval since the last text")
            << 60000 << 16384 << 507904 << 1048576
            << "更新进度：507904 / 1048576 字节（48%） · 8.0 KB/s";
    }

    void progressReports()
    {
        QFETCH(int, msAgo);
        QFETCH(int, bytesThen);
        QFETCH(int, sent);
        QFETCH(int, total);
        QFETCH(QString, text);
        pretendUpdating();
        Access::setLastRefresh(*m_dialog, msAgo, bytesThen);
        Access::progress(*m_dialog, sent, total);
        QCOMPARE(Access::status(*m_dialog), text);
        QCOMPARE(Access::progressBar(*m_dialog)->maximum(), total);
        const int barValue = Access::progressBar(*m_dialog)->value();
        QVERIFY(text.startsWith(QStringLiteral("更新进度：%1 / ").arg(barValue)));
    }

    void twoReportsWithinASecondChangeTheTextOnce()
    {
        pretendUpdating();
        Access::setLastRefresh(*m_dialog, 1500, 0);
        Access::progress(*m_dialog, 4096, 81920);
        const QString first = Access::status(*m_dialog);
        QVERIFY2(first.startsWith(QStringLiteral("更新进度：4096 / 81920 字节（5%）")),
                 qPrintable(first));
        QTest::qWait(kReportGapMs);
        Access::progress(*m_dialog, 8192, 81920);
        QCOMPARE(Access::progressBar(*m_dialog)->value(), 8192);
        QCOMPARE(Access::status(*m_dialog), first);
    }

    void resultIsPresentedAfterHalfASecond_data()
    {
        QTest::addColumn<QString>("error"); // empty: success
        QTest::addColumn<bool>("portLost"); // the line drops right after the report
        QTest::addColumn<QString>("logged");
        QTest::addColumn<QString>("status");
        QTest::newRow("success fills the bar, then logs and shows it")
            << "" << false << "固件更新成功" << "更新完成";
        QTest::newRow("failure turns the bar red, then logs and shows the reason")
            << "设备响应超时" << false << "更新失败：设备响应超时" << "更新失败：设备响应超时";
        QTest::newRow("a line lost right after the success is told after the success")
            << "" << true << "固件更新成功" << "等待连接…";
        QTest::newRow("a reason too long for the status bar is cut there, whole in its tooltip")
            << QString(300, QChar(u'长')) << false << QString(300, QChar(u'长'))
            << "更新失败：" + QString(300, QChar(u'长'));
    }

    void resultIsPresentedAfterHalfASecond()
    {
        QFETCH(QString, error);
        QFETCH(bool, portLost);
        QFETCH(QString, logged);
        QFETCH(QString, status);
        m_dialog->show();
        pretendUpdating();
        Access::progress(*m_dialog, 3000, 5000);
        QElapsedTimer clock;
        clock.start();
        UpdateProgressBar *bar = Access::progressBar(*m_dialog);
        if (error.isEmpty()) {
            Access::success(*m_dialog);
            QCOMPARE(bar->maximum(), 3000);
            QCOMPARE(bar->value(), 3000);
        } else {
            Access::failure(*m_dialog, error);
            QCOMPARE(bar->styleSheet(), kRedChunk);
        }
        if (portLost)
            Access::portLost(*m_dialog);
        QVERIFY(Access::updating(*m_dialog));

        QTRY_VERIFY_WITH_TIMEOUT(!Access::updating(*m_dialog), kWaitMs);
        QVERIFY2(clock.elapsed() >= kResultDelayMs - 10,
                 qPrintable(QString::number(clock.elapsed())));
        QVERIFY(bar->isHidden());
        QVERIFY(bar->styleSheet().isEmpty());
        const QString log = Access::log(*m_dialog);
        QVERIFY(log.contains(logged));
        QCOMPARE(log.indexOf(QStringLiteral("已断开连接")) > log.indexOf(logged), portLost);
        QVERIFY(Access::portScanTimer(*m_dialog)->isActive());
        const QLabel *label = Access::statusLabel(*m_dialog);
        if (label->toolTip().isEmpty()) {
            QCOMPARE(label->text(), status);
        } else {
            QCOMPARE(label->toolTip(), status);
            QVERIFY(label->text().endsWith(QChar(0x2026)));
            QVERIFY(label->fontMetrics().horizontalAdvance(label->text())
                    <= label->contentsRect().width());
        }
        QCOMPARE(label->toolTip().isEmpty(), error.size() < 100);
    }

    void aFailureAfterTheSuccessIsNeitherShownNorLeftRed()
    {
        pretendUpdating();
        Access::success(*m_dialog);
        Access::failure(*m_dialog, QStringLiteral("late"));
        QTRY_VERIFY_WITH_TIMEOUT(!Access::updating(*m_dialog), kWaitMs);
        QTest::qWait(kSecondStepMs); // both result steps have run
        QCOMPARE(Access::log(*m_dialog).count(QStringLiteral("固件更新成功")), 1);
        QVERIFY(!Access::log(*m_dialog).contains(QStringLiteral("更新失败")));
        QCOMPARE(Access::status(*m_dialog), QStringLiteral("更新完成"));

        Access::pathEdit(*m_dialog)->setText(m_image);
        QVERIFY(!startUpdate(*m_dialog).isEmpty());
        QVERIFY(Access::progressBar(*m_dialog)->styleSheet().isEmpty());
    }

    void resultStepDiesWithTheWindow()
    {
        pretendUpdating();
        Access::success(*m_dialog);
        Access::failure(*m_dialog, QStringLiteral("x"));
        m_dialog.reset();
        QTest::qWait(kSecondStepMs + kResultDelayMs); // an orphaned result step would crash here
    }

private:
    void makeDialog()
    {
        m_requests.clear();
        m_dialog = std::make_unique<Dialog>();
        Dialog *d = m_dialog.get();
        // The worker stays out of these tests: the requests are recorded instead.
        QObject::disconnect(d, &Dialog::requestUpdate, Access::worker(*d), nullptr);
        QObject::disconnect(d, &Dialog::requestSetMaxFirmwareSize, Access::worker(*d), nullptr);
        connect(d, &Dialog::requestSetMaxFirmwareSize, this,
                [this](int bytes) { m_requests << QStringLiteral("limit %1").arg(bytes); });
        connect(d, &Dialog::requestUpdate, this, [this](const QString &path) {
            m_requests << QStringLiteral("update %1").arg(path);
        });
        QObject::disconnect(d, &Dialog::requestAbort, Access::worker(*d), nullptr);
        connect(d, &Dialog::requestAbort, this, [this] { m_requests << QStringLiteral("abort"); });
    }

    // The window as if an update were running.
    void pretendUpdating()
    {
        Access::setUpdating(*m_dialog, true);
        Access::progressBar(*m_dialog)->setRange(0, 5000);
        Access::progressBar(*m_dialog)->show();
        Access::setLastRefresh(*m_dialog, 0, 0);
    }

    QTemporaryDir m_dir;
    QString m_image; // 4096 bytes
    std::unique_ptr<Dialog> m_dialog;
    QStringList m_requests; // what reached the worker's side, in order
};

QTEST_MAIN(TestUpdateFlow)
#include "tst_update_flow.moc"
