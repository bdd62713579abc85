#include "app/dialog.h"

void Dialog::updateFirmware() {}
void Dialog::onUpdateProgress(int, int) {}
void Dialog::onUpdateSuccess() {}
void Dialog::onUpdateFailed(const QString &) {}
