// Serial port discovery and settings in the window: labels and tooltips, rebuilding only on
// change, keeping the chosen port across scans and starts, the width of the drop-down list, no
// rescan while an update runs; the placement at start from the screen and the restored geometry
// with its checks, and what is saved at destruction and read back.

#include "window_access.h"

#include <QAbstractItemView>
#include <QSignalSpy>
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

    void sameListNeverRebuilds()
    {
        FlatComboBox *combo = win().portSelector();
        QCOMPARE(items(combo),
                 (QStringList{"cu.usbserial-10 (USB Serial)", "ttyS0", "ttyUSB1 (CP2102)"}));
        combo->setCurrentIndex(2);
        QSignalSpy insertions(combo->model(), &QAbstractItemModel::rowsInserted);
        QSignalSpy selections(combo, &QComboBox::currentIndexChanged);
        g_enumerations = 0;
        for (int scan = 0; scan < 3; ++scan)
            win().scan();
        QCOMPARE(g_enumerations, 3);
        QCOMPARE(insertions.count() + selections.count(), 0);
    }

    void rescans_data()
    {
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QList<PortListing>>("next");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("selectedAfter"); // empty: nothing selected
        QTest::newRow("a new port in front keeps the selected port")
            << "ttyUSB1"
            << QList<PortListing>{port("ttyACM0"), port("cu.usbserial-10", "USB Serial"),
                                  port("ttyS0"), port("ttyUSB1", "CP2102")}
            << QStringList{"ttyACM0", "cu.usbserial-10", "ttyS0", "ttyUSB1"} << "ttyUSB1";
        QTest::newRow("losing the selected port selects the first")
            << "ttyS0"
            << QList<PortListing>{port("cu.usbserial-10", "USB Serial"), port("ttyUSB1", "CP2102")}
            << QStringList{"cu.usbserial-10", "ttyUSB1"} << "cu.usbserial-10";
        QTest::newRow("a changed description rebuilds and keeps the port")
            << "ttyUSB1" << QList<PortListing>{port("ttyS0"), port("ttyUSB1", "CH340")}
            << QStringList{"ttyS0", "ttyUSB1"} << "ttyUSB1";
        QTest::newRow("a name differing only in case is another port")
            << "ttyUSB1" << QList<PortListing>{port("ttyS0"), port("TTYUSB1", "CP2102")}
            << QStringList{"ttyS0", "TTYUSB1"} << "ttyS0";
        QTest::newRow("losing every port leaves the selector empty")
            << "ttyS0" << QList<PortListing>{} << QStringList{} << "";
        QTest::newRow("a typed device path the system does not list stays as typed")
            << "TYPED" << QList<PortListing>{port("ttyS0"), port("ttyACM0")}
            << QStringList{"ttyS0", "ttyACM0"} << "TYPED";
    }

    void rescans()
    {
        QFETCH(QString, selected);
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
        g_ports = next;
        win().scan();
        QCOMPARE(items(combo, Qt::UserRole), names);
        QCOMPARE(win().selectedPort(), selectedAfter);
        // The port in use is remembered, typed or listed, and selected again at the next start.
        m_dialog.reset();
        m_dialog = std::make_unique<Dialog>();
        QCOMPARE(win().selectedPort(), selectedAfter);
    }

    void tooltipsTellIdenticalAdaptersApart()
    {
        PortListing first = port("ttyUSB0", "CP2102");
        first.manufacturer = QStringLiteral("Silicon Labs");
        first.serialNumber = QStringLiteral("A1");
        first.hasIds = true;
        first.vendorId = 0x10c4;
        first.productId = 0xea60;
        g_ports = {first, first};
        g_ports[1].name = QStringLiteral("ttyUSB1");
        g_ports[1].serialNumber = QStringLiteral("B2");
        win().scan();
        g_ports[1].serialNumber = QStringLiteral("C3"); // a swapped adapter with the same label
        win().scan();
        QCOMPARE(
            items(win().portSelector(), Qt::ToolTipRole),
            (QStringList{"描述：CP2102\n制造商：Silicon Labs\n序列号：A1\nVID:PID：10c4:ea60",
                         "描述：CP2102\n制造商：Silicon Labs\n序列号：C3\nVID:PID：10c4:ea60"}));
    }

    void popupWidthFitsTheLongestLabel()
    {
        m_dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
        FlatComboBox *combo = win().portSelector();
        const QString description = QStringLiteral("A very long description of a USB to serial "
                                                   "adapter with a rather talkative vendor string");
        g_ports = {port("ttyS0"), {QStringLiteral("ttyUSB0"), description}};
        win().scan();
        const int textWidth =
            combo->view()->fontMetrics().horizontalAdvance("ttyUSB0 (" + description + ")");
        QVERIFY(textWidth > combo->width());
        QVERIFY2(combo->view()->minimumWidth() >= textWidth + 28,
                 qPrintable(
                     QStringLiteral("%1 < %2").arg(combo->view()->minimumWidth()).arg(textWidth)));
        g_ports = {port("ttyS1")}; // back to short names: never narrower than the selector
        win().scan();
        QCOMPARE(combo->view()->minimumWidth(), combo->width());
    }

    void noRescanDuringAnUpdate()
    {
        const QStringList before = items(win().portSelector());
        win().setUpdating(true);
        g_ports = {port("ttyNEW")};
        win().scan();
        QCOMPARE(items(win().portSelector()), before);
        win().setUpdating(false);
        win().scan();
        QCOMPARE(items(win().portSelector()), QStringList{"ttyNEW"});
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
        QTest::newRow("a monitor left of the primary truncates the centre toward zero")
            << QByteArray() << QList<QRect>{{-1280, 0, 1280, 800}} << QRect(-929, 80, 580, 640)
            << usual;
        QTest::newRow("no primary screen counts as 1280 x 800")
            << QByteArray() << QList<QRect>{} << QRect(350, 80, 580, 640) << usual;
        QTest::newRow("an area at the end of the int range does not overflow")
            << QByteArray() << QList<QRect>{{2147482000, 0, 1000, 700}}
            << QRect(2147482210, 30, 580, 640) << usual;
        QTest::newRow("garbage in the store gives the default")
            << QByteArray("not a geometry") << QList<QRect>{{0, 0, 1440, 900}}
            << QRect(430, 130, 580, 640) << usual;
        QTest::newRow("a saved geometry on the screen is restored")
            << QByteArray("window") << QList<QRect>{kPlatformScreen} << kept << usual;
        QTest::newRow("a saved geometry that no screen shows goes back to the default, 480 x 430")
            << QByteArray("window") << QList<QRect>{{700, 0, 400, 300}} << QRect(660, -65, 480, 430)
            << QSize(480, 430);
        QTest::newRow("a saved geometry still showing 120 x 60 px stays")
            << QByteArray("window") << QList<QRect>{{530, 480, 1000, 1000}} << kept << usual;
        QTest::newRow("a saved geometry showing 119 x 60 px goes back to the default")
            << QByteArray("window") << QList<QRect>{{531, 480, 1000, 1000}}
            << QRect(741, 660, 580, 640) << usual;
        QTest::newRow("a second screen may show it")
            << QByteArray("window") << QList<QRect>{{1000, 0, 800, 600}, kPlatformScreen} << kept
            << usual;
        QTest::newRow("100 px on each of two screens is not enough")
            << QByteArray("window") << QList<QRect>{{-1000, 0, 1150, 900}, {550, 0, 1000, 900}}
            << QRect(-714, 130, 580, 640) << usual;
    }

    void placementAtStart()
    {
        QFETCH(QByteArray, saved);
        QFETCH(QList<QRect>, screens);
        QFETCH(QRect, geometry);
        QFETCH(QSize, minimum);
        if (saved == "window")
            Dialog().setGeometry(50, 40, 600, 500);
        else if (!saved.isEmpty())
            store().setValue(QStringLiteral("windowGeometry"), saved);
        // Qt's restore checks the platform's screen by itself; the window checks these.
        g_screens = {screens.value(0), screens};
        Dialog dialog;
        QCOMPARE(dialog.geometry(), geometry);
        QCOMPARE(dialog.minimumSize(), minimum);
    }

    void savedAtDestructionAndRestored()
    {
        const QString path = QStringLiteral("  /images/app v2.bin ");
        {
            Dialog first;
            DialogTestAccess(first).portSelector()->setCurrentIndex(2);
            DialogTestAccess(first).pathField()->setText(path);
            first.setGeometry(60, 50, 620, 520);
        }
        Dialog second;
        QCOMPARE(DialogTestAccess(second).selectedPort(), QStringLiteral("ttyUSB1"));
        QCOMPARE(DialogTestAccess(second).pathField()->text(), path);
        QCOMPARE(second.geometry(), QRect(60, 50, 620, 520));
    }

    void savedPortMustMatchExactly_data()
    {
        QTest::addColumn<QString>("saved");
        QTest::newRow("the item text is not the port name") << "ttyUSB1 (CP2102)";
        QTest::newRow("case matters") << "TTYUSB1";
    }

    void savedPortMustMatchExactly()
    {
        QFETCH(QString, saved);
        store().setValue(QStringLiteral("serialPort"), saved);
        Dialog dialog;
        QCOMPARE(DialogTestAccess(dialog).portSelector()->currentData().toString(),
                 "cu.usbserial-10");
    }

private:
    std::unique_ptr<Dialog> m_dialog;
    DialogTestAccess win() const { return DialogTestAccess(*m_dialog); }
};

QTEST_MAIN(TestPortDiscovery)
#include "tst_port_discovery.moc"
