// The window's side of an update: the confirmation before it starts, what it hands to the worker,
// cancelling, the progress text with its rate, and the deferred result.

#include "window_access.h"

#include <QTest>

namespace {
const QString kRedChunk =
    QStringLiteral("QProgressBar::chunk { background-color: #dc2626; border-radius: 4px; }");
constexpr int kWaitMs = 3000;
// Both result steps of one update are due at the same moment; a second would run right after.
constexpr int kSecondStepMs = 100;
} // namespace

class TestUpdateFlow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { useTestEnvironment({{"ttyFAKE0", "Fake"}}); }
    void init()
    {
        store().clear();
        m_requests.clear();
        m_dialog = std::make_unique<Dialog>();
        Dialog *d = m_dialog.get();
        // The worker stays out of these tests: what the window asks of it is recorded instead.
        QObject::disconnect(d, nullptr, win().worker(), nullptr);
        connect(d, &Dialog::requestSetMaxFirmwareSize, this,
                [this](int bytes) { m_requests << QStringLiteral("limit %1").arg(bytes); });
        connect(d, &Dialog::requestUpdate, this,
                [this](const QString &path) { m_requests << "update " + path; });
        connect(d, &Dialog::requestAbort, this, [this] { m_requests << QStringLiteral("abort"); });
    }
    void cleanup() { m_dialog.reset(); }

    void confirmedStartHandsTheJobToTheWorkerOnce_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QVariant>("storedKB");
        QTest::addColumn<QString>("sizeLine");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QByteArray>("start");   // empty: a plausible vector table
        QTest::addColumn<QStringList>("notice"); // the red line and the confirm button
        QTest::newRow("10239 bytes read 10.0 KB; a stored 0 gives 237440")
            << 10239LL << QVariant(0) << "大小：10.0 KB" << 237440 << QByteArray()
            << QStringList{"继续"};
        QTest::newRow("a word in the store gives 237440 too")
            << 4096LL << QVariant("viel") << "大小：4.0 KB" << 237440 << QByteArray()
            << QStringList{"继续"};
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
        win().pathField()->setText(QStringLiteral("  %1 \t").arg(path));

        const QString ok = notice.takeLast();
        QVERIFY(!startUpdate(*m_dialog, false).isEmpty()); // declining changes nothing
        QVERIFY(!win().updating());
        QVERIFY(m_requests.isEmpty());
        QCOMPARE(startUpdate(*m_dialog),
                 QStringList({"确认固件更新", "串口：ttyFAKE0", "文件：app.bin", sizeLine}) +
                     notice + QStringList({"更新过程中请勿断开设备或关闭电源。", "取消", ok}));
        QCOMPARE(win().logText().contains("警告：" + notice.value(0)), !notice.isEmpty());
        QVERIFY(win().updating());
        QCOMPARE(win().progressBar()->maximum(), int(size));
        const QStringList requests{QStringLiteral("limit %1").arg(limit), "update " + path};
        QCOMPARE(m_requests, requests);
        // The start button now cancels: it asks first, and keeping the update changes nothing.
        QCOMPARE(startUpdate(*m_dialog, false).value(0), QStringLiteral("取消更新"));
        QCOMPARE(m_requests, requests);
        QVERIFY(win().startButton()->isEnabled());
        // Confirmed, the abort goes to the worker once and the button has nothing more to do.
        QCOMPARE(startUpdate(*m_dialog, true).value(0), QStringLiteral("取消更新"));
        QCOMPARE(m_requests, requests + QStringList{QStringLiteral("abort")});
        QVERIFY(!win().startButton()->isEnabled());
    }

    void progressReports_data()
    {
        QTest::addColumn<int>("msAgo"); // since the text was last written
        QTest::addColumn<int>("bytesThen");
        QTest::addColumn<int>("sent");
        QTest::addColumn<int>("total");
        QTest::addColumn<QString>("text"); // empty: the text stays as it was
        // A minute-long interval keeps the rounded rate the same however slowly the test runs.
        QTest::newRow("the rate is the average over the interval since the last text")
            << 60000 << 16384 << 507904 << 1048576
            << "更新进度：507904 / 1048576 字节（48%） · 8.0 KB/s";
        QTest::newRow("0.5 % rounds up to 1 %")
            << 60000 << 1 << 1 << 200 << "更新进度：1 / 200 字节（1%）";
        QTest::newRow("a report past the total shows the total and 100 %")
            << 0 << 0 << 10240 << 10000 << "更新进度：10000 / 10000 字节（100%）";
        QTest::newRow("a completing report within 100 ms shows at once, without a rate")
            << 30 << 77824 << 81920 << 81920 << "更新进度：81920 / 81920 字节（100%）";
    }

    void progressReports()
    {
        QFETCH(int, msAgo);
        QFETCH(int, bytesThen);
        QFETCH(int, sent);
        QFETCH(int, total);
        QFETCH(QString, text);
        pretendUpdating();
        win().updateStatus(QStringLiteral("before"));
        win().setLastRefresh(msAgo, bytesThen);
        win().progress(sent, total);
        QCOMPARE(win().status(), text.isEmpty() ? QStringLiteral("before") : text);
        QCOMPARE(win().progressBar()->maximum(), total);
        QCOMPARE(win().progressBar()->value(), total > 0 ? qMin(sent, total) : sent);
    }

    void resultIsPresentedAfterHalfASecond_data()
    {
        QTest::addColumn<QStringList>("events"); // "success", "lost" or a failure's reason
        QTest::addColumn<QString>("logged");
        QTest::addColumn<QString>("status");
        const QString longReason(300, QChar(u'长'));
        QTest::newRow("failure turns the bar red, then logs and shows the reason")
            << QStringList{"设备响应超时"} << "更新失败：设备响应超时"
            << "更新失败：设备响应超时";
        QTest::newRow("a line lost right after the success is told after the success")
            << QStringList{"success", "lost"} << "固件更新成功"
            << "等待连接…";
        QTest::newRow("a reason too long for the status bar is cut there, whole in its tooltip")
            << QStringList{longReason} << longReason << "更新失败：" + longReason;
    }

    void resultIsPresentedAfterHalfASecond()
    {
        QFETCH(QStringList, events);
        QFETCH(QString, logged);
        QFETCH(QString, status);
        m_dialog->show();
        pretendUpdating();
        win().progress(3000, 5000);
        UpdateProgressBar *bar = win().progressBar();
        for (const QString &event : events) {
            if (event == QLatin1String("success"))
                win().success();
            else if (event == QLatin1String("lost"))
                win().portLost();
            else
                win().failure(event);
        }
        const bool success = events.first() == QLatin1String("success");
        QCOMPARE(bar->styleSheet(), success ? QString() : kRedChunk);
        QVERIFY(win().updating());

        QTRY_VERIFY_WITH_TIMEOUT(!win().updating(), kWaitMs);
        QTest::qWait(kSecondStepMs); // a second result step would have run by now
        QVERIFY(bar->isHidden());
        QVERIFY(bar->styleSheet().isEmpty());
        const QString log = win().logText();
        QCOMPARE(log.count(logged), 1);
        QCOMPARE(log.indexOf(QStringLiteral("已断开连接")) > log.indexOf(logged),
                 events.contains("lost"));
        const QLabel *label = win().statusLabel();
        QCOMPARE(label->toolTip().isEmpty() ? label->text() : label->toolTip(), status);
        QCOMPARE(label->toolTip().isEmpty(), status.size() < 100);
        if (!label->toolTip().isEmpty()) {
            QVERIFY(label->text().endsWith(QChar(0x2026)));
            QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <=
                    label->contentsRect().width());
        }
    }

private:
    // The window as if an update of 5000 bytes were running.
    void pretendUpdating()
    {
        win().setUpdating(true);
        win().progressBar()->setRange(0, 5000);
        win().progressBar()->show();
    }

    QTemporaryDir m_dir;
    std::unique_ptr<Dialog> m_dialog;
    DialogTestAccess win() const { return DialogTestAccess(*m_dialog); }
    QStringList m_requests; // what reached the worker's side, in order
};

QTEST_MAIN(TestUpdateFlow)
#include "tst_update_flow.moc"
