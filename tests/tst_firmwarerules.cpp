// Rules of the image check and the progress display that need no widget: the size limit from
// the store, the refusal reasons, the size line, the percentage, the rate and the progress text.

#include "update/firmwarerules.h"

#include <QTest>

using namespace FirmwareRules;

namespace {
const QString kWrongType = QStringLiteral("无效文件，仅支持 .bin 格式。");
const QString kEmpty = QStringLiteral("固件文件为空。");

QString tooLarge(qint64 size, qint64 limit)
{
    return QStringLiteral("文件为 %1 字节；设备最多接受 %2 字节（App 区 0x08004000-0x0803DFFF，"
                          "最后一个可写字节 0x0803DFFE）。")
        .arg(size)
        .arg(limit);
}
} // namespace

class TestFirmwareRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void limitComesFromTheStoredKiB_data();
    void limitComesFromTheStoredKiB();
    void filesAreCheckedInOrder_data();
    void filesAreCheckedInOrder();
    void dropFilterIgnoresCase_data();
    void dropFilterIgnoresCase();
    void sizeLineKeepsOneDecimalBelowTenKiB_data();
    void sizeLineKeepsOneDecimalBelowTenKiB();
    void barValueAndPercentage_data();
    void barValueAndPercentage();
    void rateIsTheIntervalAverage_data();
    void rateIsTheIntervalAverage();
    void textRefreshesOncePerSecondOrOnCompletion_data();
    void textRefreshesOncePerSecondOrOnCompletion();
    void progressText_data();
    void progressText();
};

void TestFirmwareRules::limitComesFromTheStoredKiB_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("limit");
    QTest::newRow("231 KiB allows 236544 bytes") << QVariant(231) << 236544;
    QTest::newRow("231 read back from the store as text") << QVariant("231") << 236544;
    QTest::newRow("1 KiB allows 1024 bytes") << QVariant(1) << 1024;
    QTest::newRow("100 KiB allows 102400 bytes") << QVariant("100") << 102400;
    QTest::newRow("0 falls back to the bootloader's 237440") << QVariant(0) << 237440;
    QTest::newRow("232 is above the default and falls back") << QVariant(232) << 237440;
    QTest::newRow("500 falls back") << QVariant("500") << 237440;
    QTest::newRow("a negative value falls back") << QVariant(-4) << 237440;
    QTest::newRow("a word falls back") << QVariant("viel") << 237440;
    QTest::newRow("a number with a fraction is not a whole KiB count")
        << QVariant("10.5") << 237440;
    QTest::newRow("an absent value falls back") << QVariant() << 237440;
    QTest::newRow("a list falls back") << QVariant(QStringList{"1", "2"}) << 237440;
}

void TestFirmwareRules::limitComesFromTheStoredKiB()
{
    QFETCH(QVariant, stored);
    QFETCH(int, limit);
    QCOMPARE(sizeLimitBytes(stored), limit);
}

void TestFirmwareRules::filesAreCheckedInOrder_data()
{
    QTest::addColumn<bool>("isFile");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<QString>("reason");
    QTest::newRow("a .bin file within the limit passes")
        << true << "bin" << 1000LL << 236544LL << QString();
    QTest::newRow("FIRMWARE.BIN passes the suffix check")
        << true << "BIN" << 1000LL << 236544LL << QString();
    QTest::newRow("exactly the limit passes") << true << "bin" << 236544LL << 236544LL << QString();
    QTest::newRow("one byte over the limit names both numbers")
        << true << "bin" << 236545LL << 236544LL << tooLarge(236545, 236544);
    QTest::newRow("a missing file is refused as a wrong type")
        << false << "bin" << 0LL << 236544LL << kWrongType;
    QTest::newRow("a missing file is refused before its size is looked at")
        << false << "bin" << 999999LL << 236544LL << kWrongType;
    QTest::newRow("a .hex file is refused") << true << "hex" << 1000LL << 236544LL << kWrongType;
    QTest::newRow("a file without suffix is refused")
        << true << "" << 1000LL << 236544LL << kWrongType;
    QTest::newRow("a wrong suffix is refused before the size")
        << true << "txt" << 999999LL << 236544LL << kWrongType;
    QTest::newRow("an empty .bin file is refused") << true << "bin" << 0LL << 236544LL << kEmpty;
}

void TestFirmwareRules::filesAreCheckedInOrder()
{
    QFETCH(bool, isFile);
    QFETCH(QString, suffix);
    QFETCH(qint64, size);
    QFETCH(qint64, limit);
    QFETCH(QString, reason);
    QCOMPARE(refusalReason(isFile, suffix, size, limit), reason);
}

void TestFirmwareRules::dropFilterIgnoresCase_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("taken");
    QTest::newRow("app.bin is looked at") << "/tmp/app.bin" << true;
    QTest::newRow("FIRMWARE.BIN is looked at") << "/tmp/FIRMWARE.BIN" << true;
    QTest::newRow("Mixed.Bin is looked at") << "/tmp/Mixed.Bin" << true;
    QTest::newRow("notes.txt is skipped") << "/tmp/notes.txt" << false;
    QTest::newRow("app.bin.txt is skipped") << "/tmp/app.bin.txt" << false;
    QTest::newRow("a name merely ending in bin is skipped") << "/tmp/cabin" << false;
}

void TestFirmwareRules::dropFilterIgnoresCase()
{
    QFETCH(QString, path);
    QFETCH(bool, taken);
    QCOMPARE(hasBinSuffix(path), taken);
}

