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
    // Qt's own options (-platform, -style ...) are single-dash words, not letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();

    // Help and version are answered in the terminal, also where no display is available.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    parser.parse(arguments);
    if (parser.isSet(version) || parser.isSet(help)) {
        QCoreApplication app(argc, argv);
        if (parser.isSet(version))
            parser.showVersion();
        parser.showHelp();
    }

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
