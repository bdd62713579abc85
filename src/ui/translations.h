#pragma once

class QCoreApplication;

// Loads Qt's own Simplified Chinese texts (file dialogs, the fields' context menus, message
// boxes), so that nothing of Qt shows in English in a Chinese window. True when they were found.
bool installQtChineseTranslations(QCoreApplication &app);
