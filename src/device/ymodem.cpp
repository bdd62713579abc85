#include "device/ymodem.h"

#include <cstring>

namespace Ymodem {

void fillCrcTable(unsigned short *table)
{
    for (unsigned int i = 0; i < 256; ++i) {
        unsigned int crc = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[i] = static_cast<unsigned short>(crc & 0xFFFF);
    }
}

unsigned short crc16Step(const unsigned short *table, unsigned short crc, unsigned char byte)
{
    return static_cast<unsigned short>(((crc << 8) & 0xFFFF) ^ table[((crc >> 8) ^ byte) & 0xFF]);
}

unsigned short crc16(const unsigned short *table, const unsigned char *data, unsigned int size)
{
    unsigned short crc = 0;
    for (unsigned int i = 0; i < size; ++i)
        crc = crc16Step(table, crc, data[i]);
    return crc;
}

unsigned char checksum(const unsigned char *data, unsigned int size)
{
    unsigned int sum = 0;
    for (unsigned int i = 0; i < size; ++i)
        sum += data[i];
    return static_cast<unsigned char>(sum & 0xFF);
}

void writeDecimal(unsigned char *out, quint32 value)
{
    unsigned char reversed[kDecimalBufferSize];
    int count = 0;
    do {
        reversed[count++] = static_cast<unsigned char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = 0; i < count; ++i)
        out[i] = reversed[count - 1 - i];
    out[count] = 0;
}

void buildHeaderBlock(unsigned char *buffer, const unsigned char *fileName, int fileSize)
{
    buffer[0] = kSoh;
    buffer[1] = 0x00;
    buffer[2] = 0xFF;
    unsigned char *field = buffer + kHeaderSize;
    std::memset(field, 0, kShortField);

    int nameLength = 0;
    while (fileName && nameLength < kFileNameMax && fileName[nameLength] != 0)
        ++nameLength;
    if (nameLength > 0)
        std::memcpy(field, fileName, static_cast<size_t>(nameLength));
    // field[nameLength] stays 0: it ends the name.
    writeDecimal(field + nameLength + 1, static_cast<quint32>(fileSize));
}

int buildDataBlock(unsigned char *buffer, const unsigned char *source, unsigned char blockNumber,
                   unsigned int remaining)
{
    const int field = fieldSizeFor(remaining);
    buffer[0] = field == kLongField ? kStx : kSoh;
    buffer[1] = blockNumber;
    buffer[2] = static_cast<unsigned char>(0xFF - blockNumber);
    const unsigned int copied = remaining < unsigned(field) ? remaining : unsigned(field);
    std::memcpy(buffer + kHeaderSize, source, copied);
    std::memset(buffer + kHeaderSize + copied, kPad, field - copied);
    return field;
}

void buildEndOfBatchBlock(unsigned char *buffer)
{
    buffer[0] = kSoh;
    buffer[1] = 0x00;
    buffer[2] = 0xFF;
    std::memset(buffer + kHeaderSize, 0, kShortField);
}

} // namespace Ymodem
