// Settings and window geometry in the window: default size and position from the screen, the
// restored geometry and its on-screen check, and what is saved at destruction and read back.

#include "testsettings.h"
#include "update_access.h"

#include <QDataStream>
#include <QSettings>
#include <QTest>

#include <memory>

namespace {
using Access = DialogTestAccess;

QList<PortListing> g_ports;
ScreenAreas g_screens;

QSettings store()
{
    return QSettings(QStringLiteral("YourCompany"), QStringLiteral("YourApp"));
}

// A saved geometry as QWidget::saveGeometry writes it (format 3).
QByteArray geometryBytes(const QRect &rect)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_4_0);
    stream << quint32(0x1D9D0CB) << quint16(3) << quint16(0) << rect << rect << qint32(0)
           << quint8(0) << quint8(0) << qint32(800) << rect;
    return bytes;
}

void setScreens(const QRect &primary, const QList<QRect> &all)
{
    g_screens = {primary, all};
}
} // namespace

class TestSettingsGeometry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void defaultGeometryFollowsTheScreen_data();
    void defaultGeometryFollowsTheScreen();
    void firstStart();
    void restoredGeometry_data();
    void restoredGeometry();
    void damagedGeometryLeavesAUsableWindow_data();
    void damagedGeometryLeavesAUsableWindow();
    void ensureOnScreenMovesALostWindowBack();
    void savedAtDestructionAndRestored();
    void savedPortMustMatchExactly_data();
    void savedPortMustMatchExactly();
    void nothingIsSavedBeforeDestruction();
};

void TestSettingsGeometry::initTestCase()
{
    usePrivateSettingsFolder();
    Dialog::setPortEnumerator([] { return g_ports; });
    Access::setScreens([] { return g_screens; });
}

void TestSettingsGeometry::cleanupTestCase()
{
    Access::setScreens(nullptr);
}

void TestSettingsGeometry::init()
{
    store().clear();
    g_ports = {{QStringLiteral("ttyS0"), QString()},
               {QStringLiteral("ttyUSB0"), QStringLiteral("CP2102")}};
    // The offscreen platform's own screen, so that Qt's restore and ours agree.
    setScreens(QRect(0, 0, 800, 600), {QRect(0, 0, 800, 600)});
}

void TestSettingsGeometry::defaultGeometryFollowsTheScreen_data()
{
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QSize>("minimum");
    QTest::addColumn<QPoint>("topLeft");
    QTest::newRow("1440 x 900: 580 x 640, minimum 540 x 480, at (430, 130)")
        << QRect(0, 0, 1440, 900) << QSize(580, 640) << QSize(540, 480) << QPoint(430, 130);
    QTest::newRow("800 x 600: 580 x 540, minimum 540 x 480")
        << QRect(0, 0, 800, 600) << QSize(580, 540) << QSize(540, 480) << QPoint(110, 30);
    QTest::newRow("500 x 400: 480 x 430, minimum 480 x 430")
        << QRect(0, 0, 500, 400) << QSize(480, 430) << QSize(480, 430) << QPoint(10, -15);
    QTest::newRow("no primary screen: as on 1280 x 800")
        << QRect() << QSize(580, 640) << QSize(540, 480) << QPoint(350, 80);
}

void TestSettingsGeometry::defaultGeometryFollowsTheScreen()
{
    QFETCH(QRect, available);
    QFETCH(QSize, size);
    QFETCH(QSize, minimum);
    QFETCH(QPoint, topLeft);
    setScreens(available, {available});
    Dialog dialog;
    QCOMPARE(dialog.size(), size);
    QCOMPARE(dialog.minimumSize(), minimum);
    QCOMPARE(dialog.pos(), topLeft);
    QCOMPARE(Access::defaultGeometry(dialog), QRect(topLeft, size));
}

void TestSettingsGeometry::firstStart()
{
    Dialog dialog;
    QCOMPARE(Access::portSelector(dialog)->currentIndex(), 0);
    QVERIFY(Access::pathEdit(dialog)->text().isEmpty());
    QCOMPARE(dialog.geometry(), QRect(110, 30, 580, 540));
}

void TestSettingsGeometry::restoredGeometry_data()
{
    QTest::addColumn<QList<QRect>>("screensNow"); // the first one is the primary screen
    QTest::addColumn<QRect>("expected");

    // Saved at (50, 40), 600 x 500: inside the platform's own 800 x 600 screen, which Qt's
    // restore checks by itself; the screens given here are what the window checks.
    const QRect saved(50, 40, 600, 500);
    QTest::newRow("a saved geometry on the screen is restored")
        << QList<QRect>{QRect(0, 0, 800, 600)} << saved;
    QTest::newRow("a geometry that no screen shows goes back to the default")
        << QList<QRect>{QRect(700, 0, 400, 300)} << QRect(660, -65, 480, 430);
    QTest::newRow("a geometry still showing 120 x 60 px stays")
        << QList<QRect>{QRect(530, 480, 1000, 1000)} << saved;
    QTest::newRow("a geometry showing 119 x 60 px goes back to the default")
        << QList<QRect>{QRect(531, 480, 1000, 1000)} << QRect(741, 660, 580, 640);
    QTest::newRow("a geometry that a second screen shows stays")
        << QList<QRect>{QRect(2000, 0, 800, 600), QRect(0, 0, 800, 600)} << saved;
}

void TestSettingsGeometry::restoredGeometry()
{
    QFETCH(QList<QRect>, screensNow);
    QFETCH(QRect, expected);
    const QRect saved(50, 40, 600, 500);
    {
        Dialog first;
        first.setGeometry(saved);
        QCOMPARE(first.frameGeometry(), saved); // the offscreen platform draws no frame
    }
    QVERIFY(!store().value(QStringLiteral("windowGeometry")).toByteArray().isEmpty());

    setScreens(screensNow.first(), screensNow);
    Dialog second;
    QCOMPARE(second.geometry(), expected);
}

