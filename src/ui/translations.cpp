#include "ui/translations.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

bool installQtChineseTranslations(QCoreApplication &app)
{
    auto *translator = new QTranslator(&app);
    const QLocale chinese(QLocale::Chinese, QLocale::China);
    if (translator->load(chinese, QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(translator);
        return true;
    }
    delete translator;
    return false;
}

void answerHelpOrVersion(QCommandLineParser &parser, int argc, char *argv[])
{
    // Qt's own options (-platform, -style, -reverse ...) are single-dash words, not letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    // Qt's options are unknown at this point, which does not matter for these two.
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
}
