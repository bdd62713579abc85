#include "device/serialworker.h"

void SerialWorker::confirmDeviceCompletion(int) {}
