#include "device/serialworker.h"

unsigned short SerialWorker::m_crcTable[256] = {};

void SerialWorker::initCrcTable() {}
unsigned short SerialWorker::updateCRC16(unsigned short crc, unsigned char) const { return crc; }
unsigned short SerialWorker::calcCRC16(const unsigned char *, unsigned int) const { return 0; }
unsigned char SerialWorker::calcChecksum(const unsigned char *, unsigned int) const { return 0; }
void SerialWorker::int2Str(unsigned char *out, int) const { out[0] = 0; }
void SerialWorker::ymodemPrepareInitialPacket(unsigned char *, const unsigned char *, int *) const {}
void SerialWorker::ymodemPreparePacket(const unsigned char *, unsigned char *, unsigned char,
                                       unsigned int) const
{
}
void SerialWorker::ymodemSendPacket(const unsigned char *, unsigned short) {}
