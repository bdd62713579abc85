// Window placement rules that need no widget: default and minimum size and the centred position
// from a screen's available area, whether screens show enough of a window, and whether a restored
// size is believable.

#include "app/windowgeometry.h"

#include <QTest>

class TestWindowGeometry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void defaultPlacement_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QSize>("minimum");
        QTest::newRow("1440 x 900 gives 580 x 640 at (430, 130), minimum 540 x 480")
            << QRect(0, 0, 1440, 900) << QRect(430, 130, 580, 640) << QSize(540, 480);
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

    void visibility_data()
    {
        QTest::addColumn<QRect>("frame");
        QTest::addColumn<QList<QRect>>("screens");
        QTest::addColumn<bool>("enough");
        const QRect left(0, 0, 1440, 900);
        const QRect right(1440, 0, 1920, 1080);
        QTest::newRow("a corner of exactly 120 x 60 px is enough")
            << QRect(1320, 840, 580, 640) << QList<QRect>{left} << true;
        QTest::newRow("119 px wide is not")
            << QRect(1321, 840, 580, 640) << QList<QRect>{left} << false;
        QTest::newRow("a second screen may show it")
            << QRect(1500, 100, 580, 640) << QList<QRect>{left, right} << true;
        QTest::newRow("100 px on each of two screens is not enough")
            << QRect(1340, 100, 200, 640) << QList<QRect>{left, right} << false;
    }

    void visibility()
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
        const QList<QRect> one{QRect(0, 0, 1440, 900)};
        QTest::newRow("twice the screen is believable") << QSize(2880, 1800) << one << true;
        QTest::newRow("one pixel wider is not") << QSize(2881, 700) << one << false;
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

QTEST_APPLESS_MAIN(TestWindowGeometry)
#include "tst_windowgeometry.moc"
