#include "device/serialworker.h"

void SerialWorker::sendCustomCommand(const QString &) { Q_EMIT customCommandResponse(QString()); }
