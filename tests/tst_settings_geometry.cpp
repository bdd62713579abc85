// Settings and window geometry in the window: the placement at start from the screen and the
// restored geometry with its checks, and what is saved at destruction and read back.

#include "window_access.h"

#include <QTest>

namespace {
ScreenAreas g_screens;
// The offscreen platform's own screen, so that Qt's restore and the window's check agree.
const QRect kPlatformScreen(0, 0, 800, 600);
} // namespace

class TestSettingsGeometry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        useTestEnvironment({{"ttyS0", ""}, {"ttyUSB0", "CP2102"}});
        DialogTestAccess::setScreens([] { return g_screens; });
    }
    void init()
    {
        store().clear();
        g_screens = {kPlatformScreen, {kPlatformScreen}};
    }
    void cleanupTestCase() { DialogTestAccess::setScreens(nullptr); }

    void placementAtStart_data()
    {
        QTest::addColumn<bool>("saved"); // at (50, 40), 600 x 500 on the platform's screen
        QTest::addColumn<QRect>("screen");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QSize>("minimum");
        const QRect saved(50, 40, 600, 500);
        QTest::newRow("a first start on 1440 x 900 is 580 x 640 at (430, 130), minimum 540 x 480")
            << false << QRect(0, 0, 1440, 900) << QRect(430, 130, 580, 640) << QSize(540, 480);
        QTest::newRow("a saved geometry on the screen is restored")
            << true << kPlatformScreen << saved << QSize(540, 480);
        QTest::newRow("a saved geometry that no screen shows goes back to the default")
            << true << QRect(700, 0, 400, 300) << QRect(660, -65, 480, 430) << QSize(480, 430);
        QTest::newRow("a saved geometry still showing 120 x 60 px stays")
            << true << QRect(530, 480, 1000, 1000) << saved << QSize(540, 480);
    }

    void placementAtStart()
    {
        QFETCH(bool, saved);
        QFETCH(QRect, screen);
        QFETCH(QRect, geometry);
        QFETCH(QSize, minimum);
        if (saved)
            Dialog().setGeometry(50, 40, 600, 500);
        // Qt's restore checks the platform's screen by itself; the window checks this one.
        g_screens = {screen, {screen}};
        Dialog dialog;
        QCOMPARE(dialog.geometry(), geometry);
        QCOMPARE(dialog.minimumSize(), minimum);
    }

    void damagedGeometryLeavesAUsableWindow_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("garbage bytes") << QVariant(QByteArray("not a geometry"));
        // Qt restores what it can of this (how much depends on its version).
        QWidget huge;
        huge.setGeometry(0, 0, 100000, 90000);
        QTest::newRow("a window of 100000 x 90000 px") << QVariant(huge.saveGeometry());
    }

    void damagedGeometryLeavesAUsableWindow()
    {
        QFETCH(QVariant, stored);
        store().setValue(QStringLiteral("windowGeometry"), stored);
        Dialog dialog;
        const QRect shown = dialog.geometry();
        QVERIFY2(shown.width() <= 1600 && shown.height() <= 1200 &&
                     showsEnoughOnScreens(dialog.frameGeometry(), g_screens.available),
                 qPrintable(QStringLiteral("%1 x %2").arg(shown.width()).arg(shown.height())));
        QCOMPARE(dialog.minimumSize(), QSize(540, 480));
    }

    void savedAtDestructionAndRestored()
    {
        const QString path = QStringLiteral("  /images/app v2.bin ");
        {
            Dialog first;
            DialogTestAccess(first).portSelector()->setCurrentIndex(1);
            DialogTestAccess(first).pathField()->setText(path);
            first.setGeometry(60, 50, 620, 520);
        }
        Dialog second;
        QCOMPARE(DialogTestAccess(second).selectedPort(), QStringLiteral("ttyUSB0"));
        QCOMPARE(DialogTestAccess(second).pathField()->text(), path);
        QCOMPARE(second.geometry(), QRect(60, 50, 620, 520));
    }

    void savedPortMustMatchExactly_data()
    {
        QTest::addColumn<QString>("saved");
        QTest::newRow("the item text is not the port name") << "ttyUSB0 (CP2102)";
        QTest::newRow("case matters") << "TTYUSB0";
    }

    void savedPortMustMatchExactly()
    {
        QFETCH(QString, saved);
        store().setValue(QStringLiteral("serialPort"), saved);
        Dialog dialog;
        QCOMPARE(DialogTestAccess(dialog).portSelector()->currentData().toString(), "ttyS0");
    }
};

QTEST_MAIN(TestSettingsGeometry)
#include "tst_settings_geometry.moc"
