// The vector table check, which needs no widget. The image limit from the store and the progress
// text are tested through the window (tst_firmware_selection, tst_update_flow), the window's
// placement too (tst_port_discovery).

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
};

QTEST_APPLESS_MAIN(TestFirmwareRules)
#include "tst_firmwarerules.moc"
