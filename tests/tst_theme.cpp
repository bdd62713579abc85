// The palette, the font stacks and the two style sheets built from them.

#include "ui/theme.h"

#include <QColor>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QRegularExpression kPlaceholder(u"\\$\\{[A-Za-z]+\\}"_s);

// Rules at the top level of a sheet (placeholders hidden); -1 when the braces do not balance.
int countRules(QString sheet)
{
    sheet.replace(kPlaceholder, u"X"_s);
    int depth = 0, rules = 0;
    for (const QChar c : sheet) {
        if (c == u'{') {
            ++depth;
        } else if (c == u'}') {
            if (--depth < 0)
                return -1;
            rules += depth == 0;
        }
    }
    return depth == 0 ? rules : -1;
}

} // namespace

class ThemeTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sheetsBalanceAndAreFilled_data();
    void sheetsBalanceAndAreFilled();
    void everyPaletteEntryIsUsedAndEveryPlaceholderKnown();
    void substitutionReplacesEveryOccurrenceAndNothingElse();
};

void ThemeTest::sheetsBalanceAndAreFilled_data()
{
    QTest::addColumn<QString>("sheet");
    QTest::addColumn<QString>("filled");
    QTest::newRow("the window sheet's braces balance and every placeholder is filled")
        << Theme::windowStyleSheetTemplate() << Theme::windowStyleSheet();
    QTest::newRow("the confirmation sheet's too")
        << Theme::confirmStyleSheetTemplate() << Theme::confirmStyleSheet();
}

void ThemeTest::sheetsBalanceAndAreFilled()
{
    QFETCH(QString, sheet);
    QFETCH(QString, filled);
    QVERIFY(countRules(sheet) > 0);
    QCOMPARE(countRules(filled), countRules(sheet));
    QVERIFY2(!filled.contains(QLatin1String("${")), qPrintable(filled));
}

void ThemeTest::everyPaletteEntryIsUsedAndEveryPlaceholderKnown()
{
    const QString both = Theme::windowStyleSheetTemplate() + Theme::confirmStyleSheetTemplate();
    QSet<QString> names{u"${uiFont}"_s, u"${monoFont}"_s};
    for (const auto &[placeholder, colour] : Theme::palette()) {
        QVERIFY2(both.contains(placeholder), qPrintable(placeholder));
        QVERIFY2(QColor::isValidColorName(colour), qPrintable(colour));
        QVERIFY2(!names.contains(placeholder), qPrintable(placeholder));
        names.insert(placeholder);
    }
    for (auto it = kPlaceholder.globalMatch(both); it.hasNext();) {
        const QString name = it.next().captured();
        QVERIFY2(names.contains(name), qPrintable(name));
    }
    // Fonts go only where the window template asks for them.
    const QString window = Theme::windowStyleSheet();
    QCOMPARE(window.count(Theme::uiFontStack()), 1);
    QCOMPARE(window.count(Theme::monoFontStack()), 2);
}

void ThemeTest::substitutionReplacesEveryOccurrenceAndNothingElse()
{
    QCOMPARE(Theme::fillPalette(u"a ${accent} b ${accent} ${unknown} ${bg}"_s),
             u"a #2563eb b #2563eb ${unknown} #f2f5f9"_s);
    QCOMPARE(Theme::fillPalette(u"${Accent}"_s), u"${Accent}"_s);
}

QTEST_APPLESS_MAIN(ThemeTest)
#include "tst_theme.moc"
