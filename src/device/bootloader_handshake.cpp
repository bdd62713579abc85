#include "device/serialworker.h"

void SerialWorker::startUpdate(const QString &) { Q_EMIT updateFailed(QString()); }
QByteArray SerialWorker::queryInitCommand() { return m_initCommand; }
void SerialWorker::processResponse() {}
