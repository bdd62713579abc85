// The custom-painted widgets and the confirmation dialog.

#include "ui/theme.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

class WidgetsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void progressBar_data();
    void progressBar();
    void disabledSelectorArrowIsLighter();
    void confirmation_data();
    void confirmation();
};

void WidgetsTest::progressBar_data()
{
    QTest::addColumn<int>("minimum");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("filledOf201");
    QTest::addColumn<QString>(
        "drawn"); // the bar's text: white left of the chunk's edge, dark right
    QTest::newRow("half way shows 50%, fills 99.5 -> 100 px, white then dark")
        << 0 << 100 << 50 << u"50%"_s << 100 << u"white dark"_s;
    QTest::newRow("at 0 the text is all dark") << 0 << 100 << 0 << u"0%"_s << 0 << u"dark"_s;
    QTest::newRow("at 100 the text is all white")
        << 0 << 100 << 100 << u"100%"_s << 199 << u"white"_s;
    QTest::newRow("0.5 % rounds up to 1%") << 0 << 1000 << 5 << u"1%"_s << 1 << u"dark"_s;
    QTest::newRow("0.4 % shows 0% though the chunk covers a pixel")
        << 0 << 1000 << 4 << u"0%"_s << 1 << u"dark"_s;
    QTest::newRow("an offset range counts from its minimum")
        << 100 << 300 << 150 << u"25%"_s << 50 << u"dark"_s;
    QTest::newRow("a huge range does not overflow")
        << -2147483647 << 2147483647 << 0 << u"50%"_s << 100 << u"white dark"_s;
    // A bar refuses values outside its range and stays reset: a dark 0%.
    QTest::newRow("a value below the minimum shows 0%")
        << 10 << 20 << 3 << u"0%"_s << 0 << u"dark"_s;
    QTest::newRow("a value above the maximum shows 100%, the bar a reset 0%")
        << 0 << 10 << 99 << u"100%"_s << 199 << u"dark"_s;
    QTest::newRow("an empty range draws no text") << 7 << 7 << 7 << u"0%"_s << 0 << u""_s;
    QTest::newRow("an inverted range draws no text") << 9 << 3 << 9 << u"0%"_s << 0 << u""_s;
}

void WidgetsTest::progressBar()
{
    QFETCH(int, minimum);
    QFETCH(int, maximum);
    QFETCH(int, value);
    QFETCH(QString, text);
    QFETCH(int, filledOf201);
    QFETCH(QString, drawn);
    const double fraction = progressFraction(minimum, maximum, value);
    QCOMPARE(progressPercentText(fraction), text);
    QCOMPARE(progressFilledWidth(201, fraction), filledOf201);

    UpdateProgressBar bar; // an odd width puts the 50 % edge on a rounded pixel
    bar.setStyleSheet(Theme::windowStyleSheet());
    bar.setTextVisible(false);
    bar.setRange(minimum, maximum);
    bar.setValue(value);
    bar.resize(201, 32);
    const QImage image = bar.grab().toImage();
    const int splitX =
        1 + progressFilledWidth(201, progressFraction(minimum, maximum, bar.value()));
    int white = 0, dark = 0, misplaced = 0;
    for (int y = 2; y < image.height() - 2; ++y) {
        for (int x = 2; x < image.width() - 2; ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() >= 250 && c.green() >= 250 && c.blue() >= 250) {
                ++white;
                misplaced += x >= splitX;
            } else if (c.red() < 80 && c.green() < 80 && c.blue() < 110) {
                // Close to the dark #0f172a; neither the groove nor the blue chunk nor white
                // blended over the chunk comes near it.
                ++dark;
                misplaced += x < splitX;
            }
        }
    }
    QCOMPARE(white > 0, drawn.contains(u"white"_s));
    QCOMPARE(dark > 0, drawn.contains(u"dark"_s));
    QCOMPARE(misplaced, 0);
}

