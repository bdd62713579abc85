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

QString paletteValue(const QString &name)
{
    for (const auto &[placeholder, colour] : Theme::palette()) {
        if (placeholder == "${" + name + '}')
            return colour;
    }
    return {};
}

} // namespace

class ThemeTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sheetsKeepTheirRulesAndSpacing_data();
    void sheetsKeepTheirRulesAndSpacing();
    void everyPaletteEntryIsUsedAndEveryPlaceholderKnown();
    void substitutionReplacesEveryOccurrenceAndNothingElse();
};

void ThemeTest::sheetsKeepTheirRulesAndSpacing_data()
{
    QTest::addColumn<QString>("sheet");
    QTest::addColumn<QString>("filled");
    QTest::addColumn<int>("rules");
    QTest::addColumn<int>("length");
    // The length pins the runs of spaces inside the rules; nothing may collapse them.
    QTest::newRow("the window template has 55 rules in 5773 characters")
        << Theme::windowStyleSheetTemplate() << Theme::windowStyleSheet() << 55 << 5773;
    QTest::newRow("the confirmation template has 11 rules in 1172 characters")
        << Theme::confirmStyleSheetTemplate() << Theme::confirmStyleSheet() << 11 << 1172;
}

void ThemeTest::sheetsKeepTheirRulesAndSpacing()
{
    QFETCH(QString, sheet);
    QFETCH(QString, filled);
    QFETCH(int, rules);
    QFETCH(int, length);
    QCOMPARE(countRules(sheet), rules);
    QCOMPARE(sheet.size(), length);
    QCOMPARE(countRules(filled), rules);
    QVERIFY2(!filled.contains(QLatin1String("${")), qPrintable(filled));
}

void ThemeTest::everyPaletteEntryIsUsedAndEveryPlaceholderKnown()
{
    const QString both = Theme::windowStyleSheetTemplate() + Theme::confirmStyleSheetTemplate();
    QSet<QString> names{u"${uiFont}"_s, u"${monoFont}"_s};
    QCOMPARE(Theme::palette().size(), 48);
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
    // The toast's colour is #AARRGGBB: translucent slate, not an opaque colour.
    QCOMPARE(QColor(paletteValue(u"toastBg"_s)).alpha(), 230);
    // Colours that widgets paint themselves repeat the palette's values.
    const std::pair<const char *, const char *> direct[] = {{Theme::kAccent, "accent"},
                                                            {Theme::kDialogBorder, "dialogBorder"},
                                                            {Theme::kSeparator, "separator"},
                                                            {Theme::kTextSub, "textSub"},
                                                            {Theme::kDisabledText, "disabledText"},
                                                            {Theme::kTextMain, "textMain"},
                                                            {Theme::kDanger, "danger"},
                                                            {Theme::kCardBg, "cardBg"}};
    for (const auto &[colour, name] : direct)
        QCOMPARE(QString::fromLatin1(colour), paletteValue(QString::fromLatin1(name)));
}

void ThemeTest::substitutionReplacesEveryOccurrenceAndNothingElse()
{
    QCOMPARE(Theme::fillPalette(u"a ${accent} b ${accent} ${unknown} ${bg}"_s),
             u"a #2563eb b #2563eb ${unknown} #f2f5f9"_s);
    QCOMPARE(Theme::fillPalette(u"${Accent}"_s), u"${Accent}"_s);
}

QTEST_APPLESS_MAIN(ThemeTest)
#include "tst_theme.moc"