void TestSettingsGeometry::damagedGeometryLeavesAUsableWindow_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<bool>("exactlyDefault");
    QTest::newRow("garbage bytes") << QVariant(QByteArray("not a geometry at all")) << true;
    QTest::newRow("a number") << QVariant(42) << true;
    // Qt restores what it can of these (how much depends on its version); the window must
    // still be usable and not absurdly large.
    QTest::newRow("a window of 100000 x 90000 px")
        << QVariant(geometryBytes(QRect(0, 0, 100000, 90000))) << false;
    QTest::newRow("a cut-off record") << QVariant(QByteArray::fromHex("01d9d0cb0003")) << false;
}

void TestSettingsGeometry::damagedGeometryLeavesAUsableWindow()
{
    QFETCH(QVariant, stored);
    QFETCH(bool, exactlyDefault);
    store().setValue(QStringLiteral("windowGeometry"), stored);
    Dialog dialog;
    QCOMPARE(dialog.minimumSize(), QSize(540, 480));
    if (exactlyDefault) {
        QCOMPARE(dialog.geometry(), QRect(110, 30, 580, 540));
        return;
    }
    QVERIFY2(dialog.width() <= 1600 && dialog.height() <= 1200 &&
                 showsEnoughOnScreens(dialog.frameGeometry(), g_screens.available),
             qPrintable(QStringLiteral("%1,%2 %3x%4")
                            .arg(dialog.x())
                            .arg(dialog.y())
                            .arg(dialog.width())
                            .arg(dialog.height())));
}

void TestSettingsGeometry::ensureOnScreenMovesALostWindowBack()
{
    Dialog dialog;
    dialog.setGeometry(680, 540, 600, 500);
    setScreens(QRect(0, 0, 800, 600), {QRect(0, 0, 800, 600)});
    Access::ensureOnScreen(dialog); // 120 x 60 px visible: stays
    QCOMPARE(dialog.geometry(), QRect(680, 540, 600, 500));

    setScreens(QRect(0, 0, 800, 600), {});
    Access::ensureOnScreen(dialog); // no screen at all
    QCOMPARE(dialog.geometry(), QRect(110, 30, 580, 540));
}

void TestSettingsGeometry::savedAtDestructionAndRestored()
{
    const QString path = QStringLiteral("  /images/app v2.bin ");
    {
        Dialog first;
        Access::portSelector(first)->setCurrentIndex(1);
        Access::pathEdit(first)->setText(path);
        Access::history(first) = QStringList{QStringLiteral("*IDN?"), QStringLiteral("AT")};
        first.setGeometry(60, 50, 620, 520);
    }
    QSettings settings = store();
    QCOMPARE(settings.value(QStringLiteral("serialPort")).toString(), QStringLiteral("ttyUSB0"));
    QCOMPARE(settings.value(QStringLiteral("firmwareFile")).toString(), path);
    QVERIFY(!settings.value(QStringLiteral("windowGeometry")).toByteArray().isEmpty());
    QCOMPARE(settings.value(QStringLiteral("commandHistory")).toStringList(),
             (QStringList{QStringLiteral("*IDN?"), QStringLiteral("AT")}));

    Dialog second;
    QCOMPARE(Access::portSelector(second)->currentData().toString(), QStringLiteral("ttyUSB0"));
    QCOMPARE(Access::pathEdit(second)->text(), path);
    QCOMPARE(second.geometry(), QRect(60, 50, 620, 520));
    QCOMPARE(second.minimumSize(), QSize(540, 480));
    QCOMPARE(Access::history(second), (QStringList{QStringLiteral("*IDN?"), QStringLiteral("AT")}));
}

void TestSettingsGeometry::savedPortMustMatchExactly_data()
{
    QTest::addColumn<QVariant>("saved");
    QTest::addColumn<QString>("selected");
    QTest::newRow("the saved port is selected") << QVariant("ttyUSB0") << "ttyUSB0";
    QTest::newRow("a port that is gone leaves the first") << QVariant("ttyACM3") << "ttyS0";
    QTest::newRow("the item text is not the port name") << QVariant("ttyUSB0 (CP2102)") << "ttyS0";
    QTest::newRow("case matters") << QVariant("TTYUSB0") << "ttyS0";
    QTest::newRow("a list instead of a name is ignored")
        << QVariant(QStringList{"ttyUSB0", "x"}) << "ttyS0";
}

void TestSettingsGeometry::savedPortMustMatchExactly()
{
    QFETCH(QVariant, saved);
    QFETCH(QString, selected);
    store().setValue(QStringLiteral("serialPort"), saved);
    Dialog dialog;
    QCOMPARE(Access::portSelector(dialog)->currentData().toString(), selected);
}

void TestSettingsGeometry::nothingIsSavedBeforeDestruction()
{
    Dialog dialog;
    Access::pathEdit(dialog)->setText(QStringLiteral("/x.bin"));
    Access::portSelector(dialog)->setCurrentIndex(1);
    QCoreApplication::processEvents();
    QSettings settings = store();
    settings.sync();
    QVERIFY(!settings.contains(QStringLiteral("serialPort")));
    QVERIFY(!settings.contains(QStringLiteral("firmwareFile")));
    QVERIFY(!settings.contains(QStringLiteral("windowGeometry")));
}

QTEST_MAIN(TestSettingsGeometry)
#include "tst_settings_geometry.moc"
