// fwstation: the production line's window. One image, every ticked port at once, board after
// board, each port's result readable from two metres.

#include "station/stationwindow.h"
#include "ui/translations.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("fwstation"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FW_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Orvane production-line station: updates the firmware of the boards on "
                       "several serial ports at once, board after board, with a tile per port."));
    answerHelpOrVersion(parser, argc, argv);

    QApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication app(argc, argv);
    installQtChineseTranslations(app);
    QGuiApplication::setDesktopFileName(QStringLiteral(FW_STATION_ID));
    parser.process(app);
    int result = 0;
    {
        StationWindow window;
        window.show();
        result = app.exec();
    }
    return result;
}
