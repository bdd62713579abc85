// Serial port discovery in the window: labels, rebuilding only on change, keeping the chosen
// port, the width of the drop-down list, and no polling while an update runs.

#include "window_access.h"

#include <QAbstractItemView>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {
constexpr int kFastScanMs = 20;
constexpr int kWaitMs = 3000;
// Many fast scan intervals, to see that none happens.
constexpr int kQuietMs = 300;

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
} // namespace

class TestPortDiscovery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { useTestEnvironment(); }

    void init()
    {
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
        QVERIFY(insertions.isValid() && selections.isValid());
        g_enumerations = 0;
        for (int scan = 0; scan < 90; ++scan) // three minutes of two-second scans
            win().scan();
        QCOMPARE(g_enumerations, 90);
        QCOMPARE(insertions.count(), 0);
        QCOMPARE(selections.count(), 0);
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
        QTest::newRow("a typed device path stays as typed when the list changes")
            << "TYPED" << QList<PortListing>{port("ttyS0"), port("ttyACM0")}
            << QStringList{"ttyS0", "ttyACM0"} << "TYPED";
    }

    void rescans()
    {
        QFETCH(QString, selected);
        QFETCH(QList<PortListing>, next);
        QFETCH(QStringList, names);
        QFETCH(QString, selectedAfter);
        // A port the system does not list, typed by the user: a path that exists.
        QTemporaryDir dir;
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
        QCOMPARE(store().value(QStringLiteral("serialPort")).toString(), selectedAfter);
        m_dialog = std::make_unique<Dialog>();
        QCOMPARE(win().selectedPort(), selectedAfter);
    }

    void entriesTellIdenticalAdaptersApart()
    {
        PortListing first = port("ttyUSB0", "CP2102");
        first.manufacturer = QStringLiteral("Silicon Labs");
        first.serialNumber = QStringLiteral("A1");
        first.hasIds = true;
        first.vendorId = 0x10c4;
        first.productId = 0xea60;
        PortListing second = first;
        second.name = QStringLiteral("ttyUSB1");
        second.serialNumber = QStringLiteral("B2");
        g_ports = {first, second};
        win().scan();
        FlatComboBox *combo = win().portSelector();
        QCOMPARE(
            items(combo, Qt::ToolTipRole),
            (QStringList{"描述：CP2102\n制造商：Silicon Labs\n序列号：A1\nVID:PID：10c4:ea60",
                         "描述：CP2102\n制造商：Silicon Labs\n序列号：B2\nVID:PID：10c4:ea60"}));
        // A swapped adapter with the same label is told apart too.
        g_ports[1].serialNumber = QStringLiteral("C3");
        win().scan();
        QVERIFY(items(combo, Qt::ToolTipRole).at(1).contains(QStringLiteral("序列号：C3")));
    }

    void popupWidthFitsTheLongestLabel()
    {
        m_dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
        FlatComboBox *combo = win().portSelector();
        QAbstractItemView *view = combo->view();
        g_ports = {port("ttyS0")};
        win().scan();
        QCOMPARE(view->minimumWidth(), combo->width());

        const QString description = QStringLiteral("A very long description of a USB to serial "
                                                   "adapter with a rather talkative vendor string");
        g_ports = {port("ttyS0"), {QStringLiteral("ttyUSB0"), description}};
        win().scan();
        const int textWidth =
            view->fontMetrics().horizontalAdvance(QStringLiteral("ttyUSB0 (%1)").arg(description));
        QVERIFY(textWidth > combo->width());
        QVERIFY2(view->minimumWidth() >= textWidth + 28,
                 qPrintable(QStringLiteral("%1 < %2").arg(view->minimumWidth()).arg(textWidth)));

        // Back to short names: the list is never narrower than the selector.
        g_ports = {port("ttyS1")};
        win().scan();
        QCOMPARE(view->minimumWidth(), combo->width());
    }

    void noPollingDuringAnUpdate()
    {
        QTemporaryDir dir;
        Dialog *d = m_dialog.get();
        QObject::disconnect(d, &Dialog::requestUpdate, DialogTestAccess(*d).worker(), nullptr);
        QTimer *timer = DialogTestAccess(*d).portScanTimer();
        timer->setInterval(kFastScanMs);
        g_enumerations = 0;
        QTRY_VERIFY_WITH_TIMEOUT(g_enumerations >= 2, kWaitMs); // polling while idle

        DialogTestAccess(*d).pathField()->setText(makeFile(dir, QStringLiteral("app.bin"), 4096));
        QVERIFY(!startUpdate(*d).isEmpty());
        const int before = g_enumerations;
        const QStringList texts = items(DialogTestAccess(*d).portSelector());
        g_ports = {port("ttyNEW")};
        QTest::qWait(kQuietMs);
        DialogTestAccess(*d).scan(); // even a direct call leaves the list alone
        QCOMPARE(g_enumerations, before);
        QCOMPARE(items(DialogTestAccess(*d).portSelector()), texts);

        // Polling resumes with the result.
        DialogTestAccess(*d).success();
        QTRY_COMPARE_WITH_TIMEOUT(items(DialogTestAccess(*d).portSelector()), QStringList{"ttyNEW"},
                                  kWaitMs);
    }

private:
    std::unique_ptr<Dialog> m_dialog;
    DialogTestAccess win() const { return DialogTestAccess(*m_dialog); }
};

QTEST_MAIN(TestPortDiscovery)
#include "tst_port_discovery.moc"
