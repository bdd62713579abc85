#include "app/dialog.h"

#include <QColor>
#include <QResizeEvent>
#include <QVariant>

#include "ui/widgets.h"

void Dialog::toggleConnection() {}
void Dialog::onConnected() {}
void Dialog::onDisconnected() {}
void Dialog::onConnectionFailed(const QString &) {}
void Dialog::onWorkerLog(const QString &) {}
void Dialog::onBaudRateInfo(int) {}
void Dialog::refreshUiState() {}
void Dialog::updateSerialPortState(SerialPortState state) { m_connectionState = state; refreshUiState(); }
void Dialog::updateStatus(const QString &) {}
void Dialog::setConnectionLedColor(const QColor &) {}
void Dialog::positionToast() {}
QString Dialog::selectedPortName() const { return m_portCombo->currentData(Qt::UserRole).toString(); }
void Dialog::resizeEvent(QResizeEvent *event) { QDialog::resizeEvent(event); }
