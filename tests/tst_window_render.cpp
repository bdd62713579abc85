// Renders the whole window offscreen for a reviewer to look at, and checks the rule of its look:
// white cards on a light background, a dark log panel and the blue start button.

#include "testsettings.h"
#include "ui/theme.h"
#include "window_access.h"

#include <QApplication>
#include <QDir>
#include <QTest>

namespace {

QString artefactDirectory()
{
    const QString fromEnv = qEnvironmentVariable("FW_TEST_ARTIFACTS");
    return fromEnv.isEmpty() ? QDir::tempPath() : fromEnv;
}

// Colour of a point given in a child's coordinates, read from the window's picture.
QColor colourAt(const QImage &image, QWidget *window, QWidget *child, QPoint point)
{
    return image.pixelColor(child->mapTo(window, point));
}

} // namespace

class WindowRenderTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void windowLooksLikeTheDesign();
    void dropOverlayAndConfirmationLookLikeTheDesign();
};

void WindowRenderTest::initTestCase()
{
    usePrivateSettingsFolder();
    Dialog::setPortEnumerator([] {
        return QList<PortListing>{{QStringLiteral("ttyUSB0"), QStringLiteral("USB Serial")},
                                  {QStringLiteral("ttyS0"), QString()}};
    });
}

void WindowRenderTest::windowLooksLikeTheDesign()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    QCOMPARE(dialog.styleSheet(), Theme::windowStyleSheet());

    // A connected window with an image chosen, as a user sees it before starting an update.
    w.pathField()->setText(QStringLiteral("/home/user/firmware/app-v2.3.bin"));
    w.setState(Dialog::Connected);
    w.reportBaudRate(115200);
    dialog.logMessage(QStringLiteral("已连接：ttyUSB0"), Dialog::Info);
    dialog.logMessage(QStringLiteral("*IDN?"), Dialog::Command);
    dialog.logMessage(QStringLiteral("ORVANE,FW-100,0001,2.3.0"), Dialog::Response);
    dialog.logMessage(QStringLiteral("无法打开串口 ttyS1：没有那个文件或目录"), Dialog::Error);
    dialog.logMessage(QStringLiteral("固件更新成功"), Dialog::Success);
    dialog.resize(560, 640);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(w.startButton()->isEnabled());

    const QImage image = dialog.grab().toImage();
    QVERIFY(!image.isNull());
    const QString path = QDir(artefactDirectory()).filePath(QStringLiteral("window.png"));
    QVERIFY(QDir().mkpath(artefactDirectory()));
    QVERIFY2(image.save(path), qPrintable(path));
    qInfo("window rendered to %s", qPrintable(path));

    const QColor background(QStringLiteral("#f2f5f9"));
    const QColor white(QStringLiteral("#ffffff"));
    const QColor logBackground(QStringLiteral("#0f172a"));
    const QColor accent(QStringLiteral("#2563eb"));

    // The light window background between the window's edge and the cards.
    QCOMPARE(image.pixelColor(4, dialog.height() / 2), background);
    QCOMPARE(colourAt(image, &dialog, w.serialCard(), {w.serialCard()->width() / 2, -5}),
             background);

    // Three white cards: checked in the empty middle of each card's header.
    for (QFrame *card : {w.serialCard(), w.firmwareCard(), w.logCard()}) {
        QVERIFY(card->isVisible());
        QCOMPARE(colourAt(image, &dialog, card, {card->width() * 3 / 4, 6}), white);
        // The cards fill the window's width inside its 10 px margin.
        QCOMPARE(card->mapTo(&dialog, QPoint(0, 0)).x(), 10);
        QCOMPARE(card->width(), dialog.width() - 20);
    }
    QVERIFY(w.serialCard()->y() < w.firmwareCard()->y());
    QVERIFY(w.firmwareCard()->y() < w.logCard()->y());
    // The log card takes the spare height.
    QVERIFY(w.logCard()->height() > w.serialCard()->height() + w.firmwareCard()->height());

    // The dark log panel, checked right of the log lines and above the footer buttons.
    QFrame *panel = w.logPanel();
    QCOMPARE(colourAt(image, &dialog, panel, {panel->width() - 20, panel->height() / 2}),
             logBackground);
    QCOMPARE(colourAt(image, &dialog, panel, {panel->width() - 3, 4}), logBackground);

    // The blue start button, checked beside its centred text.
    QPushButton *start = w.startButton();
    QCOMPARE(colourAt(image, &dialog, start, {8, start->height() / 2}), accent);
    QCOMPARE(colourAt(image, &dialog, start, {start->width() - 8, start->height() / 2}), accent);
    // It stretches across the card body (the style may keep a pixel or two of layout margin).
    QVERIFY(start->width() >= w.firmwareCard()->width() - 24);

    // The green LED of a connected window and the baud rate in the status bar.
    QVERIFY(w.baudLabel()->isVisible());
    QCOMPARE(w.ledColour(), QColor(QStringLiteral("#22c55e")));
}

