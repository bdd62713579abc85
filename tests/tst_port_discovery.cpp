// Serial port discovery and settings in the window: labels and tooltips, keeping the chosen port
// and the image path across scans and starts, no rescan while an update runs; the placement at
// start from the screen and the restored geometry with its checks.

#include "window_access.h"

#include <QTest>

namespace {
PortListing port(const char *name, const char *description = "")
{
    return {QLatin1String(name), QString::fromUtf8(description)};
}

QStringList items(QComboBox *combo, int role = Qt::DisplayRole)
{
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemData(i, role).toString();
    return texts;
}
ScreenAreas g_screens;
// The offscreen platform's own screen, so that Qt's restore and the window's check agree.
const QRect kPlatformScreen(0, 0, 800, 600);
const QString kPath = QStringLiteral("  /images/app v2.bin ");
} // namespace

class TestPortDiscovery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        useTestEnvironment();
        DialogTestAccess::setScreens([] { return g_screens; });
    }
    void init()
    {
        store().clear();
        g_screens = {kPlatformScreen, {kPlatformScreen}};
        g_ports = {port("cu.usbserial-10", "USB Serial"), port("ttyS0"), port("ttyUSB1", "CP2102")};
        m_dialog = std::make_unique<Dialog>();
    }
    void cleanup() { m_dialog.reset(); }

    void rescans_data()
    {
        QTest::addColumn<QString>("selected");
        QTest::addColumn<bool>("updating");
        QTest::addColumn<QList<PortListing>>("next");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("selectedAfter"); // empty: nothing selected
        QTest::newRow("a new port in front keeps the selected port")
            << "ttyUSB1" << false
            << QList<PortListing>{port("ttyACM0"), port("cu.usbserial-10", "USB Serial"),
                                  port("ttyS0"), port("ttyUSB1", "CP2102")}
            << QStringList{"ttyACM0", "cu.usbserial-10", "ttyS0", "ttyUSB1"} << "ttyUSB1";
        QTest::newRow("losing the selected port selects the first")
            << "ttyS0" << false
            << QList<PortListing>{port("cu.usbserial-10", "USB Serial"), port("ttyUSB1", "CP2102")}
            << QStringList{"cu.usbserial-10", "ttyUSB1"} << "cu.usbserial-10";
        QTest::newRow("losing every port leaves the selector empty")
            << "ttyS0" << false << QList<PortListing>{} << QStringList{} << "";
        QTest::newRow("a typed device path the system does not list stays as typed")
            << "TYPED" << false << QList<PortListing>{port("ttyS0"), port("ttyACM0")}
            << QStringList{"ttyS0", "ttyACM0"} << "TYPED";
        QTest::newRow("a new list is not taken while an update runs")
            << "ttyS0" << true << QList<PortListing>{port("ttyNEW")}
            << QStringList{"cu.usbserial-10", "ttyS0", "ttyUSB1"} << "ttyS0";
    }

    void rescans()
    {
        QFETCH(QString, selected);
        QFETCH(bool, updating);
        QFETCH(QList<PortListing>, next);
        QFETCH(QStringList, names);
        QFETCH(QString, selectedAfter);
        QTemporaryDir dir; // "TYPED" is a path that exists
        const QString typed = makeFile(dir, QStringLiteral("pts-7"), 0);
        selected.replace(QStringLiteral("TYPED"), typed);
        selectedAfter.replace(QStringLiteral("TYPED"), typed);
        FlatComboBox *combo = win().portSelector();
        if (combo->findData(selected) >= 0)
            combo->setCurrentIndex(combo->findData(selected));
        else
            combo->setEditText(selected);
        win().setUpdating(updating);
        g_ports = next;
        win().scan();
        QCOMPARE(items(combo, Qt::UserRole), names);
        QCOMPARE(win().selectedPort(), selectedAfter);
        // The port in use, typed or listed, and the image path come back at the next start.
        win().setUpdating(false);
        win().pathField()->setText(kPath);
        m_dialog.reset();
        m_dialog = std::make_unique<Dialog>();
        // (A listed name gone by then gives way to the first port.)
        QCOMPARE(win().selectedPort(), updating ? QString("ttyNEW") : selectedAfter);
        QCOMPARE(win().pathField()->text(), kPath);
    }

    void tooltipTellsAdaptersApart()
    {
        PortListing usb = port("ttyUSB0", "CP2102");
        usb.serialNumber = QStringLiteral("A1");
        usb.hasIds = true;
        usb.vendorId = 0x10c4;
        usb.productId = 0xea60;
        g_ports = {usb};
        win().scan();
        QCOMPARE(items(win().portSelector(), Qt::ToolTipRole),
                 QStringList{"描述：CP2102\n序列号：A1\nVID:PID：10c4:ea60"});
    }

    void placementAtStart_data()
    {
        QTest::addColumn<QByteArray>("saved"); // "window": one at (50, 40), 600 x 500 was closed
        QTest::addColumn<QList<QRect>>("screens"); // the primary first; none: no primary
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QSize>("minimum");
        const QRect kept(50, 40, 600, 500);
        const QSize usual(540, 480);
        QTest::newRow("a first start on 1440 x 900 is 580 x 640 at (430, 130), minimum 540 x 480")
            << QByteArray() << QList<QRect>{{0, 0, 1440, 900}} << QRect(430, 130, 580, 640)
            << usual;
        QTest::newRow("no primary screen counts as 1280 x 800")
            << QByteArray() << QList<QRect>{} << QRect(350, 80, 580, 640) << usual;
        QTest::newRow("a saved geometry on the screen is restored")
            << QByteArray("window") << QList<QRect>{kPlatformScreen} << kept << usual;
        QTest::newRow("a saved size within twice the default stays on a smaller screen")
            << QByteArray("window") << QList<QRect>{{0, 0, 280, 240}} << kept << QSize(480, 430);
        QTest::newRow("a saved geometry that no screen shows goes back to the default, 480 x 430")
            << QByteArray("window") << QList<QRect>{{700, 0, 400, 300}} << QRect(660, -65, 480, 430)
            << QSize(480, 430);
        QTest::newRow("a saved geometry showing 119 x 60 px goes back to the default")
            << QByteArray("window") << QList<QRect>{{531, 480, 1000, 1000}}
            << QRect(741, 660, 580, 640) << usual;
    }

    void placementAtStart()
    {
        QFETCH(QByteArray, saved);
        QFETCH(QList<QRect>, screens);
        QFETCH(QRect, geometry);
        QFETCH(QSize, minimum);
        if (!saved.isEmpty())
            Dialog().setGeometry(50, 40, 600, 500);
        // Qt's restore checks the platform's screen by itself; the window checks these.
        g_screens = {screens.value(0), screens};
        Dialog dialog;
        QCOMPARE(dialog.geometry(), geometry);
        QCOMPARE(dialog.minimumSize(), minimum);
    }

private:
    std::unique_ptr<Dialog> m_dialog;
    DialogTestAccess win() const { return DialogTestAccess(*m_dialog); }
};

QTEST_MAIN(TestPortDiscovery)
#include "tst_port_discovery.moc"
