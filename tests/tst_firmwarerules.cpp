// The vector table check and the progress arithmetic, which need no widget. The image limit from
// the store and the progress text's percentage are tested through the window
// (tst_firmware_selection, tst_update_flow), the window's placement too (tst_port_discovery).

#include "update/firmwarerules.h"
#include "update/imagecheck.h"

#include <QTest>
#include <QtEndian>

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
    void vectorTable_data()
    {
        QTest::addColumn<QByteArray>("head"); // of a 4096-byte image unless shorter
        QTest::addColumn<Verdict>("verdict");
        QTest::newRow("an application with its stack in SRAM and reset at 0x080041C5 is plausible")
            << vectors(0x20005000, 0x080041C5) << Verdict::Plausible;
        QTest::newRow("a reset handler at 0x080001C5 marks a whole-flash image")
            << vectors(0x20005000, 0x080001C5) << Verdict::WholeFlashImage;
        QTest::newRow("a reset handler one byte past a 4096-byte image is outside the application")
            << vectors(0x20005000, 0x08005001) << Verdict::ResetOutsideApplication;
        QTest::newRow("an even reset vector is no Thumb entry, so outside the application")
            << vectors(0x20005000, 0x080041C4) << Verdict::ResetOutsideApplication;
        QTest::newRow("a stack at the very end of SRAM, 0x20050000, is plausible")
            << vectors(0x20050000, 0x080041C5) << Verdict::Plausible;
        QTest::newRow("a stack one word past the end of SRAM is outside it")
            << vectors(0x20050004, 0x080041C5) << Verdict::StackOutsideSram;
        QTest::newRow("a stack pointer not on a word boundary is refused")
            << vectors(0x20005002, 0x080041C5) << Verdict::StackOutsideSram;
        QTest::newRow("plain text is not firmware")
            << QByteArray("Release notes, firmware 1.0.38:\n\t- faster start\n")
            << Verdict::NotFirmware;
        QTest::newRow("7 bytes are too short for a vector table")
            << vectors(0x20005000, 0x080041C5).left(7) << Verdict::TooShort;
    }

    void vectorTable()
    {
        QFETCH(QByteArray, head);
        QFETCH(Verdict, verdict);
        const auto result = ImageCheck::checkImage(head, qMax<qint64>(head.size(), 4096));
        QCOMPARE(result.verdict, verdict);
        QCOMPARE(result.plausible(), verdict == Verdict::Plausible);
        QCOMPARE(result.reason.isEmpty(), result.plausible());
    }

    void rateAndTimeRemaining_data()
    {
        QTest::addColumn<QList<QPoint>>("reports"); // (milliseconds, bytes sent), in order
        QTest::addColumn<int>("total");
        QTest::addColumn<QString>("text");
        QTest::newRow("the first report only starts the clock: no rate, no time left")
            << QList<QPoint>{{0, 4096}} << 102400 << "更新进度：4096 / 102400 字节（4%）";
        QTest::newRow("below 5 % the rate shows, the time left does not")
            << QList<QPoint>{{0, 0}, {1000, 4096}} << 102400
            << "更新进度：4096 / 102400 字节（4%） · 4.0 KB/s";
        QTest::newRow("reports closer than 0.1 s make one interval; from 5 % the time left shows")
            << QList<QPoint>{{0, 0}, {50, 4096}, {1000, 8192}} << 102400
            << "更新进度：8192 / 102400 字节（8%） · 8.0 KB/s · 剩余 12 秒";
        QTest::newRow("a stall of 3 s moves the rate 63 % of the way to its own, not all of it")
            << QList<QPoint>{{0, 0}, {1000, 4096}, {4000, 8192}} << 102400
            << "更新进度：8192 / 102400 字节（8%） · 2.3 KB/s · 剩余 40 秒";
        QTest::newRow("a minute or more is told in minutes and seconds")
            << QList<QPoint>{{0, 0}, {10000, 16384}} << 236544
            << "更新进度：16384 / 236544 字节（7%） · 1.6 KB/s · 剩余 2 分 14 秒";
        QTest::newRow("with every byte out no time is left to count")
            << QList<QPoint>{{0, 0}, {1000, 102400}} << 102400
            << "更新进度：102400 / 102400 字节（100%） · 100.0 KB/s";
    }

    void rateAndTimeRemaining()
    {
        QFETCH(QList<QPoint>, reports);
        QFETCH(int, total);
        QFETCH(QString, text);
        FirmwareRules::RateEstimate rate;
        for (const QPoint &report : reports)
            rate.add(report.y(), report.x());
        const int shown = reports.last().y();
        QCOMPARE(FirmwareRules::progressText(
                     shown, total, rate.kbps(),
                     FirmwareRules::secondsRemaining(shown, total, rate.kbps())),
                 text);
    }
};

QTEST_APPLESS_MAIN(TestFirmwareRules)
#include "tst_firmwarerules.moc"