void WindowRenderTest::dropOverlayAndConfirmationLookLikeTheDesign()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    dialog.resize(560, 640);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QDir artefacts(artefactDirectory());
    QVERIFY(QDir().mkpath(artefacts.path()));

    // The drop card while a file is dragged over the window.
    w.dropOverlay()->setGeometry(dialog.rect());
    w.dropOverlay()->show();
    w.dropOverlay()->raise();
    const QImage dropImage = dialog.grab().toImage();
    QVERIFY(dropImage.save(artefacts.filePath(QStringLiteral("window-drop.png"))));
    const QPoint centre = dialog.rect().center();
    // The nearly opaque white card, 360 px wide, over the dark log panel.
    QVERIFY(dropImage.pixelColor(centre.x() - 170, centre.y()).red() > 230);
    QVERIFY(dropImage.pixelColor(centre.x() - 190, centre.y()).red() < 100);
    QVERIFY(dropImage.pixelColor(centre.x() + 170, centre.y()).red() > 230);
    QVERIFY(dropImage.pixelColor(centre.x() + 190, centre.y()).red() < 100);
    w.dropOverlay()->hide();

    // The confirmation over the tinted window.
    QImage confirmImage;
    QImage tintedWindow;
    QTimer::singleShot(0, [&] {
        auto *confirm = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!confirm)
            return;
        confirmImage = confirm->grab().toImage();
        tintedWindow = dialog.grab().toImage();
        confirm->reject();
    });
    const bool confirmed =
        runConfirmDialog(&dialog, QStringLiteral("确认固件更新"),
                         {QStringLiteral("文件：app-v2.3.bin"), QStringLiteral("大小：120.5 KB"),
                          QStringLiteral("串口：ttyUSB0")},
                         QStringLiteral("更新过程中请勿断开设备或关闭电源。"),
                         QStringLiteral("取消"), QStringLiteral("继续"));
    QVERIFY(!confirmed);
    QVERIFY(!confirmImage.isNull());
    QVERIFY(confirmImage.save(artefacts.filePath(QStringLiteral("confirm.png"))));
    QVERIFY(tintedWindow.save(artefacts.filePath(QStringLiteral("window-tinted.png"))));

    // White body inside the grey outline, transparent outside the rounded corner.
    QCOMPARE(confirmImage.pixelColor(confirmImage.width() - 6, 40), QColor(Qt::white));
    QCOMPARE(confirmImage.pixelColor(0, 0).alpha(), 0);
    // The confirm button is the red one at the right end of the footer.
    const QColor okColour =
        confirmImage.pixelColor(confirmImage.width() - 16, confirmImage.height() - 20);
    QCOMPARE(okColour, QColor(QStringLiteral("#dc2626")));
    // The window behind it is tinted: its light background turns bluish.
    const QColor tinted = tintedWindow.pixelColor(4, dialog.height() / 2);
    QVERIFY(tinted != QColor(QStringLiteral("#f2f5f9")));
    QVERIFY(tinted.blue() > tinted.red());
}

QTEST_MAIN(WindowRenderTest)
#include "tst_window_render.moc"
