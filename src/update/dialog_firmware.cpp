#include "app/dialog.h"

#include <QDragEnterEvent>

bool Dialog::validateFirmwareFile(const QString &) { return false; }
void Dialog::browse() {}
void Dialog::showDropOverlay() {}
void Dialog::hideDropOverlay() {}
void Dialog::dragEnterEvent(QDragEnterEvent *event) { event->ignore(); }
void Dialog::dragMoveEvent(QDragMoveEvent *event) { event->ignore(); }
void Dialog::dragLeaveEvent(QDragLeaveEvent *event) { QDialog::dragLeaveEvent(event); }
void Dialog::dropEvent(QDropEvent *) {}
