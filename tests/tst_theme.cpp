// The palette, the font stacks and the two style sheets built from them.

#include "ui/theme.h"

#include <QColor>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

namespace {

// Rules at the top level of a sheet: each ends with a closing brace at depth zero; -1 when the
// braces do not balance.
int countRules(const QString &sheet)
{
    int depth = 0;
    int rules = 0;
    for (const QChar c : sheet) {
        if (c == QLatin1Char('{')) {
            ++depth;
        } else if (c == QLatin1Char('}')) {
            if (depth == 0)
                return -1;
            --depth;
            rules += depth == 0;
        }
    }
    return depth == 0 ? rules : -1;
}

// Placeholders are "${name}"; hide them before counting braces.
QString withoutPlaceholders(QString sheet)
{
    static const QRegularExpression placeholder(QStringLiteral("\\$\\{[A-Za-z]+\\}"));
    return sheet.replace(placeholder, QStringLiteral("X"));
}

QString paletteValue(const QString &name)
{
    for (const auto &[placeholder, colour] : Theme::palette()) {
        if (placeholder == QLatin1String("${") + name + QLatin1Char('}'))
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
    void noPlaceholderLeftAfterSubstitution();
    void everyPaletteEntryIsUsedAndValid();
    void paletteOrderAndDirectColours();
    void fontStacks();
    void toastBackgroundIsTranslucent();
    void substitutionReplacesEveryOccurrenceAndNothingElse();
};

void ThemeTest::sheetsKeepTheirRulesAndSpacing_data()
{
    QTest::addColumn<QString>("sheet");
    QTest::addColumn<int>("rules");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("sample");

    QTest::newRow("the window template has 55 rules")
        << Theme::windowStyleSheetTemplate() << 55 << 5695
        << QStringLiteral("QFrame#card { background-color: ${cardBg}; border: 1px solid "
                          "${cardBorder};    border-radius: 8px; }");
    QTest::newRow("the confirmation template has 11 rules")
        << Theme::confirmStyleSheetTemplate() << 11 << 1172
        << QStringLiteral("QPushButton#confirmOk:pressed { background-color: "
                          "${dangerPressed};    border-color: ${dangerPressed}; }");
    QTest::newRow("the filled window sheet still has 55 rules")
        << Theme::windowStyleSheet() << 55 << -1
        << QStringLiteral("QDialog { background-color: #f2f5f9; }");
    QTest::newRow("the filled confirmation sheet still has 11 rules")
        << Theme::confirmStyleSheet() << 11 << -1
        << QStringLiteral("QDialog#confirmDialog { background-color: transparent; }");
}

void ThemeTest::sheetsKeepTheirRulesAndSpacing()
{
    QFETCH(QString, sheet);
    QFETCH(int, rules);
    QFETCH(int, length);
    QFETCH(QString, sample);
    QCOMPARE(countRules(withoutPlaceholders(sheet)), rules);
    // The runs of spaces inside the rules are part of the sheet; nothing may collapse them.
    if (length >= 0)
        QCOMPARE(sheet.size(), length);
    QVERIFY(sheet.contains(sample));
    QVERIFY(!sheet.contains(QLatin1Char('\n')));
}

void ThemeTest::noPlaceholderLeftAfterSubstitution()
{
    for (const QString &sheet : {Theme::windowStyleSheet(), Theme::confirmStyleSheet()}) {
        QVERIFY2(!sheet.contains(QLatin1String("${")), qPrintable(sheet));
        QVERIFY(!sheet.contains(QLatin1Char('$')));
    }
    // The fonts appear only where the window template asked for them.
    const QString window = Theme::windowStyleSheet();
    QVERIFY(window.startsWith(QLatin1String("* { font-family: ") + Theme::uiFontStack() +
                              QLatin1String(";    font-size: 13px; }")));
    QCOMPARE(window.count(Theme::monoFontStack()), 2);
    QVERIFY(!Theme::confirmStyleSheetTemplate().contains(QLatin1String("Font}")));
}

void ThemeTest::everyPaletteEntryIsUsedAndValid()
{
    const QString both = Theme::windowStyleSheetTemplate() + Theme::confirmStyleSheetTemplate();
    QSet<QString> names;
    for (const auto &[placeholder, colour] : Theme::palette()) {
        QVERIFY2(both.contains(placeholder), qPrintable(placeholder));
        QVERIFY2(QColor::isValidColorName(colour), qPrintable(colour));
        QVERIFY2(!names.contains(placeholder), qPrintable(placeholder));
        names.insert(placeholder);
    }
    // Every placeholder the templates use comes from the palette or the font stacks.
    static const QRegularExpression placeholder(QStringLiteral("\\$\\{[A-Za-z]+\\}"));
    for (auto it = placeholder.globalMatch(both); it.hasNext();) {
        const QString name = it.next().captured();
        QVERIFY2(names.contains(name) || name == QLatin1String("${uiFont}") ||
                     name == QLatin1String("${monoFont}"),
                 qPrintable(name));
    }
}

void ThemeTest::paletteOrderAndDirectColours()
{
    const auto &palette = Theme::palette();
    QCOMPARE(palette.size(), 48);
    QCOMPARE(palette.first(), qMakePair(QStringLiteral("${bg}"), QStringLiteral("#f2f5f9")));
    QCOMPARE(palette.at(4), qMakePair(QStringLiteral("${accent}"), QStringLiteral("#2563eb")));
    QCOMPARE(palette.at(37), qMakePair(QStringLiteral("${logBg}"), QStringLiteral("#0f172a")));
    QCOMPARE(palette.last(), qMakePair(QStringLiteral("${toastText}"), QStringLiteral("#e2e8f0")));

    // Colours that widgets paint themselves repeat the palette's values.
    QCOMPARE(QLatin1String(Theme::kAccent), paletteValue(QStringLiteral("accent")));
    QCOMPARE(QLatin1String(Theme::kDialogBorder), paletteValue(QStringLiteral("dialogBorder")));
    QCOMPARE(QLatin1String(Theme::kSeparator), paletteValue(QStringLiteral("separator")));
    QCOMPARE(QLatin1String(Theme::kTextSub), paletteValue(QStringLiteral("textSub")));
    QCOMPARE(QLatin1String(Theme::kDisabledText), paletteValue(QStringLiteral("disabledText")));
    QCOMPARE(QLatin1String(Theme::kTextMain), paletteValue(QStringLiteral("textMain")));
    QCOMPARE(QLatin1String(Theme::kDanger), paletteValue(QStringLiteral("danger")));
    QCOMPARE(QLatin1String(Theme::kCardBg), paletteValue(QStringLiteral("cardBg")));
}

void ThemeTest::fontStacks()
{
    QCOMPARE(Theme::uiFontStack(),
             QStringLiteral("\"Inter\", \"Segoe UI\", \"Microsoft YaHei\", \"Noto Sans\", "
                            "\"PingFang SC\", \"Heiti SC\", sans-serif"));
    QCOMPARE(Theme::uiFontStack().size(), 90);
    QCOMPARE(Theme::monoFontStack(),
             QStringLiteral("\"Menlo\", \"PingFang SC\", \"Heiti SC\", monospace"));
    QCOMPARE(Theme::monoFontStack().size(), 45);
}

void ThemeTest::toastBackgroundIsTranslucent()
{
    const QColor toast(paletteValue(QStringLiteral("toastBg")));
    QVERIFY(toast.isValid());
    QCOMPARE(toast.alpha(), 230);
    QCOMPARE(toast.rgb() & 0xffffff, 0x1e293bu);
    QVERIFY(Theme::windowStyleSheet().contains(
        QStringLiteral("QLabel#logToast { background-color: #e61e293b;")));
}

void ThemeTest::substitutionReplacesEveryOccurrenceAndNothingElse()
{
    QCOMPARE(Theme::fillPalette(QStringLiteral("a ${accent} b ${accent} ${unknown} ${bg}")),
             QStringLiteral("a #2563eb b #2563eb ${unknown} #f2f5f9"));
    // Case matters.
    QCOMPARE(Theme::fillPalette(QStringLiteral("${Accent}")), QStringLiteral("${Accent}"));
}

QTEST_APPLESS_MAIN(ThemeTest)
#include "tst_theme.moc"
