// The window as built once at start-up: painted icons and tab order. The port labels are
// checked with port discovery.

#include "window_access.h"

#include <QTest>

using namespace Qt::StringLiterals;

class WindowLayoutTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { setUpWindowTests(); }
    void paintedIcons();
    void tabOrder();
};

void WindowLayoutTest::paintedIcons()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    // The folder is gold, the clock is drawn in the secondary text colour on transparency.
    const QImage folder = w.browseButton()->icon().pixmap(QSize(18, 14), 2.0).toImage();
    QCOMPARE(folder.pixelColor(18, 18), QColor(u"#FFE9A9"_s));
    const QImage clock = w.historyButton()->icon().pixmap(QSize(14, 14), 2.0).toImage();
    QCOMPARE(clock.pixelColor(0, 0).alpha(), 0);
    QCOMPARE(clock.pixelColor(14, 11).rgb(), QColor(u"#5b6b80"_s).rgb());
}

void WindowLayoutTest::tabOrder()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    w.pathField()->setText(u"/tmp/app.bin"_s);
    w.setState(Dialog::Connected);
    const QList<QWidget *> order = {w.portSelector(),  w.connectButton(), w.pathField(),
                                    w.browseButton(),  w.startButton(),   w.commandField(),
                                    w.historyButton(), w.sendButton()};
    for (int i = 0; i + 1 < order.size(); ++i) {
        QWidget *next = order[i]->nextInFocusChain();
        // Skip what the keyboard never focuses, and the field inside the port selector.
        while (!(next->focusPolicy() & Qt::TabFocus) || order[i]->isAncestorOf(next))
            next = next->nextInFocusChain();
        QVERIFY2(next == order[i + 1], qPrintable(QString::number(i)));
    }
}

QTEST_MAIN(WindowLayoutTest)
#include "tst_window_layout.moc"
