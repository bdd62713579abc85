#include "app/dialog.h"

void Dialog::loadSettings() {}
void Dialog::saveSettings() {}
void Dialog::applyDefaultGeometry() {}
void Dialog::restoreWindowGeometry() {}
void Dialog::ensureOnScreen() {}
