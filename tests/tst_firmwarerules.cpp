// Rules that need no widget: the image limit from the stored KiB, the vector table check, and the
// window's default placement, how much of it the screens show and whether a restored size is
// believable. The progress text is tested through the window (tst_update_flow).

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
const QList<QRect> kTwoScreens{QRect(0, 0, 1440, 900), QRect(1440, 0, 1920, 1080)};
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

    void defaultPlacement_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QSize>("minimum");
        QTest::newRow("500 x 400 gives 480 x 430, larger than the screen, and as the minimum")
            << QRect(0, 0, 500, 400) << QRect(10, -15, 480, 430) << QSize(480, 430);
        QTest::newRow("a monitor left of the primary truncates the centre toward zero")
            << QRect(-1280, 0, 1280, 800) << QRect(-929, 80, 580, 640) << QSize(540, 480);
        QTest::newRow("no primary screen counts as 1280 x 800")
            << QRect() << QRect(350, 80, 580, 640) << QSize(540, 480);
        QTest::newRow("an area at the end of the int range does not overflow")
            << QRect(2147482000, 0, 1000, 700) << QRect(2147482210, 30, 580, 640)
            << QSize(540, 480);
    }

    void defaultPlacement()
    {
        QFETCH(QRect, available);
        QFETCH(QRect, geometry);
        QFETCH(QSize, minimum);
        const WindowPlacement placement = defaultWindowPlacement(available);
        QCOMPARE(placement.geometry, geometry);
        QCOMPARE(placement.minimumSize, minimum);
    }

    void shownEnough_data()
    {
        QTest::addColumn<QRect>("frame");
        QTest::addColumn<QList<QRect>>("screens");
        QTest::addColumn<bool>("enough");
        QTest::newRow("a corner of exactly 120 x 60 px is enough")
            << QRect(1320, 840, 580, 640) << kOneScreen << true;
        QTest::newRow("119 px wide is not") << QRect(1321, 840, 580, 640) << kOneScreen << false;
        QTest::newRow("a second screen may show it")
            << QRect(1500, 100, 580, 640) << kTwoScreens << true;
        QTest::newRow("100 px on each of two screens is not enough")
            << QRect(1340, 100, 200, 640) << kTwoScreens << false;
    }

    void shownEnough()
    {
        QFETCH(QRect, frame);
        QFETCH(QList<QRect>, screens);
        QFETCH(bool, enough);
        QCOMPARE(showsEnoughOnScreens(frame, screens), enough);
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
