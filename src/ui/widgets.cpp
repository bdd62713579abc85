#include "ui/widgets.h"

#include <QFrame>

DropOverlay::~DropOverlay() = default;
void DropOverlay::paintEvent(QPaintEvent *) {}
ModalOverlay::~ModalOverlay() = default;
void ModalOverlay::paintEvent(QPaintEvent *) {}
FlatComboBox::~FlatComboBox() = default;
void FlatComboBox::paintEvent(QPaintEvent *event) { QComboBox::paintEvent(event); }
UpdateProgressBar::~UpdateProgressBar() = default;
void UpdateProgressBar::paintEvent(QPaintEvent *event) { QProgressBar::paintEvent(event); }
