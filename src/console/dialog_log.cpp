#include "app/dialog.h"

void Dialog::logMessage(const QString &, LogLevel) {}
void Dialog::trimLog() {}
void Dialog::applyLogPalette() {}
void Dialog::setupLogContextMenu() {}
void Dialog::saveLog() {}
bool Dialog::writeLogFile(const QString &) { return false; }
void Dialog::copyLog() {}
void Dialog::clearLog() {}
void Dialog::deleteSelectedLog() {}
void Dialog::updateLogActions() {}
void Dialog::showToast(const QString &) {}
