// The window as built once at start-up: port labels, painted icons, tab order.

#include "testsettings.h"
#include "window_access.h"

#include <QTest>

namespace {
QList<PortListing> g_ports;
} // namespace

class WindowLayoutTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void portLabelsAndData();
    void paintedIcons();
    void tabOrder();
};

void WindowLayoutTest::initTestCase()
{
    usePrivateSettingsFolder();
    g_ports = {{QStringLiteral("ttyUSB0"), QStringLiteral("CP2102 USB to UART")},
               {QStringLiteral("ttyS0"), QString()}};
    Dialog::setPortEnumerator([] { return g_ports; });
}

void WindowLayoutTest::portLabelsAndData()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    QCOMPARE(w.portSelector()->count(), 2);
    QCOMPARE(w.portSelector()->itemText(0), QStringLiteral("ttyUSB0 (CP2102 USB to UART)"));
    QCOMPARE(w.portSelector()->itemData(0, Qt::UserRole).toString(), QStringLiteral("ttyUSB0"));
    QCOMPARE(w.portSelector()->itemText(1), QStringLiteral("ttyS0"));
    QCOMPARE(w.portSelector()->itemData(1, Qt::UserRole).toString(), QStringLiteral("ttyS0"));
    QCOMPARE(w.portSelector()->maximumHeight(), 30);
}

void WindowLayoutTest::paintedIcons()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    QCOMPARE(w.browseButton()->iconSize(), QSize(16, 14));
    QCOMPARE(w.historyButton()->iconSize(), QSize(14, 14));

    // The folder is gold, the clock is drawn in the secondary text colour.
    const QImage folder = w.browseButton()->icon().pixmap(QSize(18, 14), 2.0).toImage();
    QCOMPARE(folder.size(), QSize(36, 28));
    QCOMPARE(folder.pixelColor(18, 18), QColor(QStringLiteral("#FFE9A9")));
    const QImage clock = w.historyButton()->icon().pixmap(QSize(14, 14), 2.0).toImage();
    QCOMPARE(clock.size(), QSize(28, 28));
    QCOMPARE(clock.pixelColor(0, 0).alpha(), 0);
    QCOMPARE(clock.pixelColor(14, 11).rgb(), QColor(QStringLiteral("#5b6b80")).rgb());
}

void WindowLayoutTest::tabOrder()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    w.setState(Dialog::Connected);
    w.pathField()->setText(QStringLiteral("/tmp/app.bin"));
    w.refresh();
    const QList<QWidget *> order = {w.portSelector(),  w.connectButton(), w.pathField(),
                                    w.browseButton(),  w.startButton(),   w.commandField(),
                                    w.historyButton(), w.sendButton()};
    for (int i = 0; i + 1 < order.size(); ++i) {
        QWidget *next = order[i]->nextInFocusChain();
        // Skip widgets that never take focus from the keyboard.
        while (!(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        QVERIFY2(next == order[i + 1], qPrintable(QString::number(i)));
    }
}

QTEST_MAIN(WindowLayoutTest)
#include "tst_window_layout.moc"
