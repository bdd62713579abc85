#include "ui/widgets.h"

#include <QFrame>

ConfirmDialog::~ConfirmDialog() = default;
void ConfirmDialog::paintEvent(QPaintEvent *) {}
QFrame *makeSeparator(QWidget *parent) { return new QFrame(parent); }
bool runConfirmDialog(QWidget *, const QString &, const QStringList &, const QString &,
                      const QString &, const QString &)
{
    return false;
}
int confirmDialogWidth(int) { return 400; }
QPoint clampIntoArea(QPoint topLeft, QSize, const QRect &) { return topLeft; }
