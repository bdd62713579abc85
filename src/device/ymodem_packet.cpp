#include "device/porterrortext.h"
#include "device/serialworker.h"
#include "device/ymodem.h"

#include <QElapsedTimer>
#include <QThread>

#if defined(Q_OS_UNIX)
#include <sys/ioctl.h>
#endif

namespace {
// Pause before offering bytes again to a port that took none.
constexpr int kWriteRetryPauseMs = 1;
// A YMODEM receiver stops on two CAN bytes in a row. Five is the count a ZMODEM receiver needs,
// so the same sequence stops any X/Y/ZMODEM receiver, with three to spare for a byte lost while
// the device is busy (writing flash, say). More would only reach whatever the device runs once
// its receiver has stopped.
constexpr int kCancelCount = 5;
// Between looks at the port's output queue while the cancel drains.
constexpr int kDrainPollMs = 1;
} // namespace

static_assert(SerialWorker::kWorkBufferSize == Ymodem::kBlockBufferSize);
static_assert(SerialWorker::kFileNameMax == Ymodem::kFileNameMax);

unsigned short SerialWorker::m_crcTable[256] = {};

void SerialWorker::initCrcTable()
{
    Ymodem::fillCrcTable(m_crcTable);
}

unsigned short SerialWorker::updateCRC16(unsigned short crc, unsigned char byte) const
{
    return Ymodem::crc16Step(m_crcTable, crc, byte);
}

unsigned short SerialWorker::calcCRC16(const unsigned char *data, unsigned int size) const
{
    return Ymodem::crc16(m_crcTable, data, size);
}

unsigned char SerialWorker::calcChecksum(const unsigned char *data, unsigned int size) const
{
    return Ymodem::checksum(data, size);
}

void SerialWorker::int2Str(unsigned char *out, int value) const
{
    Ymodem::writeDecimal(out, static_cast<quint32>(value));
}

void SerialWorker::ymodemPrepareInitialPacket(unsigned char *buffer, const unsigned char *fileName,
                                              int *fileSize) const
{
    Ymodem::buildHeaderBlock(buffer, fileName, *fileSize);
}

void SerialWorker::ymodemPreparePacket(const unsigned char *source, unsigned char *buffer,
                                       unsigned char blockNumber, unsigned int remaining) const
{
    Ymodem::buildDataBlock(buffer, source, blockNumber, remaining);
}

void SerialWorker::reportWriteFailure()
{
    m_failureReason =
        tr("写入错误：%1").arg(PortErrorText::hint(m_port->error(), m_port->errorString()));
    Q_EMIT errorOccurred(
        tr("写入错误：%1")
            .arg(PortErrorText::withSystemText(m_port->error(), m_port->errorString())));
    setState(Aborted);
}

void SerialWorker::ymodemSendPacket(const unsigned char *data, unsigned short size)
{
    const auto drainMs = int(m_timeouts.writeDrain.count());
    const char *bytes = reinterpret_cast<const char *>(data);
    qint64 offset = 0;
    QElapsedTimer stalled;
    stalled.start();
    while (offset < size) {
        // Never hand bytes to a port that was closed or destroyed meanwhile.
        if (!portUsable())
            return;
        const qint64 written = m_port->write(bytes + offset, size - offset);
        if (written < 0) {
            reportWriteFailure();
            return;
        }
        if (written > 0) {
            offset += written;
            stalled.restart();
            continue;
        }
        // Nothing taken: a port that takes nothing for the whole drain time is as good as failed.
        if (stalled.elapsed() >= drainMs) {
            reportWriteFailure();
            return;
        }
        m_port->waitForBytesWritten(kWriteRetryPauseMs);
        QThread::msleep(kWriteRetryPauseMs);
    }
    // The outcome is ignored: a block still queued after the drain time counts as sent.
    if (portUsable())
        m_port->waitForBytesWritten(drainMs);
}

void SerialWorker::sendBlockWithCheck(const unsigned char *buffer, int fieldSize, bool useChecksum)
{
    ymodemSendPacket(buffer, static_cast<unsigned short>(Ymodem::kHeaderSize + fieldSize));
    const unsigned char *field = buffer + Ymodem::kHeaderSize;
    if (useChecksum) {
        const unsigned char sum = calcChecksum(field, static_cast<unsigned int>(fieldSize));
        ymodemSendPacket(&sum, 1);
        return;
    }
    const unsigned short crc = calcCRC16(field, static_cast<unsigned int>(fieldSize));
    const unsigned char high = static_cast<unsigned char>(crc >> 8);
    const unsigned char low = static_cast<unsigned char>(crc & 0xFF);
    ymodemSendPacket(&high, 1);
    ymodemSendPacket(&low, 1);
}

void SerialWorker::sendCancelSequence()
{
    m_cancelDue = false;
    if (!portUsable() || !m_failureReason.isEmpty())
        return;
    const QByteArray cancel(kCancelCount, char(Ymodem::kCan));
    QElapsedTimer clock;
    clock.start();
    const auto limitMs = qint64(m_timeouts.cancelDrain.count());
    if (m_port->write(cancel) != cancel.size() || !m_port->waitForBytesWritten(int(limitMs)))
        return;
#if defined(Q_OS_UNIX) && defined(TIOCOUTQ)
    // Handed to the system is not yet sent: a port closed right after the report (fwflash) could
    // lose the bytes still queued, or send them at the settings it restores. Wait until the
    // queue is empty, within the same limit.
    int queued = 0;
    while (clock.elapsed() < limitMs && ::ioctl(int(m_port->handle()), TIOCOUTQ, &queued) == 0 &&
           queued > 0)
        QThread::msleep(kDrainPollMs);
#endif
}
