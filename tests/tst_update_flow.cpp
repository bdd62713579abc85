// The window's side of an update: the confirmation before it starts, what it hands to the worker,
// cancelling, the progress text with its rate, the deferred result, and the record of each
// attempt.

#include "records/recordkeeper.h"
#include "records/recordspool.h"
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
        m_url = QStringLiteral("sqlite://%1/records-%2.sqlite").arg(m_dir.path()).arg(++m_tests);
        store().setValue(QStringLiteral("recordsUrl"), m_url);
        makeDialog();
    }
    void makeDialog()
    {
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
        connect(d, &Dialog::requestSendCustomCommand, this,
                [this](const QString &command) { m_requests << "command " + command; });
    }
    void cleanup() { m_dialog.reset(); }

    // One record per attempt that was confirmed, written as soon as its end is known: a failure
    // at once, a success when the read-back ends (below), whatever the window is still doing
    // when it closes.
    void everyAttemptIsRecordedOnce_data()
    {
        QTest::addColumn<QStringList>("events");   // after the confirmed start
        QTest::addColumn<QStringList>("recorded"); // outcome, reason code, reason; empty: none
        QTest::newRow("a declined start is no attempt, also when the window closes after it")
            << QStringList{"close"} << QStringList();
        QTest::newRow("a failure is recorded at once, with its reason's code")
            << QStringList{"设备响应超时"}
            << QStringList{"failed", "device-timeout", "设备响应超时"};
        QTest::newRow("a cancel is the user's decision, not a fault: interrupted")
            << QStringList{"cancel", "用户取消更新"}
            << QStringList{"interrupted", "user-cancelled", "用户取消更新"};
        QTest::newRow("the window closed during the update")
            << QStringList{"close"}
            << QStringList{"interrupted", "user-cancelled", "更新进行中窗口已关闭"};
        QTest::newRow("the window closed while the new version is awaited")
            << QStringList{"success", "close"}
            << QStringList{"interrupted", "user-cancelled", "确认新版本前窗口已关闭"};
        QTest::newRow("the user takes the line over while it is awaited")
            << QStringList{"success", "disconnect"}
            << QStringList{"interrupted", "user-cancelled", "确认新版本前用户已停止等待"};
    }
    void everyAttemptIsRecordedOnce()
    {
        QFETCH(QStringList, events);
        QFETCH(QStringList, recorded);
        win().connected();
        win().respond(QStringLiteral("Orvane,TM-1,SN0001,1.0.38"));
        win().pathField()->setText(makeFile(m_dir, QStringLiteral("app.bin"), 4096));
        QVERIFY(!startUpdate(*m_dialog, false).isEmpty());
        if (!recorded.isEmpty()) {
            QVERIFY(!startUpdate(*m_dialog).isEmpty());
            win().progress(3072, 4096);
        }
        for (const QString &event : events) {
            if (event == QLatin1String("cancel")) {
                QCOMPARE(startUpdate(*m_dialog).value(0), QStringLiteral("取消更新"));
            } else if (event == QLatin1String("success")) {
                win().success();
            } else if (event == QLatin1String("disconnect")) {
                QTRY_VERIFY_WITH_TIMEOUT(!win().updating(), kWaitMs);
                win().toggleConnection();
            } else if (event == QLatin1String("close")) {
                m_dialog.reset();
            } else {
                win().failure(event);
            }
        }
        const QList<UpdateRecord> written = recordsIn(m_url);
        QCOMPARE(written.size(), recorded.isEmpty() ? 0 : 1);
        if (written.isEmpty())
            return;
        const UpdateRecord &r = written.first();
        QCOMPARE(QStringList({r.outcome, r.reasonCode, r.reason}), recorded);
        QCOMPARE(r.bytesSent, events.contains("success") ? 4096 : 3072);
        QVERIFY(!r.versionConfirmed);
        QVERIFY(r.versionAfter.isNull());
    }

    // A store that cannot be reached: one orange line names it without its password, and the
    // record waits in the spool for it.
    void unreachableStoreSpoolsTheRecord()
    {
        const QString url = QStringLiteral("postgresql://line:secret@%2Fnonexistent-fw/records");
        const QString name = parseStoreUrl(url).identity();
        store().setValue(QStringLiteral("recordsUrl"), url);
        makeDialog();
        QTRY_VERIFY_WITH_TIMEOUT(win().logText().contains(name), kWaitMs); // told on opening
        win().pathField()->setText(makeFile(m_dir, QStringLiteral("app.bin"), 4096));
        for (int attempt = 0; attempt < 2; ++attempt) {
            QVERIFY(!startUpdate(*m_dialog).isEmpty());
            QElapsedTimer held;
            held.start();
            win().failure(QStringLiteral("设备响应超时"));
            QVERIFY(held.elapsed() < RecordKeeper::kAppendLimit.count());
            QTRY_VERIFY_WITH_TIMEOUT(!win().updating(), kWaitMs);
        }
        const QString spool = RecordStore::defaultSpoolPath();
        const QList<UpdateRecord> spooled = RecordSpool(spool).pending(name, 10);
        QVERIFY(QFile::remove(spool));
        QCOMPARE(spooled.size(), 2);
        QCOMPARE(spooled.first().reasonCode, QStringLiteral("device-timeout"));
        QCOMPARE(win().logLines().filter(name).size(), 1);
        QCOMPARE(win().logFormatOf(name).foreground().color(), QColor("#fdba74"));
        QVERIFY(!win().logText().contains(QStringLiteral("secret")));
    }

    void confirmedStartHandsTheJobToTheWorkerOnce_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QVariant>("storedKB");
        QTest::addColumn<QString>("sizeLine");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QByteArray>("start");   // empty: a plausible vector table
        QTest::addColumn<QStringList>("notice"); // the red line and the confirm button
        QTest::addColumn<QString>("reply");      // the device's, to the query on connecting
        QTest::addColumn<QString>("device");     // as the confirmation and the status bar name it
        QTest::newRow("10239 bytes read 10.0 KB; a stored 0 gives 237440; model, SN and version")
            << 10239LL << QVariant(0) << "大小：10.0 KB" << 237440 << QByteArray()
            << QStringList{"继续"} << "Orvane,TM-1,SN0001,1.0.38"
            << "TM-1 · SN0001 · 当前版本 1.0.38";
        QTest::newRow("a word in the store gives 237440 too; a silent device is not identified")
            << 4096LL << QVariant("viel") << "大小：4.0 KB" << 237440 << QByteArray()
            << QStringList{"继续"} << "" << "未识别（无应答）";
        QTest::newRow("a whole-flash image is named in red, and 仍然更新 sends it all the same; a "
                      "reply of another form shows whole, its control bytes escaped")
            << 5000LL << QVariant() << "大小：4.9 KB" << 236544
            << QByteArray::fromHex("00500020c5010008")
            << QStringList{"像是整片 Flash 镜像（含 bootloader，链接地址 0x08000000）", "仍然更新"}
            << "ACME\x06 meter" << "ACME\\x06 meter";
    }

    void confirmedStartHandsTheJobToTheWorkerOnce()
    {
        QFETCH(qint64, size);
        QFETCH(QVariant, storedKB);
        QFETCH(QString, sizeLine);
        QFETCH(int, limit);
        QFETCH(QByteArray, start);
        QFETCH(QStringList, notice);
        QFETCH(QString, reply);
        QFETCH(QString, device);
        // Connecting asks the device who it is, quietly: no echo, nothing logged.
        win().connected();
        win().respond(reply);
        QVERIFY(!win().logText().contains(">>"));
        QCOMPARE(win().deviceLabel()->text(), "设备：" + device);
        m_requests.removeOne("command *idn?");
        if (storedKB.isValid())
            store().setValue(QStringLiteral("maxFirmwareKB"), storedKB);
        const QString path = makeFile(m_dir, QStringLiteral("app.bin"), size, start);
        win().pathField()->setText(QStringLiteral("  %1 \t").arg(path));

        const QString ok = notice.takeLast();
        QVERIFY(!startUpdate(*m_dialog, false).isEmpty()); // declining changes nothing
        QVERIFY(!win().updating());
        QVERIFY(m_requests.isEmpty());
        QCOMPARE(startUpdate(*m_dialog),
                 QStringList({"确认固件更新", "串口：ttyFAKE0", "设备：" + device, "文件：app.bin",
                              sizeLine}) +
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

    void progressTextKeepsUpWithTheBar()
    {
        // Every report of a 231 KiB image, and one past its end: the text's percentage is the
        // bar's at each step.
        constexpr int kTotal = 236544;
        pretendUpdating();
        const UpdateProgressBar *bar = win().progressBar();
        for (int sent = 4096; sent <= kTotal + 4096; sent += 4096) {
            win().progress(sent, kTotal);
            QCOMPARE(bar->maximum(), kTotal);
            QCOMPARE(bar->value(), qMin(sent, kTotal));
            const QString percent = progressPercentText(
                progressFraction(bar->minimum(), bar->maximum(), bar->value()));
            QVERIFY2(win().status().startsWith(QStringLiteral("更新进度：%1 / %2 字节（%3）")
                                                   .arg(bar->value())
                                                   .arg(kTotal)
                                                   .arg(percent)),
                     qPrintable(win().status()));
        }
    }

    void resultIsPresentedAfterHalfASecond_data()
    {
        QTest::addColumn<QStringList>("events"); // "success", "lost" or a failure's reason
        QTest::addColumn<QStringList>("logged"); // in this order
        QTest::addColumn<QString>("status");
        const QString longReason(300, QChar(u'长'));
        QTest::newRow("failure turns the bar red, then logs and shows the reason")
            << QStringList{"设备响应超时"} << QStringList{"更新失败：设备响应超时"}
            << "更新失败：设备响应超时";
        QTest::newRow("a line lost with a failure is told after it; the reason stays in the bar")
            << QStringList{"串口错误：设备已断开或丢失", "lost"}
            << QStringList{"更新失败：串口错误：设备已断开或丢失", "已断开连接"}
            << "更新失败：串口错误：设备已断开或丢失";
        QTest::newRow("a line lost right after the success is the device restarting")
            << QStringList{"success", "lost"}
            << QStringList{"固件更新成功", "设备正在重启（串口已断开）"} << "更新完成";
        QTest::newRow("a reason too long for the status bar is cut there, whole in its tooltip")
            << QStringList{longReason} << QStringList{"更新失败：" + longReason}
            << "更新失败：" + longReason;
    }

    void resultIsPresentedAfterHalfASecond()
    {
        QFETCH(QStringList, events);
        QFETCH(QStringList, logged);
        QFETCH(QString, status);
        m_dialog->show();
        win().setState(Dialog::Connected);
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
        QCOMPARE(win().logLines().mid(win().logLines().indexOf(logged.first())), logged);
        const QLabel *label = win().statusLabel();
        QCOMPARE(label->toolTip().isEmpty() ? label->text() : label->toolTip(), status);
        QCOMPARE(label->toolTip().isEmpty(), status.size() < 100);
        if (!label->toolTip().isEmpty()) {
            QVERIFY(label->text().endsWith(QChar(0x2026)));
            QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <=
                    label->contentsRect().width());
        }
    }

    void applicationIsReadBackAfterTheSuccess_data()
    {
        QTest::addColumn<QString>("reply"); // the application's, to every query after the update
        QTest::addColumn<QString>("told");  // in the log and the status bar
        QTest::addColumn<QString>("colour");
        QTest::addColumn<QString>("recorded"); // outcome and reason code
        QTest::addColumn<QString>("after");    // the version recorded as this unit's
        const QString green = QStringLiteral("#86efac"), orange = QStringLiteral("#fdba74");
        QTest::newRow("the new version is confirmed in green, with the one before")
            << "Orvane,TM-1,SN0001,1.0.39" << "设备已运行新固件：版本 1.0.39（更新前 1.0.38）"
            << green << "success " << "1.0.39";
        QTest::newRow("the same version after the restart is told in orange")
            << "Orvane,TM-1,SN0001,1.0.38" << "设备已重启，但版本未改变（1.0.38）" << orange
            << "version-mismatch version-mismatch" << "1.0.38";
        QTest::newRow("another serial number is another unit, whatever its version")
            << "Orvane,TM-1,SN0002,1.0.39" << "另一台设备（序列号 SN0002）已连接" << orange
            << "version-mismatch unit-replaced" << "";
        QTest::newRow("no answer within the limit asks the user to check the device")
            << "" << "设备未在 2 秒内回应，请检查设备是否正常启动" << orange
            << "version-mismatch no-read-back" << "";
    }

    void applicationIsReadBackAfterTheSuccess()
    {
        QFETCH(QString, reply);
        QFETCH(QString, told);
        QFETCH(QString, colour);
        QFETCH(QString, recorded);
        QFETCH(QString, after);
        using namespace std::chrono_literals;
        m_dialog->setReadBackTimingForTesting({2000ms, 0ms, 100ms, 100ms});
        win().connected();
        win().respond(QStringLiteral("Orvane,TM-1,SN0001,1.0.38"));
        win().pathField()->setText(makeFile(m_dir, QStringLiteral("app.bin"), 4096));
        QVERIFY(!startUpdate(*m_dialog).isEmpty());
        QVERIFY(recordsIn(m_url).isEmpty());
        win().success();
        // The application is asked, quietly, until it answers or the time is up; it is still
        // starting at the first query.
        int queries = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (win().inFlight())
                    win().respond(queries++ == 0 ? QString() : reply);
                return win().logText().contains(told);
            },
            kWaitMs));
        QVERIFY(queries >= 2);
        QVERIFY(!win().logText().contains(">>"));
        QCOMPARE(win().logLines().mid(win().logLines().indexOf("固件更新成功")),
                 QStringList({"固件更新成功", told}));
        QCOMPARE(win().logFormatOf(told).foreground().color(), QColor(colour));
        QCOMPARE(win().status(), told);

        // Written when the read-back ended, with what answered.
        const QList<UpdateRecord> written = recordsIn(m_url);
        QCOMPARE(written.size(), 1);
        const UpdateRecord &r = written.first();
        QCOMPARE(r.outcome + ' ' + r.reasonCode, recorded);
        const bool success = r.outcome == QLatin1String("success");
        QCOMPARE(r.reason, success ? QString() : told);
        QCOMPARE(r.versionConfirmed, success);
        QCOMPARE(r.bytesSent, 4096);
        QCOMPARE(r.identAfter, reply);
        QCOMPARE(r.versionAfter, after);
        QCOMPARE(r.startedUtc.msecsTo(r.endedUtc), r.durationMs);
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
    QString m_url; // the records of the test
    int m_tests = 0;
    std::unique_ptr<Dialog> m_dialog;
    DialogTestAccess win() const { return DialogTestAccess(*m_dialog); }
    QStringList m_requests; // what reached the worker's side, in order
};

QTEST_MAIN(TestUpdateFlow)
#include "tst_update_flow.moc"
