// The custom-painted widgets and the confirmation dialog.

#include "ui/theme.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

// How long a confirmation may stay open before the test gives up and confirms it, which then
// fails the test instead of hanging it.
constexpr int kConfirmGiveUpMs = 3000;

bool isWhite(QColor c)
{
    return c.red() >= 250 && c.green() >= 250 && c.blue() >= 250;
}

// Close to the dark percentage colour #0f172a; neither the groove nor the blue chunk nor a
// blend of white over the chunk comes near it.
bool isDarkText(QColor c)
{
    return c.red() < 80 && c.green() < 80 && c.blue() < 110;
}

struct TextPixels
{
    int white = 0;
    int dark = 0;
    int whiteRightOfSplit = 0;
    int darkLeftOfSplit = 0;
};

TextPixels scanText(const QImage &image, int splitX)
{
    TextPixels pixels;
    for (int y = 2; y < image.height() - 2; ++y) {
        for (int x = 2; x < image.width() - 2; ++x) {
            const QColor c = image.pixelColor(x, y);
            if (isWhite(c)) {
                ++pixels.white;
                pixels.whiteRightOfSplit += x >= splitX;
            } else if (isDarkText(c)) {
                ++pixels.dark;
                pixels.darkLeftOfSplit += x < splitX;
            }
        }
    }
    return pixels;
}

QImage renderBar(int minimum, int maximum, int value, int width = 201)
{
    UpdateProgressBar bar;
    bar.setStyleSheet(Theme::windowStyleSheet());
    bar.setTextVisible(false);
    bar.setFormat(QStringLiteral("%p%"));
    bar.setRange(minimum, maximum);
    bar.setValue(value);
    bar.resize(width, 32);
    return bar.grab().toImage();
}

// Runs a confirmation over parent; inspect sees the open dialog, then the dialog is answered
// by the test's own action. Returns what runConfirmDialog returned.
bool runConfirmation(QWidget *parent, const std::function<void(QDialog *)> &inspect)
{
    QTimer::singleShot(0, [inspect] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        inspect(dialog);
    });
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, [] {
        if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
            dialog->accept();
    });
    giveUp.start(kConfirmGiveUpMs);
    return runConfirmDialog(parent, QStringLiteral("确认固件更新"),
                            {QStringLiteral("第一行"), QStringLiteral("第二行")},
                            QStringLiteral("更新过程中请勿断开设备或关闭电源。"),
                            QStringLiteral("取消"), QStringLiteral("继续"));
}

} // namespace

class WidgetsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void progressRules_data();
    void progressRules();
    void progressTextSplitsAtChunkEdge_data();
    void progressTextSplitsAtChunkEdge();
    void emptyRangeDrawsNoText();
    void disabledSelectorArrowIsLighter();
    void dropCardIsCentredAndBounded_data();
    void dropCardIsCentredAndBounded();

    void confirmWidthRule_data();
    void confirmWidthRule();
    void confirmationWidthOverParent_data();
    void confirmationWidthOverParent();
    void returnCancelsConfirmation();
    void escapeCancelsConfirmation();
    void confirmButtonAccepts();
    void clampRule_data();
    void clampRule();
    void confirmationNearScreenEdgeStaysOnScreen();
    void separatorLine();
};

void WidgetsTest::progressRules_data()
{
    QTest::addColumn<int>("minimum");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("filledOf201");

    QTest::newRow("half way shows 50% and fills 99.5 -> 100 px")
        << 0 << 100 << 50 << QStringLiteral("50%") << 100;
    QTest::newRow("0.5 % rounds up to 1%") << 0 << 1000 << 5 << QStringLiteral("1%") << 1;
    QTest::newRow("0.4 % shows 0% though the chunk already covers a pixel")
        << 0 << 1000 << 4 << QStringLiteral("0%") << 1;
    QTest::newRow("a value below the minimum shows 0%")
        << 10 << 20 << 3 << QStringLiteral("0%") << 0;
    QTest::newRow("a value above the maximum shows 100%")
        << 0 << 10 << 99 << QStringLiteral("100%") << 199;
    QTest::newRow("an offset range counts from its minimum")
        << 100 << 300 << 150 << QStringLiteral("25%") << 50;
    QTest::newRow("a huge range does not overflow")
        << -2147483647 << 2147483647 << 0 << QStringLiteral("50%") << 100;
}

