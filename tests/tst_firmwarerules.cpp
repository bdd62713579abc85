// Rules of the image check and the progress display that need no widget: the limit from the
// stored KiB, the percentage, the rate and when the progress text changes. The refusal reasons,
// the size line and the drop filter are tested through the window with real files.

#include "update/firmwarerules.h"

#include <QTest>

using namespace FirmwareRules;

class TestFirmwareRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void limitFromTheStoredKiB_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("limit");
        QTest::newRow("231 read back as text allows 236544 bytes") << QVariant("231") << 236544;
        QTest::newRow("1 allows 1024 bytes") << QVariant(1) << 1024;
        QTest::newRow("0 gives the bootloader's 237440") << QVariant(0) << 237440;
        QTest::newRow("232 gives 237440") << QVariant(232) << 237440;
        QTest::newRow("500 gives 237440") << QVariant("500") << 237440;
        QTest::newRow("a word gives 237440") << QVariant("viel") << 237440;
        QTest::newRow("a fraction gives 237440") << QVariant("10.5") << 237440;
        QTest::newRow("4294967297 is not cut to its low 32 bits (1)")
            << QVariant(Q_INT64_C(4294967297)) << 237440;
        QTest::newRow("4294967297 written as text gives 237440") << QVariant("4294967297") << 237440;
        QTest::newRow("true is no number") << QVariant(true) << 237440;
    }

    void limitFromTheStoredKiB()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, limit);
        QCOMPARE(sizeLimitBytes(stored), limit);
    }

    void progressText_data()
    {
        QTest::addColumn<int>("sent");
        QTest::addColumn<int>("total");
        QTest::addColumn<double>("rate");
        QTest::addColumn<QString>("text");
        QTest::newRow("0.5 % rounds up to 1 %")
            << 1 << 200 << 0.0 << "更新进度：1 / 200 字节（1%）";
        QTest::newRow("99.4 % stays 99 %")
            << 994 << 1000 << 0.0 << "更新进度：994 / 1000 字节（99%）";
        QTest::newRow("sizes near the int range do not overflow")
            << 2000000000 << 2100000000 << 0.0 << "更新进度：2000000000 / 2100000000 字节（95%）";
        QTest::newRow("a rate is shown with one decimal")
            << 4096 << 8192 << 12.34 << "更新进度：4096 / 8192 字节（50%） · 12.3 KB/s";
    }

    void progressText()
    {
        QFETCH(int, sent);
        QFETCH(int, total);
        QFETCH(double, rate);
        QFETCH(QString, text);
        QCOMPARE(FirmwareRules::progressText(shownBytes(sent, total), total, rate), text);
    }

    void rate_data()
    {
        QTest::addColumn<int>("delta");
        QTest::addColumn<qint64>("elapsedMs");
        QTest::addColumn<double>("rate");
        QTest::newRow("1 KiB in 125 ms is 8 KB/s") << 1024 << 125LL << 8.0;
        QTest::newRow("an interval of exactly 0.1 s gives none") << 4096 << 100LL << 0.0;
    }

    void rate()
    {
        QFETCH(int, delta);
        QFETCH(qint64, elapsedMs);
        QFETCH(double, rate);
        QCOMPARE(rateKBps(delta, elapsedMs), rate);
    }

    void textRefresh_data()
    {
        QTest::addColumn<int>("shown");
        QTest::addColumn<qint64>("elapsedMs");
        QTest::addColumn<bool>("refresh"); // of 8192 bytes
        QTest::newRow("999 ms after the last refresh waits") << 4096 << 999LL << false;
        QTest::newRow("a full second refreshes") << 4096 << 1000LL << true;
        QTest::newRow("the completing report refreshes at once") << 8192 << 5LL << true;
        QTest::newRow("a clock that went backwards refreshes") << 4096 << -1LL << true;
    }

    void textRefresh()
    {
        QFETCH(int, shown);
        QFETCH(qint64, elapsedMs);
        QFETCH(bool, refresh);
        QCOMPARE(refreshesText(shown, 8192, elapsedMs), refresh);
    }
};

QTEST_APPLESS_MAIN(TestFirmwareRules)
#include "tst_firmwarerules.moc"
