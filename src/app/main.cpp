#include "app/dialog.h"
#include "app/heaptuning.h"
#include "ui/translations.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char *argv[])
{
    keepLargeBlocksOutOfTheHeap();
    QCoreApplication::setApplicationName(QStringLiteral("fwupdater"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FW_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Orvane firmware update tool: updates a device's firmware over a serial "
                       "line by YMODEM, and is a small serial console."));
    answerHelpOrVersion(parser, argc, argv);

    // Fractional scale factors are used as they are.
    QApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication app(argc, argv);
    installQtChineseTranslations(app);
    QGuiApplication::setDesktopFileName(QStringLiteral(FW_APP_ID));
    // Qt has taken its own options out of the arguments by now; anything else is reported.
    parser.process(app);
    int result = 0;
    {
        Dialog window;
        window.show();
        result = app.exec();
    }
    return result;
}