void WidgetsTest::progressRules()
{
    QFETCH(int, minimum);
    QFETCH(int, maximum);
    QFETCH(int, value);
    QFETCH(QString, text);
    QFETCH(int, filledOf201);
    const double fraction = progressFraction(minimum, maximum, value);
    QCOMPARE(progressPercentText(fraction), text);
    QCOMPARE(progressFilledWidth(201, fraction), filledOf201);
}

void WidgetsTest::progressTextSplitsAtChunkEdge_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("expectWhite");
    QTest::addColumn<bool>("expectDark");

    QTest::newRow("at 0 % the text is all dark") << 0 << false << true;
    QTest::newRow("at 50 % the left part is white and the right part dark") << 50 << true << true;
    QTest::newRow("at 100 % the text is all white") << 100 << true << false;
    // QProgressBar refuses values outside its range and stays reset (below the minimum).
    QTest::newRow("a reset bar shows a dark 0%") << -5 << false << true;
}

void WidgetsTest::progressTextSplitsAtChunkEdge()
{
    QFETCH(int, value);
    QFETCH(bool, expectWhite);
    QFETCH(bool, expectDark);

    // An odd width puts the 50 % edge on a rounded pixel.
    const int width = 201;
    const QImage image = renderBar(0, 100, value, width);
    const double fraction = progressFraction(0, 100, value);
    const int splitX = 1 + progressFilledWidth(width, fraction);
    const TextPixels pixels = scanText(image, splitX);

    QCOMPARE(pixels.white > 0, expectWhite);
    QCOMPARE(pixels.dark > 0, expectDark);
    QCOMPARE(pixels.whiteRightOfSplit, 0);
    QCOMPARE(pixels.darkLeftOfSplit, 0);
}

void WidgetsTest::emptyRangeDrawsNoText()
{
    for (const auto &[minimum, maximum] : {std::pair{0, 0}, std::pair{7, 7}, std::pair{9, 3}}) {
        const QImage image = renderBar(minimum, maximum, minimum);
        const TextPixels pixels = scanText(image, image.width() / 2);
        QCOMPARE(pixels.white, 0);
        QCOMPARE(pixels.dark, 0);
    }
}

void WidgetsTest::disabledSelectorArrowIsLighter()
{
    // Rendered at four times the resolution so that the 1.4 px chevron has fully covered pixels.
    constexpr int kScale = 4;
    const auto darkestChevronPixel = [](bool enabled) {
        FlatComboBox combo;
        combo.setStyleSheet(Theme::windowStyleSheet());
        combo.resize(200, 30);
        combo.setEnabled(enabled);
        QImage image(combo.size() * kScale, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(kScale);
        image.fill(Qt::white);
        combo.render(&image);
        // The chevron spans x = W - 16.5 .. W - 9.5 around y = H / 2.
        QColor darkest = Qt::white;
        for (int y = (15 - 3) * kScale; y < (15 + 3) * kScale; ++y) {
            for (int x = (200 - 18) * kScale; x < (200 - 8) * kScale; ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.lightness() < darkest.lightness())
                    darkest = c;
            }
        }
        return darkest;
    };
    const auto near = [](QColor actual, const char *expected) {
        const QColor e(QLatin1String{expected});
        return qAbs(actual.red() - e.red()) <= 6 && qAbs(actual.green() - e.green()) <= 6 &&
               qAbs(actual.blue() - e.blue()) <= 6;
    };
    const QColor enabled = darkestChevronPixel(true);
    const QColor disabled = darkestChevronPixel(false);
    QVERIFY2(near(enabled, Theme::kTextSub), qPrintable(enabled.name()));
    QVERIFY2(near(disabled, Theme::kDisabledText), qPrintable(disabled.name()));
}

