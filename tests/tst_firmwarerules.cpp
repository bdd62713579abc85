// Rules that need no widget: the image limit from the stored KiB, the vector table check, and
// whether a restored window size is believable. The progress text is tested through the window
// (tst_update_flow), the window's placement too (tst_port_discovery).

#include "app/windowgeometry.h"
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
const QList<QRect> kOneScreen{QRect(0, 0, 1440, 900)};
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
        QTest::newRow("0 gives the bootloader's 237440") << QVariant(0) << 237440;
        QTest::newRow("232 gives 237440") << QVariant(232) << 237440;
        QTest::newRow("a word gives 237440") << QVariant("viel") << 237440;
        QTest::newRow("a fraction gives 237440") << QVariant("10.5") << 237440;
        QTest::newRow("4294967297 is not cut to its low 32 bits (1)")
            << QVariant(Q_INT64_C(4294967297)) << 237440;
        QTest::newRow("true is no number") << QVariant(true) << 237440;
    }

    void limitFromTheStoredKiB()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, limit);
        QCOMPARE(FirmwareRules::sizeLimitBytes(stored), limit);
    }

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
        QTest::newRow("a stack one word past the end of SRAM is outside it")
            << vectors(0x20050004, 0x080041C5) << Verdict::StackOutsideSram;
        QTest::newRow("a stack pointer not on a word boundary is refused")
            << vectors(0x20005002, 0x080041C5) << Verdict::StackOutsideSram;
        QTest::newRow("an Intel HEX file is not firmware")
            << QByteArray(":020000040800F2\r\n:1040000000500020C5410008D5410008D541000838\r\n")
            << Verdict::NotFirmware;
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

    void believableSize_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QList<QRect>>("screens");
        QTest::addColumn<bool>("believable"); // with a default size of 580 x 640
        QTest::newRow("twice the screen is believable") << QSize(2880, 1800) << kOneScreen << true;
        QTest::newRow("one pixel wider is not") << QSize(2881, 700) << kOneScreen << false;
        QTest::newRow("the default size on a smaller screen is believable")
            << QSize(580, 640) << QList<QRect>{QRect(0, 0, 200, 150)} << true;
    }

    void believableSize()
    {
        QFETCH(QSize, size);
        QFETCH(QList<QRect>, screens);
        QFETCH(bool, believable);
        QCOMPARE(plausibleWindowSize(size, QSize(580, 640), screens), believable);
    }
};

QTEST_APPLESS_MAIN(TestFirmwareRules)
#include "tst_firmwarerules.moc"
