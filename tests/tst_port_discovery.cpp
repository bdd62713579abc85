// Serial port discovery in the window: labels, rebuilding only on change, keeping the chosen
// port, the width of the drop-down list, and no polling while an update runs.

#include "confirmationanswerer.h"
#include "testsettings.h"
#include "update_access.h"

#include <QAbstractItemView>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
using Access = DialogTestAccess;

// What the system lists, and how often the window asked.
QList<PortListing> g_ports;
int g_enumerations = 0;

constexpr int kFastScanMs = 20;
constexpr int kWaitMs = 3000;
// Many fast scan intervals, to see that none happens.
constexpr int kQuietMs = 300;

PortListing port(const char *name, const char *description = "")
{
    return {QLatin1String(name), QString::fromUtf8(description)};
}

QStringList itemTexts(QComboBox *combo)
{
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

QStringList itemNames(QComboBox *combo)
{
    QStringList names;
    for (int i = 0; i < combo->count(); ++i)
        names << combo->itemData(i, Qt::UserRole).toString();
    return names;
}
} // namespace

class TestPortDiscovery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void itemsFollowTheSystemList();
    void sameListNeverRebuilds();
    void rescans_data();
    void rescans();
    void popupWidthFitsTheLongestEntry();
    void noPollingDuringAnUpdate();

private:
    std::unique_ptr<Dialog> m_dialog;
};

void TestPortDiscovery::initTestCase()
{
    usePrivateSettingsFolder();
    Dialog::setPortEnumerator([] {
        ++g_enumerations;
        return g_ports;
    });
}

void TestPortDiscovery::init()
{
    g_ports = {port("cu.usbserial-10", "USB Serial"), port("ttyS0"), port("ttyUSB1", "CP2102")};
    g_enumerations = 0;
    m_dialog = std::make_unique<Dialog>();
}

void TestPortDiscovery::cleanup()
{
    m_dialog.reset();
}

void TestPortDiscovery::itemsFollowTheSystemList()
{
    FlatComboBox *combo = Access::portSelector(*m_dialog);
    QCOMPARE(itemTexts(combo),
             (QStringList{"cu.usbserial-10 (USB Serial)", "ttyS0", "ttyUSB1 (CP2102)"}));
    QCOMPARE(itemNames(combo), (QStringList{"cu.usbserial-10", "ttyS0", "ttyUSB1"}));
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(Access::portScanTimer(*m_dialog)->interval(), 2000);
    QVERIFY(Access::portScanTimer(*m_dialog)->isActive());
}

void TestPortDiscovery::sameListNeverRebuilds()
{
    FlatComboBox *combo = Access::portSelector(*m_dialog);
    combo->setCurrentIndex(2);
    const int minimumWidth = combo->view()->minimumWidth();
    QSignalSpy resets(combo->model(), &QAbstractItemModel::modelReset);
    QSignalSpy removals(combo->model(), &QAbstractItemModel::rowsRemoved);
    QSignalSpy insertions(combo->model(), &QAbstractItemModel::rowsInserted);
    QSignalSpy selections(combo, &QComboBox::currentIndexChanged);
    QVERIFY(resets.isValid() && removals.isValid() && insertions.isValid());
    QVERIFY(selections.isValid());

    const int before = g_enumerations;
    for (int scan = 0; scan < 90; ++scan) // three minutes of two-second scans
        Access::scan(*m_dialog);

    QCOMPARE(g_enumerations - before, 90);
    QCOMPARE(resets.count() + removals.count() + insertions.count(), 0);
    QCOMPARE(selections.count(), 0);
    QCOMPARE(combo->currentIndex(), 2);
    QCOMPARE(combo->view()->minimumWidth(), minimumWidth);
}