void WidgetsTest::dropCardIsCentredAndBounded_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("cardWidth");
    QTest::newRow("a wide window gets the 360 px card") << QSize(800, 400) << 360;
    QTest::newRow("a narrow window leaves 40 px on each side") << QSize(300, 300) << 220;
}

void WidgetsTest::dropCardIsCentredAndBounded()
{
    QFETCH(QSize, size);
    QFETCH(int, cardWidth);
    DropOverlay overlay;
    overlay.resize(size);
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    overlay.render(&image, {}, {}, QWidget::DrawChildren);

    const int left = (size.width() - cardWidth) / 2;
    const int top = (size.height() - 82) / 2;
    // Inside the card's edge the card is (almost) white; just outside it the blue tint shows.
    const auto cardAt = [&](int x, int y) { return image.pixelColor(x, y).red() >= 250; };
    const int midY = size.height() / 2;
    QVERIFY(cardAt(left + 3, top + 6));
    QVERIFY(!cardAt(left - 3, midY));
    QVERIFY(cardAt(left + cardWidth - 3, top + 6));
    QVERIFY(!cardAt(left + cardWidth + 3, midY));
    QVERIFY(!cardAt(size.width() / 2, top - 3));
    QVERIFY(!cardAt(size.width() / 2, top + 82 + 3));
    // The blue frame around the window.
    QCOMPARE(image.pixelColor(1, midY).blue() > image.pixelColor(1, midY).red() + 100, true);
}

void WidgetsTest::confirmWidthRule_data()
{
    QTest::addColumn<int>("parentWidth");
    QTest::addColumn<int>("width");
    QTest::newRow("no parent gives 400") << -1 << 400;
    QTest::newRow("a 100 px parent still gives 300") << 100 << 300;
    QTest::newRow("324 px is below the range and gives 300") << 324 << 300;
    QTest::newRow("325 px leaves 24 px: 301") << 325 << 301;
    QTest::newRow("424 px gives 400") << 424 << 400;
    QTest::newRow("a wide parent is capped at 400") << 1600 << 400;
}

void WidgetsTest::confirmWidthRule()
{
    QFETCH(int, parentWidth);
    QFETCH(int, width);
    QCOMPARE(confirmDialogWidth(parentWidth), width);
}

void WidgetsTest::confirmationWidthOverParent_data()
{
    QTest::addColumn<int>("parentWidth");
    QTest::addColumn<int>("width");
    QTest::newRow("over a 320 px window it is 300 px wide") << 320 << 300;
    QTest::newRow("over a 500 px window it is 400 px wide") << 500 << 400;
}

void WidgetsTest::confirmationWidthOverParent()
{
    QFETCH(int, parentWidth);
    QFETCH(int, width);
    QWidget parent;
    parent.resize(parentWidth, 400);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));

    int seenWidth = -1;
    bool overlayCovered = false;
    bool cancelIsDefault = false;
    QPointer<QWidget> overlay;
    const bool result = runConfirmation(&parent, [&](QDialog *dialog) {
        seenWidth = dialog->width();
        // ModalOverlay has no meta-object of its own, so look it up by its C++ type.
        for (QObject *object : parent.children()) {
            if (auto *child = dynamic_cast<ModalOverlay *>(object)) {
                overlay = child;
                overlayCovered = child->isVisible() && child->geometry() == parent.rect();
            }
        }
        auto *cancel = dialog->findChild<QPushButton *>(QStringLiteral("confirmCancel"));
        auto *ok = dialog->findChild<QPushButton *>(QStringLiteral("confirmOk"));
        QVERIFY(cancel && ok);
        // The cancel button holds the dialog's focus, whether or not the window is active yet.
        cancelIsDefault = cancel->isDefault() && !ok->isDefault() && !ok->autoDefault() &&
                          dialog->focusWidget() == cancel;
        QVERIFY(dialog->findChild<QLabel *>(QStringLiteral("confirmDanger")));
        dialog->reject();
    });
    QVERIFY(!result);
    QCOMPARE(seenWidth, width);
    QVERIFY(overlayCovered);
    QVERIFY(cancelIsDefault);
    // The overlay goes away with the next round of deferred deletes.
    QTRY_VERIFY(overlay.isNull());
}

