#pragma once

// YMODEM block building, CRC-16/XMODEM and the progress rule of the sender. SerialWorker's packet
// and transfer members are thin adapters over these. No widgets, no I/O.

#include <QtGlobal>

namespace Ymodem {

constexpr unsigned char kSoh = 0x01; // block with a 128-byte field
constexpr unsigned char kStx = 0x02; // block with a 1024-byte field
constexpr unsigned char kEot = 0x04;
constexpr unsigned char kAck = 0x06;
constexpr unsigned char kNak = 0x15;
constexpr unsigned char kCan = 0x18;
constexpr unsigned char kCrcRequest = 0x43; // 'C'
constexpr unsigned char kPad = 0x1A;

constexpr int kHeaderSize = 3;
constexpr int kShortField = 128;
constexpr int kLongField = 1024;
constexpr int kBlockBufferSize = kHeaderSize + kLongField;
constexpr int kFileNameMax = 111;
// Largest buffer int2Str can need: ten digits and the terminating zero.
constexpr int kDecimalBufferSize = 11;

// Fills the 256-entry CRC-16/XMODEM table (polynomial 0x1021). No widgets, no I/O.
void fillCrcTable(unsigned short *table);
// One table step of the CRC over the next byte. No widgets, no I/O.
unsigned short crc16Step(const unsigned short *table, unsigned short crc, unsigned char byte);
// CRC-16/XMODEM (initial 0, no reflection, no final XOR) of size bytes. No widgets, no I/O.
unsigned short crc16(const unsigned short *table, const unsigned char *data, unsigned int size);
// Sum of the bytes modulo 256. No widgets, no I/O.
unsigned char checksum(const unsigned char *data, unsigned int size);
// Writes value in decimal ASCII without leading zeros, then a zero byte. No widgets, no I/O.
void writeDecimal(unsigned char *out, quint32 value);

// Data field size of the block that starts with remaining bytes left to send. No widgets, no I/O.
inline int fieldSizeFor(unsigned int remaining)
{
    return remaining >= unsigned(kLongField) ? kLongField : kShortField;
}
// Header block (block 0): SOH, 0x00, 0xFF, the name cut at 111 bytes, 0x00, the size in decimal,
// zeros to the end of the 128-byte field; 131 bytes in all. No widgets, no I/O.
void buildHeaderBlock(unsigned char *buffer, const unsigned char *fileName, int fileSize);
// Data block: STX and 1024 bytes while 1024 or more remain, else SOH and up to 128 bytes padded
// with 0x1A. Returns the field size. No widgets, no I/O.
int buildDataBlock(unsigned char *buffer, const unsigned char *source, unsigned char blockNumber,
                   unsigned int remaining);
// End-of-batch block: SOH, 0x00, 0xFF and 128 zero bytes. No widgets, no I/O.
void buildEndOfBatchBlock(unsigned char *buffer);
// The 16-bit block counter after counter: it wraps from 65535 to 1, never to 0.
// No widgets, no I/O.
inline quint16 nextBlockCounter(quint16 counter)
{
    return counter == 0xFFFF ? quint16(1) : quint16(counter + 1);
}

// Counts the data fields delivered and says when a progress report is due: once the count has
// grown by 4096 bytes or more since the last report, plus one final report. No widgets, no I/O.
class ProgressCounter
{
public:
    static constexpr int kReportStep = 4096;

    // A data field of fieldSize bytes was acknowledged; true when progress(sent()) is due.
    bool add(int fieldSize)
    {
        m_sent += fieldSize;
        if (m_sent - m_reported < kReportStep)
            return false;
        m_reported = m_sent;
        return true;
    }
    // After the last block: true when the final report (image size of image size) is due.
    bool finalReportDue() const { return m_sent > m_reported; }
    int sent() const { return m_sent; }

private:
    int m_sent = 0;
    int m_reported = 0;
};

} // namespace Ymodem
