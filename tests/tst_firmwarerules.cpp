// Rules of the image check and the progress display that need no widget: the limit from the
// stored KiB, the vector table check, the percentage, the rate and when the progress text
// changes. The refusal reasons, the size line and the drop filter are tested through the window
// with real files.

#include "update/firmwarerules.h"
#include "update/imagecheck.h"

#include <QTest>
#include <QtEndian>

using namespace FirmwareRules;
using Verdict = ImageCheck::Verdict;
Q_DECLARE_METATYPE(ImageCheck::Verdict)

namespace {
// The first 8 bytes of an image: initial stack pointer and reset handler, little-endian.
QByteArray vectors(quint32 stack, quint32 reset)
{
    QByteArray table(8, Qt::Uninitialized);
    qToLittleEndian(stack, table.data());
    qToLittleEndian(reset, table.data() + 4);
    return table;
}
} // namespace

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

    void vectorTable_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<Verdict>("verdict");
        QTest::newRow("an application with its stack in SRAM and reset at 0x080041C5 is plausible")
            << vectors(0x20005000, 0x080041C5) << 4096LL << Verdict::Plausible;
        QTest::newRow("a reset handler at 0x080001C5 marks a whole-flash image")
            << vectors(0x20005000, 0x080001C5) << 4096LL << Verdict::WholeFlashImage;
        QTest::newRow("a reset handler one byte past a 4096-byte image is outside the application")
            << vectors(0x20005000, 0x08005001) << 4096LL << Verdict::ResetOutsideApplication;
        QTest::newRow("an even reset vector is no Thumb entry, so outside the application")
            << vectors(0x20005000, 0x080041C4) << 4096LL << Verdict::ResetOutsideApplication;
        QTest::newRow("a stack one word past the end of SRAM is outside it")
            << vectors(0x20050004, 0x080041C5) << 4096LL << Verdict::StackOutsideSram;
        const QByteArray hex(":020000040800F2\r\n:1040000000500020C5410008D5410008D541000838\r\n");
        QTest::newRow("an Intel HEX file is not firmware")
            << hex << qint64(hex.size()) << Verdict::NotFirmware;
        const QByteArray srec(
            "S00F000068656C6C6F202020202000003C\r\nS1130000285F245F2212226A00042429"
            "00080808F0\r\n");
        QTest::newRow("an S-record file is not firmware")
            << srec << qint64(srec.size()) << Verdict::NotFirmware;
        const QByteArray text("Release notes, firmware 1.0.38:\n\t- faster start\n");
        QTest::newRow("plain text is not firmware")
            << text << qint64(text.size()) << Verdict::NotFirmware;
        QTest::newRow("7 bytes are too short for a vector table")
            << vectors(0x20005000, 0x080041C5).left(7) << 7LL << Verdict::TooShort;
    }

    void vectorTable()
    {
        QFETCH(QByteArray, head);
        QFETCH(qint64, size);
        QFETCH(Verdict, verdict);
        const ImageCheck::Result result = ImageCheck::checkImage(head, size);
        QCOMPARE(result.verdict, verdict);
        QCOMPARE(result.plausible(), verdict == Verdict::Plausible);
        QCOMPARE(result.reason.isEmpty(), result.plausible());
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