void WidgetsTest::returnCancelsConfirmation()
{
    QWidget parent;
    parent.resize(500, 400);
    parent.show();
    const bool result =
        runConfirmation(&parent, [](QDialog *dialog) { QTest::keyClick(dialog, Qt::Key_Return); });
    QVERIFY(!result);
}

void WidgetsTest::escapeCancelsConfirmation()
{
    QWidget parent;
    parent.resize(500, 400);
    parent.show();
    const bool result =
        runConfirmation(&parent, [](QDialog *dialog) { QTest::keyClick(dialog, Qt::Key_Escape); });
    QVERIFY(!result);
}

void WidgetsTest::confirmButtonAccepts()
{
    QWidget parent;
    parent.resize(500, 400);
    parent.show();
    QString title;
    const bool result = runConfirmation(&parent, [&title](QDialog *dialog) {
        title = dialog->windowTitle();
        auto *ok = dialog->findChild<QPushButton *>(QStringLiteral("confirmOk"));
        QVERIFY(ok);
        QTest::mouseClick(ok, Qt::LeftButton);
    });
    QVERIFY(result);
    QCOMPARE(title, QStringLiteral("确认固件更新"));
}

void WidgetsTest::clampRule_data()
{
    QTest::addColumn<QPoint>("topLeft");
    QTest::addColumn<QPoint>("clamped");
    // A 400 x 200 dialog in the area (0, 30) .. (1279, 799).
    QTest::newRow("inside stays put") << QPoint(100, 100) << QPoint(100, 100);
    QTest::newRow("past the right edge moves left") << QPoint(1000, 100) << QPoint(880, 100);
    QTest::newRow("past the bottom edge moves up") << QPoint(100, 700) << QPoint(100, 600);
    QTest::newRow("above the top edge moves down") << QPoint(-50, 0) << QPoint(0, 30);
    QTest::newRow("exactly at the bottom right corner fits")
        << QPoint(880, 600) << QPoint(880, 600);
}

void WidgetsTest::clampRule()
{
    QFETCH(QPoint, topLeft);
    QFETCH(QPoint, clamped);
    QCOMPARE(clampIntoArea(topLeft, QSize(400, 200), QRect(0, 30, 1280, 770)), clamped);
}

void WidgetsTest::confirmationNearScreenEdgeStaysOnScreen()
{
    QScreen *screen = QGuiApplication::primaryScreen();
    QVERIFY(screen);
    const QRect available = screen->availableGeometry();
    QWidget parent;
    parent.resize(500, 300);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    // Push the window so far down and right that a centred dialog would hang off the screen.
    parent.move(available.right() - 200, available.bottom() - 100);
    QTRY_COMPARE(parent.pos(), QPoint(available.right() - 200, available.bottom() - 100));

    QRect seen;
    runConfirmation(&parent, [&seen](QDialog *dialog) {
        seen = dialog->frameGeometry();
        dialog->reject();
    });
    QVERIFY2(available.contains(seen), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                      .arg(seen.x())
                                                      .arg(seen.y())
                                                      .arg(seen.width())
                                                      .arg(seen.height())));
    QCOMPARE(seen.right(), available.right());
    QCOMPARE(seen.bottom(), available.bottom());
}

void WidgetsTest::separatorLine()
{
    QWidget parent;
    QFrame *line = makeSeparator(&parent);
    QCOMPARE(line->parent(), &parent);
    QCOMPARE(line->minimumHeight(), 1);
    QCOMPARE(line->maximumHeight(), 1);
    QCOMPARE(line->styleSheet(), QStringLiteral("background-color: #eef2f7; border: none;"));
}

QTEST_MAIN(WidgetsTest)
#include "tst_widgets.moc"
