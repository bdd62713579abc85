#include "app/dialog.h"
#include "app/translations.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Fractional scale factors are used as they are.
    QApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication app(argc, argv);
    installQtChineseTranslations(app);
    int result = 0;
    {
        Dialog window;
        window.show();
        result = app.exec();
    }
    return result;
}