void TestFirmwareRules::sizeLineKeepsOneDecimalBelowTenKiB_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("5000 bytes read 4.9") << 5000LL << "4.9";
    QTest::newRow("10239 bytes read 10.0") << 10239LL << "10.0";
    QTest::newRow("10240 bytes read 10") << 10240LL << "10";
    QTest::newRow("20480 bytes read 20") << 20480LL << "20";
    QTest::newRow("15000 bytes round to 15") << 15000LL << "15";
    QTest::newRow("236544 bytes read 231") << 236544LL << "231";
    QTest::newRow("1 byte reads 0.0") << 1LL << "0.0";
}

void TestFirmwareRules::sizeLineKeepsOneDecimalBelowTenKiB()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(sizeText(bytes), text);
}

void TestFirmwareRules::barValueAndPercentage_data()
{
    QTest::addColumn<int>("sent");
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("shown");
    QTest::addColumn<int>("percentage");
    QTest::newRow("half way is 50 %") << 4096 << 8192 << 4096 << 50;
    QTest::newRow("a report past the total shows the total and 100 %")
        << 10240 << 10000 << 10000 << 100;
    QTest::newRow("without a total the bytes are shown and 0 %") << 4096 << 0 << 4096 << 0;
    QTest::newRow("a negative total counts as none") << 4096 << -1 << 4096 << 0;
    QTest::newRow("0.5 % rounds up to 1 %") << 1 << 200 << 1 << 1;
    QTest::newRow("0.49 % rounds down to 0 %") << 49 << 10000 << 49 << 0;
    QTest::newRow("99.5 % rounds up to 100 %") << 199 << 200 << 199 << 100;
    QTest::newRow("99.4 % stays 99 %") << 994 << 1000 << 994 << 99;
    QTest::newRow("sizes near the int range do not overflow")
        << 2000000000 << 2100000000 << 2000000000 << 95;
}

void TestFirmwareRules::barValueAndPercentage()
{
    QFETCH(int, sent);
    QFETCH(int, total);
    QFETCH(int, shown);
    QFETCH(int, percentage);
    QCOMPARE(shownBytes(sent, total), shown);
    QCOMPARE(percent(shownBytes(sent, total), total), percentage);
}

void TestFirmwareRules::rateIsTheIntervalAverage_data()
{
    QTest::addColumn<int>("delta");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<double>("rate");
    QTest::newRow("16 KiB in two seconds is 8 KB/s") << 16384 << 2000LL << 8.0;
    QTest::newRow("1 KiB in a quarter second is 4 KB/s") << 1024 << 250LL << 4.0;
    QTest::newRow("an interval of exactly 0.1 s gives no rate") << 4096 << 100LL << 0.0;
    QTest::newRow("101 ms is long enough") << 1024 << 101LL << 1024.0 / 1024.0 / 0.101;
    QTest::newRow("no bytes moved gives no rate") << 0 << 2000LL << 0.0;
    QTest::newRow("no time passed gives no rate") << 4096 << 0LL << 0.0;
    QTest::newRow("a clock that went backwards gives no rate") << 4096 << -5000LL << 0.0;
}

void TestFirmwareRules::rateIsTheIntervalAverage()
{
    QFETCH(int, delta);
    QFETCH(qint64, elapsedMs);
    QFETCH(double, rate);
    QCOMPARE(rateKBps(delta, elapsedMs), rate);
}

void TestFirmwareRules::textRefreshesOncePerSecondOrOnCompletion_data()
{
    QTest::addColumn<int>("shown");
    QTest::addColumn<int>("total");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<bool>("refresh");
    QTest::newRow("300 ms after the last refresh waits") << 4096 << 8192 << 300LL << false;
    QTest::newRow("999 ms waits") << 4096 << 8192 << 999LL << false;
    QTest::newRow("a full second refreshes") << 4096 << 8192 << 1000LL << true;
    QTest::newRow("the completing report refreshes at once") << 8192 << 8192 << 5LL << true;
    QTest::newRow("a clock that went backwards refreshes") << 4096 << 8192 << -1LL << true;
}

void TestFirmwareRules::textRefreshesOncePerSecondOrOnCompletion()
{
    QFETCH(int, shown);
    QFETCH(int, total);
    QFETCH(qint64, elapsedMs);
    QFETCH(bool, refresh);
    QCOMPARE(refreshesText(shown, total, elapsedMs), refresh);
}

void TestFirmwareRules::progressText_data()
{
    QTest::addColumn<int>("shown");
    QTest::addColumn<int>("total");
    QTest::addColumn<double>("rate");
    QTest::addColumn<QString>("text");
    QTest::newRow("with a rate, one decimal")
        << 4096 << 8192 << 12.34 << "更新进度：4096 / 8192 字节（50%） · 12.3 KB/s";
    QTest::newRow("without a rate, no suffix")
        << 8192 << 8192 << 0.0 << "更新进度：8192 / 8192 字节（100%）";
    QTest::newRow("without a total, 0 %") << 4096 << 0 << 0.0 << "更新进度：4096 / 0 字节（0%）";
}

void TestFirmwareRules::progressText()
{
    QFETCH(int, shown);
    QFETCH(int, total);
    QFETCH(double, rate);
    QFETCH(QString, text);
    QCOMPARE(FirmwareRules::progressText(shown, total, rate), text);
}

QTEST_APPLESS_MAIN(TestFirmwareRules)
#include "tst_firmwarerules.moc"
