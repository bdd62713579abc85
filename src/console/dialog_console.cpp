#include "app/dialog.h"

void Dialog::loadHistory() {}
void Dialog::saveHistory() {}
void Dialog::sendCustomCommand() {}
void Dialog::onCustomCommandResponse(const QString &) {}
void Dialog::showHistoryMenu() {}
void Dialog::populateHistoryMenu() {}
bool Dialog::eventFilter(QObject *watched, QEvent *event) { return QDialog::eventFilter(watched, event); }
