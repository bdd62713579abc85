#include "app/dialog.h"

#include "ui/theme.h"

void Dialog::applyGlobalStyle() { setStyleSheet(Theme::windowStyleSheet()); }
