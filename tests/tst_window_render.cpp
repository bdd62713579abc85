// Renders the whole window offscreen to $FW_TEST_ARTIFACTS/window.png for a reviewer to look at,
// and checks the rule of its look: white cards on a light background, a dark log panel and the
// blue start button.

#include "ui/theme.h"
#include "window_access.h"

#include <QDir>
#include <QTest>

using namespace Qt::StringLiterals;

class WindowRenderTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { useTestEnvironment({{"ttyUSB0", "USB Serial"}, {"ttyS0", QString()}}); }
    void windowLooksLikeTheDesign();
};

namespace {
void saveArtifact(const QImage &image, const QString &name)
{
    const QString folder = qEnvironmentVariable("FW_TEST_ARTIFACTS", QDir::tempPath());
    const QString path = QDir(folder).filePath(name);
    QVERIFY(QDir().mkpath(folder));
    QVERIFY2(image.save(path), qPrintable(path));
    qInfo("%s rendered to %s", qPrintable(name), qPrintable(path));
}
} // namespace

void WindowRenderTest::windowLooksLikeTheDesign()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    QCOMPARE(dialog.styleSheet(), Theme::windowStyleSheet());

    // A connected window with an image chosen, as a user sees it before starting an update.
    w.pathField()->setText(u"/home/user/firmware/app-v2.3.bin"_s);
    w.setState(Dialog::Connected);
    w.reportBaudRate(115200);
    dialog.logMessage(u"已连接：ttyUSB0"_s, Dialog::Info);
    dialog.logMessage(u"*IDN?"_s, Dialog::Command);
    dialog.logMessage(u"ORVANE,FW-100,0001,2.3.0"_s, Dialog::Response);
    dialog.logMessage(u"无法打开串口 ttyS1：没有那个文件或目录"_s, Dialog::Error);
    dialog.logMessage(u"固件更新成功"_s, Dialog::Success);
    dialog.resize(560, 640);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    const QImage image = dialog.grab().toImage();
    saveArtifact(image, u"window.png"_s);

    // Colour of a point given in a child's coordinates.
    const auto colourAt = [&](QWidget *child, int x, int y) {
        return image.pixelColor(child->mapTo(&dialog, QPoint(x, y)));
    };
    const QColor background(u"#f2f5f9"_s);
    QCOMPARE(image.pixelColor(4, dialog.height() / 2), background);
    QCOMPARE(colourAt(w.serialCard(), w.serialCard()->width() / 2, -5), background);

    // Three white cards filling the width inside the 10 px margin, checked in the empty middle
    // of each card's header.
    for (QFrame *card : {w.serialCard(), w.firmwareCard(), w.logCard()}) {
        QCOMPARE(colourAt(card, card->width() * 3 / 4, 6), QColor(Qt::white));
        QCOMPARE(card->mapTo(&dialog, QPoint(0, 0)).x(), 10);
        QCOMPARE(card->width(), dialog.width() - 20);
    }
    QVERIFY(w.serialCard()->y() < w.firmwareCard()->y() &&
            w.firmwareCard()->y() < w.logCard()->y());
    QVERIFY(w.logCard()->height() > w.serialCard()->height() + w.firmwareCard()->height());

    // The dark log panel, right of the log lines and above the footer buttons.
    QFrame *panel = w.logPanel();
    const QColor logBackground(u"#0f172a"_s);
    QCOMPARE(colourAt(panel, panel->width() - 20, panel->height() / 2), logBackground);
    QCOMPARE(colourAt(panel, panel->width() - 3, 4), logBackground);

    // The blue start button across the card body, checked beside its centred text.
    QPushButton *start = w.startButton();
    QCOMPARE(colourAt(start, 8, start->height() / 2), QColor(Theme::kAccent));
    QCOMPARE(colourAt(start, start->width() - 8, start->height() / 2), QColor(Theme::kAccent));
    QVERIFY(start->width() >= w.firmwareCard()->width() - 24);
}

QTEST_MAIN(WindowRenderTest)
#include "tst_window_render.moc"
