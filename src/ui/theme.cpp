#include "ui/theme.h"

#include <cstddef>
#include <iterator>

namespace Theme {
namespace {

// The two sheets, one rule per entry, joined with nothing in between. The runs of spaces inside
// the rules are kept exactly as they are, so the sheets stay byte-identical across releases.
const char *const kWindowRules[] = {
    "* { font-family: ${uiFont};    font-size: 13px; }",
    "QDialog { background-color: ${bg}; }",
    "QFrame#card { background-color: ${cardBg}; border: 1px solid ${cardBorder};    "
    "border-radius: 8px; }",
    "QLabel#cardTitle { background-color: transparent; border: none; color: ${textMain};    "
    "font-size: 13px; font-weight: bold; }",
    "QWidget#cardBody { background-color: transparent; border: none; }",
    "QLineEdit, QComboBox { background-color: ${surface}; border: 1px solid ${fieldBorder};    "
    "border-radius: 4px; padding: 3px 8px; color: ${textMain};    "
    "selection-background-color: ${fieldSelectionBg}; selection-color: ${textMain}; }",
    "QLineEdit:hover, QComboBox:hover { border-color: ${fieldBorderHover}; }",
    "QLineEdit:focus, QComboBox:focus, QComboBox:on { border-color: ${accent}; }",
    "QLineEdit:disabled, QComboBox:disabled { background-color: ${disabledBg};    "
    "border-color: ${disabledBorder}; color: ${disabledText}; }",
    "QLineEdit#cmdEdit { font-family: ${monoFont}; font-size: 12px; }",
    "QComboBox { padding-right: 26px; }",
    "QComboBox::drop-down { subcontrol-origin: padding; subcontrol-position: top right;    "
    "width: 26px; border: none; background: transparent; }",
    "QComboBox QAbstractItemView { background-color: ${surface}; border: 1px solid "
    "${fieldBorder};    "
    "padding: 4px; color: ${menuText}; selection-background-color: ${menuHoverBg};    "
    "selection-color: ${textStrong}; outline: 0; }",
    "QComboBox QAbstractItemView::item { min-height: 26px; padding-left: 6px; }",
    "QPushButton { background-color: ${buttonBg}; border: 1px solid ${buttonBorder};    "
    "border-radius: 4px; color: ${buttonText}; padding: 0 12px; font-size: 12px; }",
    "QPushButton:hover { background-color: ${buttonBgHover}; color: ${textStrong}; }",
    "QPushButton:pressed { background-color: ${buttonBgPressed}; color: ${textStrong}; }",
    "QPushButton:focus { border-color: ${accent}; }",
    "QPushButton:disabled { background-color: ${buttonBgOff};    "
    "border-color: ${buttonBorderOff}; color: ${buttonTextOff}; }",
    "QPushButton#connectButton { padding: 0 8px; }",
    "QPushButton#historyButton { padding: 0; }",
    "QPushButton#startButton { background-color: ${accent}; border: 1px solid ${accent};    "
    "border-radius: 5px; color: ${surface}; font-weight: bold; font-size: 13px;    "
    "padding: 0 16px; }",
    "QPushButton#startButton:hover { background-color: ${accentHover};    "
    "border-color: ${accentHover}; }",
    "QPushButton#startButton:pressed { background-color: ${accentPressed};    "
    "border-color: ${accentPressed}; }",
    "QPushButton#startButton:focus { border-color: ${surface}; }",
    "QPushButton#startButton:disabled { background-color: ${primaryBgOff};    "
    "border-color: ${primaryBgOff}; color: ${primaryTextOff}; }",
    "QFrame#logPanel { background-color: ${logBg}; border: 1px solid ${logBorder};    "
    "border-radius: 5px; }",
    "QPlainTextEdit#logWidget { background-color: transparent; border: none; color: ${logText};    "
    "font-family: ${monoFont}; font-size: 12px; padding: 0;    "
    "selection-background-color: ${logSelectionBg}; selection-color: ${logSelectionText}; }",
    "QPlainTextEdit#logWidget QScrollBar:vertical { background: transparent; width: 9px;    "
    "margin: 0; border: none; }",
    "QPlainTextEdit#logWidget QScrollBar::handle:vertical { background: ${outline};    "
    "border-radius: 4px; min-height: 24px; }",
    "QPlainTextEdit#logWidget QScrollBar::handle:vertical:hover { background: ${outlineStrong}; }",
    "QPlainTextEdit#logWidget QScrollBar::add-line:vertical,QPlainTextEdit#logWidget "
    "QScrollBar::sub-line:vertical { height: 0; background: none;    border: none; }",
    "QPlainTextEdit#logWidget QScrollBar::add-page:vertical,QPlainTextEdit#logWidget "
    "QScrollBar::sub-page:vertical { background: none; }",
    "QPlainTextEdit#logWidget QScrollBar:horizontal { background: transparent; height: 9px;    "
    "margin: 0; border: none; }",
    "QPlainTextEdit#logWidget QScrollBar::handle:horizontal { background: ${outline};    "
    "border-radius: 4px; min-width: 24px; }",
    "QPlainTextEdit#logWidget QScrollBar::handle:horizontal:hover {    "
    "background: ${outlineStrong}; }",
    "QPlainTextEdit#logWidget QScrollBar::add-line:horizontal,QPlainTextEdit#logWidget "
    "QScrollBar::sub-line:horizontal { width: 0; background: none;    border: none; }",
    "QPlainTextEdit#logWidget QScrollBar::add-page:horizontal,QPlainTextEdit#logWidget "
    "QScrollBar::sub-page:horizontal { background: none; }",
    "QPushButton#logFooterButton { background: transparent; border: none; border-radius: 3px;    "
    "color: ${logFooterText}; padding: 0 8px; font-size: 12px; }",
    "QPushButton#logFooterButton:hover { background-color: ${logFooterHoverBg};    "
    "color: ${logFooterHover}; }",
    "QPushButton#logFooterButton:pressed { background-color: ${logFooterPressBg};    "
    "color: ${logFooterHover}; }",
    "QPushButton#logFooterButton:disabled { background: transparent;    "
    "color: ${outlineStrong}; }",
    "QLabel#logToast { background-color: ${toastBg};    "
    "border: 1px solid ${outline}; border-radius: 11px; color: ${toastText};    "
    "font-size: 12px; padding: 0 12px; }",
    "QProgressBar { background-color: ${separator}; border: 1px solid ${fieldBorder};    "
    "border-radius: 5px; }",
    "QProgressBar::chunk { background-color: ${accent}; border-radius: 4px; }",
    "QStatusBar { background-color: transparent; border-top: 1px solid ${dialogBorder}; }",
    "QStatusBar::item { border: none; }",
    "QLabel#statusLabel { color: ${textSub}; font-size: 11px; }",
    "QLabel#baudInfoLabel { color: ${textMuted}; font-size: 11px; }",
    "QLabel#deviceInfoLabel { color: ${textSub}; font-size: 11px; }",
    "QMenu { background-color: ${surface}; border: 1px solid ${fieldBorder};    "
    "border-radius: 4px; padding: 4px; color: ${menuText}; }",
    "QMenu::item { padding: 4px 18px 4px 8px; border-radius: 3px; font-size: 12px; }",
    "QMenu::item:selected { background-color: ${menuHoverBg}; color: ${textStrong}; }",
    "QMenu::item:disabled { color: ${buttonTextOff}; }",
    "QMenu::separator { height: 1px; background-color: ${separator}; margin: 4px 6px; }",
    "QToolTip { background-color: ${surface}; color: ${buttonText};    "
    "border: 1px solid ${buttonBorder}; border-radius: 4px; padding: 4px 6px;    "
    "font-size: 12px; }",
};

// The confirmation dialog's sheet; it has no font placeholders.
const char *const kConfirmRules[] = {
    "QDialog#confirmDialog { background-color: transparent; }",
    "QLabel#confirmTitle { background-color: transparent; color: ${textMain};    "
    "font-size: 13px; font-weight: bold; }",
    "QLabel#confirmText { background-color: transparent; color: ${buttonText};    "
    "font-size: 13px; }",
    "QLabel#confirmDanger { background-color: transparent; color: ${dangerText};    "
    "font-size: 12px; }",
    "QLabel#confirmNotice { background-color: transparent; color: ${danger};    "
    "font-size: 12px; font-weight: bold; }",
    "QPushButton#confirmCancel { background-color: ${buttonBg};    "
    "border: 1px solid ${buttonBorder}; border-radius: 4px; color: ${buttonText};    "
    "font-size: 12px; padding: 0; }",
    "QPushButton#confirmCancel:hover { background-color: ${buttonBgHover};    "
    "color: ${textStrong}; }",
    "QPushButton#confirmCancel:pressed { background-color: ${buttonBgPressed};    "
    "color: ${textStrong}; }",
    "QPushButton#confirmCancel:focus { border-color: ${accent}; }",
    "QPushButton#confirmOk { background-color: ${danger}; border: 1px solid ${danger};    "
    "border-radius: 4px; color: ${surface}; font-size: 12px; font-weight: bold;    "
    "padding: 0 12px; }",
    "QPushButton#confirmOk:hover { background-color: ${dangerHover};    "
    "border-color: ${dangerHover}; }",
    "QPushButton#confirmOk:pressed { background-color: ${dangerPressed};    "
    "border-color: ${dangerPressed}; }",
};

QString joinRules(const char *const *rules, std::size_t count)
{
    QString sheet;
    for (std::size_t i = 0; i < count; ++i)
        sheet += QLatin1String(rules[i]);
    return sheet;
}

} // namespace

QString uiFontStack()
{
    return QStringLiteral("\"Inter\", \"Segoe UI\", \"Microsoft YaHei\", \"Noto Sans\", "
                          "\"PingFang SC\", \"Heiti SC\", sans-serif");
}

QString monoFontStack()
{
    return QStringLiteral("\"Menlo\", \"PingFang SC\", \"Heiti SC\", monospace");
}

const QList<QPair<QString, QString>> &palette()
{
    static const QList<QPair<QString, QString>> table = {
        {QStringLiteral("${bg}"), QStringLiteral("#f2f5f9")},
        {QStringLiteral("${cardBg}"), QLatin1String(kCardBg)},
        {QStringLiteral("${surface}"), QStringLiteral("#ffffff")},
        {QStringLiteral("${cardBorder}"), QStringLiteral("#e2e8f0")},
        {QStringLiteral("${accent}"), QLatin1String(kAccent)},
        {QStringLiteral("${accentHover}"), QStringLiteral("#1d4ed8")},
        {QStringLiteral("${accentPressed}"), QStringLiteral("#1e40af")},
        {QStringLiteral("${textMain}"), QLatin1String(kTextMain)},
        {QStringLiteral("${textSub}"), QLatin1String(kTextSub)},
        {QStringLiteral("${textMuted}"), QStringLiteral("#7b8a9e")},
        {QStringLiteral("${textStrong}"), QStringLiteral("#1f2937")},
        {QStringLiteral("${danger}"), QLatin1String(kDanger)},
        {QStringLiteral("${dangerText}"), QStringLiteral("#b91c1c")},
        {QStringLiteral("${dangerHover}"), QStringLiteral("#b91c1c")},
        {QStringLiteral("${dangerPressed}"), QStringLiteral("#991b1b")},
        {QStringLiteral("${separator}"), QLatin1String(kSeparator)},
        {QStringLiteral("${dialogBorder}"), QLatin1String(kDialogBorder)},
        {QStringLiteral("${fieldBorder}"), QStringLiteral("#c9d2de")},
        {QStringLiteral("${fieldBorderHover}"), QStringLiteral("#93a4bc")},
        {QStringLiteral("${fieldSelectionBg}"), QStringLiteral("#d7e3fb")},
        {QStringLiteral("${disabledBg}"), QStringLiteral("#f1f5f9")},
        {QStringLiteral("${disabledBorder}"), QStringLiteral("#e2e8f0")},
        {QStringLiteral("${disabledText}"), QLatin1String(kDisabledText)},
        {QStringLiteral("${buttonBg}"), QStringLiteral("#f4f6f9")},
        {QStringLiteral("${buttonBorder}"), QStringLiteral("#c3cbd6")},
        {QStringLiteral("${buttonText}"), QStringLiteral("#334155")},
        {QStringLiteral("${buttonBgHover}"), QStringLiteral("#e9edf4")},
        {QStringLiteral("${buttonBgPressed}"), QStringLiteral("#dee4ec")},
        {QStringLiteral("${buttonBgOff}"), QStringLiteral("#f7f8fb")},
        {QStringLiteral("${buttonBorderOff}"), QStringLiteral("#e3e7ee")},
        {QStringLiteral("${buttonTextOff}"), QStringLiteral("#aab4c2")},
        {QStringLiteral("${primaryBgOff}"), QStringLiteral("#dbe3ef")},
        {QStringLiteral("${primaryTextOff}"), QStringLiteral("#7c8ba1")},
        {QStringLiteral("${menuText}"), QStringLiteral("#39465a")},
        {QStringLiteral("${menuHoverBg}"), QStringLiteral("#eef2f8")},
        {QStringLiteral("${outline}"), QStringLiteral("#334155")},
        {QStringLiteral("${outlineStrong}"), QStringLiteral("#475569")},
        {QStringLiteral("${logBg}"), QStringLiteral("#0f172a")},
        {QStringLiteral("${logBorder}"), QStringLiteral("#1b2639")},
        {QStringLiteral("${logText}"), QStringLiteral("#cbd5e1")},
        {QStringLiteral("${logFooterText}"), QStringLiteral("#8092a8")},
        {QStringLiteral("${logFooterHoverBg}"), QStringLiteral("#1e2b40")},
        {QStringLiteral("${logFooterPressBg}"), QStringLiteral("#24344d")},
        {QStringLiteral("${logFooterHover}"), QStringLiteral("#e2e8f0")},
        {QStringLiteral("${logSelectionBg}"), QStringLiteral("#264f78")},
        {QStringLiteral("${logSelectionText}"), QStringLiteral("#e6edf7")},
        {QStringLiteral("${toastBg}"), QStringLiteral("#e61e293b")},
        {QStringLiteral("${toastText}"), QStringLiteral("#e2e8f0")},
    };
    return table;
}

QString fillPalette(QString sheet)
{
    for (const auto &[placeholder, colour] : palette())
        sheet.replace(placeholder, colour);
    return sheet;
}

QString windowStyleSheetTemplate()
{
    return joinRules(kWindowRules, std::size(kWindowRules));
}

QString confirmStyleSheetTemplate()
{
    return joinRules(kConfirmRules, std::size(kConfirmRules));
}

QString windowStyleSheet()
{
    QString sheet = windowStyleSheetTemplate();
    sheet.replace(QLatin1String("${uiFont}"), uiFontStack());
    sheet.replace(QLatin1String("${monoFont}"), monoFontStack());
    return fillPalette(sheet);
}

QString confirmStyleSheet()
{
    return fillPalette(confirmStyleSheetTemplate());
}

} // namespace Theme
