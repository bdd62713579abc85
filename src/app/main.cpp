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
    // Qt's own options (-platform, -style, -reverse ...) are single-dash words, not letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();

    // Help and version are answered in the terminal, also where no display is available; Qt's
    // options are unknown at this point, which does not matter for them.
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
