#pragma once

class QCoreApplication;
class QCommandLineParser;

// Loads Qt's own Simplified Chinese texts (file dialogs, the fields' context menus, message
// boxes), so that nothing of Qt shows in English in a Chinese window. True when they were found.
bool installQtChineseTranslations(QCoreApplication &app);

// A window's command line before its QApplication exists: adds --help and --version to parser
// (Qt's own options are single-dash words) and answers them in the terminal and exits, also
// where no display is available. Returns otherwise; the caller processes the rest later.
void answerHelpOrVersion(QCommandLineParser &parser, int argc, char *argv[]);
