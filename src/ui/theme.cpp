#include "ui/theme.h"

namespace Theme {
QString uiFontStack() { return QString(); }
QString monoFontStack() { return QString(); }
const QList<QPair<QString, QString>> &palette()
{
    static const QList<QPair<QString, QString>> table;
    return table;
}
QString fillPalette(QString sheet) { return sheet; }
QString windowStyleSheetTemplate() { return QString(); }
QString confirmStyleSheetTemplate() { return QString(); }
QString windowStyleSheet() { return QString(); }
QString confirmStyleSheet() { return QString(); }
} // namespace Theme