void TestPortDiscovery::rescans_data()
{
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QList<PortListing>>("next");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("selectedAfter"); // empty: nothing selected

    QTest::newRow("a new port in front keeps the selected port")
        << "ttyUSB1"
        << QList<PortListing>{port("ttyACM0"), port("cu.usbserial-10", "USB Serial"), port("ttyS0"),
                              port("ttyUSB1", "CP2102")}
        << QStringList{"ttyACM0", "cu.usbserial-10", "ttyS0", "ttyUSB1"} << "ttyUSB1";
    QTest::newRow("losing the selected port selects the first")
        << "ttyS0"
        << QList<PortListing>{port("cu.usbserial-10", "USB Serial"), port("ttyUSB1", "CP2102")}
        << QStringList{"cu.usbserial-10", "ttyUSB1"} << "cu.usbserial-10";
    QTest::newRow("a changed description rebuilds and keeps the port")
        << "ttyUSB1"
        << QList<PortListing>{port("cu.usbserial-10", "USB Serial"), port("ttyS0"),
                              port("ttyUSB1", "CH340")}
        << QStringList{"cu.usbserial-10", "ttyS0", "ttyUSB1"} << "ttyUSB1";
    QTest::newRow("a name differing only in case is another port")
        << "ttyUSB1" << QList<PortListing>{port("ttyS0"), port("TTYUSB1", "CP2102")}
        << QStringList{"ttyS0", "TTYUSB1"} << "ttyS0";
    QTest::newRow("the order of the system list is kept")
        << "ttyS0" << QList<PortListing>{port("ttyUSB1", "CP2102"), port("ttyS0")}
        << QStringList{"ttyUSB1", "ttyS0"} << "ttyS0";
    QTest::newRow("losing every port leaves the selector empty")
        << "ttyS0" << QList<PortListing>{} << QStringList{} << QString();
}

void TestPortDiscovery::rescans()
{
    QFETCH(QString, selected);
    QFETCH(QList<PortListing>, next);
    QFETCH(QStringList, names);
    QFETCH(QString, selectedAfter);

    FlatComboBox *combo = Access::portSelector(*m_dialog);
    combo->setCurrentIndex(combo->findData(selected));
    g_ports = next;
    Access::scan(*m_dialog);

    QCOMPARE(itemNames(combo), names);
    QCOMPARE(combo->currentData(Qt::UserRole).toString(), selectedAfter);
    QCOMPARE(combo->currentIndex(), selectedAfter.isEmpty() ? -1 : names.indexOf(selectedAfter));
}

void TestPortDiscovery::popupWidthFitsTheLongestEntry()
{
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    FlatComboBox *combo = Access::portSelector(*m_dialog);
    QAbstractItemView *view = combo->view();

    g_ports = {port("ttyS0")};
    Access::scan(*m_dialog);
    QCOMPARE(view->minimumWidth(), combo->width());

    const QString description = QStringLiteral("A very long description of a USB to serial "
                                               "adapter with a rather talkative vendor string");
    g_ports = {port("ttyS0"), {QStringLiteral("ttyUSB0"), description}};
    Access::scan(*m_dialog);
    const int textWidth =
        view->fontMetrics().horizontalAdvance(QStringLiteral("ttyUSB0 (%1)").arg(description));
    QVERIFY(textWidth > combo->width());
    QVERIFY2(view->minimumWidth() >= textWidth + 28,
             qPrintable(QStringLiteral("%1 < %2").arg(view->minimumWidth()).arg(textWidth)));

    // Back to short names: the list is never narrower than the selector.
    g_ports = {port("ttyS1")};
    Access::scan(*m_dialog);
    QCOMPARE(view->minimumWidth(), combo->width());
}

void TestPortDiscovery::noPollingDuringAnUpdate()
{
    QTemporaryDir dir;
    QFile image(dir.filePath(QStringLiteral("app.bin")));
    QVERIFY(image.open(QIODevice::WriteOnly) && image.resize(4096));
    image.close();
    Dialog *d = m_dialog.get();
    QObject::disconnect(d, &Dialog::requestUpdate, Access::worker(*d), nullptr);
    QTimer *timer = Access::portScanTimer(*d);
    timer->setInterval(kFastScanMs);
    QTRY_VERIFY_WITH_TIMEOUT(g_enumerations >= 2, kWaitMs); // polling while idle

    Access::pathEdit(*d)->setText(image.fileName());
    ConfirmationAnswerer answerer(ConfirmationAnswerer::Confirm);
    Access::startUpdate(*d);
    QVERIFY(answerer.answered());
    QVERIFY(Access::updating(*d));
    QVERIFY(!timer->isActive());

    const int before = g_enumerations;
    const QStringList texts = itemTexts(Access::portSelector(*d));
    g_ports = {port("ttyNEW")};
    QTest::qWait(kQuietMs);
    Access::scan(*d); // even a direct call leaves the list alone
    QCOMPARE(g_enumerations, before);
    QCOMPARE(itemTexts(Access::portSelector(*d)), texts);

    // Polling resumes with the result.
    Access::success(*d);
    QTRY_VERIFY_WITH_TIMEOUT(!Access::updating(*d), kWaitMs);
    QVERIFY(timer->isActive());
    QTRY_COMPARE_WITH_TIMEOUT(itemTexts(Access::portSelector(*d)), QStringList{"ttyNEW"}, kWaitMs);
}

QTEST_MAIN(TestPortDiscovery)
#include "tst_port_discovery.moc"
