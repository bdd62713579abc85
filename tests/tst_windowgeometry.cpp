// Window placement rules that need no widget: the default size, minimum size and centred
// position from a screen's available area, and whether a screen shows enough of a window.

#include "app/windowgeometry.h"

#include <QTest>

class TestWindowGeometry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void defaultPlacement_data();
    void defaultPlacement();
    void visibility_data();
    void visibility();
    void restoredSizeMustBeBelievable_data();
    void restoredSizeMustBeBelievable();
};

void TestWindowGeometry::defaultPlacement_data()
{
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QSize>("minimum");

    QTest::newRow("1440 x 900 gives 580 x 640 at (430, 130)")
        << QRect(0, 0, 1440, 900) << QRect(430, 130, 580, 640) << QSize(540, 480);
    QTest::newRow("800 x 600 gives 580 x 540")
        << QRect(0, 0, 800, 600) << QRect(110, 30, 580, 540) << QSize(540, 480);
    QTest::newRow("500 x 400 gives 480 x 430, larger than the screen")
        << QRect(0, 0, 500, 400) << QRect(10, -15, 480, 430) << QSize(480, 430);
    QTest::newRow("600 x 500 shrinks the minimum width below 540")
        << QRect(0, 0, 600, 500) << QRect(20, 30, 560, 440) << QSize(540, 440);
    QTest::newRow("a second monitor to the right centres on that monitor")
        << QRect(1920, 0, 1920, 1080) << QRect(2590, 220, 580, 640) << QSize(540, 480);
    QTest::newRow("a bar along the top shifts the centre down")
        << QRect(0, 40, 1366, 728) << QRect(393, 84, 580, 640) << QSize(540, 480);
    QTest::newRow("a monitor to the left truncates the centre toward zero")
        << QRect(-1280, 0, 1280, 800) << QRect(-929, 80, 580, 640) << QSize(540, 480);
    QTest::newRow("odd sizes truncate both halves")
        << QRect(0, 0, 1001, 701) << QRect(211, 31, 580, 640) << QSize(540, 480);
    QTest::newRow("no primary screen assumes 1280 x 800 at the origin")
        << QRect() << QRect(350, 80, 580, 640) << QSize(540, 480);
    QTest::newRow("an area near the end of the int range does not overflow")
        << QRect(2147482000, 0, 1000, 700) << QRect(2147482210, 30, 580, 640) << QSize(540, 480);
}

void TestWindowGeometry::defaultPlacement()
{
    QFETCH(QRect, available);
    QFETCH(QRect, geometry);
    QFETCH(QSize, minimum);
    const WindowPlacement placement = defaultWindowPlacement(available);
    QCOMPARE(placement.geometry, geometry);
    QCOMPARE(placement.minimumSize, minimum);
}

void TestWindowGeometry::visibility_data()
{
    QTest::addColumn<QRect>("frame");
    QTest::addColumn<QList<QRect>>("screens");
    QTest::addColumn<bool>("enough");

    const QRect screen(0, 0, 1440, 900);
    QTest::newRow("a window inside the screen")
        << QRect(100, 100, 580, 640) << QList<QRect>{screen} << true;
    QTest::newRow("a corner of exactly 120 x 60 px is enough")
        << QRect(1320, 840, 580, 640) << QList<QRect>{screen} << true;
    QTest::newRow("119 px wide is not")
        << QRect(1321, 840, 580, 640) << QList<QRect>{screen} << false;
    QTest::newRow("59 px high is not")
        << QRect(1320, 841, 580, 640) << QList<QRect>{screen} << false;
    QTest::newRow("a window on a detached monitor")
        << QRect(3000, 100, 580, 640) << QList<QRect>{screen} << false;
    QTest::newRow("no screens at all") << QRect(100, 100, 580, 640) << QList<QRect>{} << false;
    QTest::newRow("a second screen that shows it")
        << QRect(1500, 100, 580, 640) << QList<QRect>{screen, QRect(1440, 0, 1920, 1080)} << true;
    QTest::newRow("100 px on each of two screens is not enough on either")
        << QRect(1340, 100, 200, 640) << QList<QRect>{screen, QRect(1440, 0, 1920, 1080)} << false;
}

void TestWindowGeometry::visibility()
{
    QFETCH(QRect, frame);
    QFETCH(QList<QRect>, screens);
    QFETCH(bool, enough);
    QCOMPARE(showsEnoughOnScreens(frame, screens), enough);
}

void TestWindowGeometry::restoredSizeMustBeBelievable_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QList<QRect>>("screens");
    QTest::addColumn<bool>("plausible");

    const QSize defaultSize(580, 640);
    const QList<QRect> one{QRect(0, 0, 1440, 900)};
    const QList<QRect> two{QRect(0, 0, 1440, 900), QRect(1440, 0, 1920, 1080)};
    QTest::newRow("a normal window") << QSize(620, 700) << one << true;
    QTest::newRow("larger than the screen") << QSize(1600, 1000) << one << true;
    QTest::newRow("twice the screen") << QSize(2880, 1800) << one << true;
    QTest::newRow("more than twice as wide as the screen") << QSize(2881, 700) << one << false;
    QTest::newRow("more than twice as high as the screen") << QSize(620, 1801) << one << false;
    QTest::newRow("spanning two screens side by side") << QSize(3360, 1080) << two << true;
    QTest::newRow("100000 x 90000 from a damaged store") << QSize(100000, 90000) << two << false;
    QTest::newRow("the default size on a screen smaller than it")
        << defaultSize << QList<QRect>{QRect(0, 0, 200, 150)} << true;
    QTest::newRow("no screens: twice the default size")
        << QSize(1160, 1280) << QList<QRect>{} << true;
}

void TestWindowGeometry::restoredSizeMustBeBelievable()
{
    QFETCH(QSize, size);
    QFETCH(QList<QRect>, screens);
    QFETCH(bool, plausible);
    QCOMPARE(plausibleWindowSize(size, QSize(580, 640), screens), plausible);
}

QTEST_APPLESS_MAIN(TestWindowGeometry)
#include "tst_windowgeometry.moc"