void WidgetsTest::disabledSelectorArrowIsLighter()
{
    // Rendered at four times the resolution so that the 1.4 px chevron has fully covered pixels.
    constexpr int kScale = 4;
    for (const bool enabled : {true, false}) {
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
                if (image.pixelColor(x, y).lightness() < darkest.lightness())
                    darkest = image.pixelColor(x, y);
            }
        }
        const QColor expected(enabled ? Theme::kTextSub : Theme::kDisabledText);
        QVERIFY2(qAbs(darkest.red() - expected.red()) <= 6 &&
                     qAbs(darkest.green() - expected.green()) <= 6 &&
                     qAbs(darkest.blue() - expected.blue()) <= 6,
                 qPrintable(darkest.name()));
    }
}

void WidgetsTest::confirmation_data()
{
    QTest::addColumn<int>("parentWidth");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>(
        "corner"); // the parent sits off the screen's top left (-1), bottom right (1)
    QTest::addColumn<int>("key"); // 0: click the confirm button
    QTest::newRow("over a 320 px window it is 300 px wide and centred; Return cancels")
        << 320 << 300 << 0 << int(Qt::Key_Return);
    QTest::newRow("over a 360 px window it is 24 px narrower; Escape cancels")
        << 360 << 336 << 0 << int(Qt::Key_Escape);
    QTest::newRow("over a 500 px window it is 400 px wide; the red button accepts")
        << 500 << 400 << 0 << 0;
    QTest::newRow("near the bottom right screen corner it stays on the screen")
        << 500 << 400 << 1 << int(Qt::Key_Escape);
    QTest::newRow("above and left of the screen it moves onto the screen")
        << 500 << 400 << -1 << int(Qt::Key_Escape);
}

void WidgetsTest::confirmation()
{
    QFETCH(int, parentWidth);
    QFETCH(int, width);
    QFETCH(int, corner);
    QFETCH(int, key);
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    QWidget parent;
    parent.resize(parentWidth, 300);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    if (corner) {
        const QPoint at = corner > 0 ? available.bottomRight() - QPoint(200, 100)
                                     : available.topLeft() - QPoint(300, 200);
        parent.move(at);
        QTRY_COMPARE(parent.pos(), at);
    }

    QRect seen;
    bool overlayCovers = false, cancelIsDefault = false;
    QPointer<QWidget> overlay;
    QTimer::singleShot(0, &parent, [&] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        seen = dialog->frameGeometry();
        // ModalOverlay has no meta-object of its own, so look it up by its C++ type.
        for (QObject *object : parent.children()) {
            if (auto *child = dynamic_cast<ModalOverlay *>(object)) {
                overlay = child;
                overlayCovers = child->isVisible() && child->geometry() == parent.rect();
            }
        }
        auto *cancel = dialog->findChild<QPushButton *>(u"confirmCancel"_s);
        auto *ok = dialog->findChild<QPushButton *>(u"confirmOk"_s);
        QVERIFY(cancel && ok && dialog->findChild<QLabel *>(u"confirmDanger"_s));
        // The cancel button holds the dialog's focus, whether or not the window is active yet.
        cancelIsDefault = cancel->isDefault() && !ok->isDefault() && !ok->autoDefault() &&
                          dialog->focusWidget() == cancel;
        if (key)
            QTest::keyClick(dialog, Qt::Key(key));
        else
            QTest::mouseClick(ok, Qt::LeftButton);
    });
    QTimer::singleShot(3000, &parent, [] { // fails the test instead of hanging it
        if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
            dialog->accept();
    });
    const bool result =
        runConfirmDialog(&parent, u"确认固件更新"_s, {"第一行", "第二行"},
                         u"更新过程中请勿断开设备或关闭电源。"_s, u"取消"_s, u"继续"_s);
    QCOMPARE(result, key == 0);
    QCOMPARE(seen.width(), width);
    QVERIFY(available.contains(seen));
    if (corner == 0)
        QVERIFY((seen.center() - parent.geometry().center()).manhattanLength() <= 2);
    else
        QCOMPARE(corner > 0 ? seen.bottomRight() : seen.topLeft(),
                 corner > 0 ? available.bottomRight() : available.topLeft());
    QVERIFY(overlayCovers && cancelIsDefault);
    QTRY_VERIFY(overlay.isNull()); // gone with the next round of deferred deletes
}

QTEST_MAIN(WidgetsTest)
#include "tst_widgets.moc"
