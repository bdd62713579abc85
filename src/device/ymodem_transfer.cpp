#include "device/serialworker.h"
#include "device/ymodem.h"

#include <QElapsedTimer>

namespace {

// Attempts per block before the transfer gives up with code 5.
constexpr unsigned int kMaxAttempts = 5;
constexpr unsigned char kRetriesExhausted = 5;
// takeReply: the buffer held nothing the sender waits for.
constexpr int kNoUsefulReply = 1;

// The code of a transfer that stops early: the failed attempts of the block at hand, at least 1.
unsigned char earlyStopCode(unsigned int failedAttempts)
{
    return static_cast<unsigned char>(failedAttempts < 1 ? 1 : failedAttempts);
}

} // namespace

bool SerialWorker::transferInterrupted() const
{
    // A port closed or destroyed under the transfer ends it like a change of state.
    return m_state != Transferring || m_abortRequested || !portUsable();
}

unsigned char SerialWorker::transmitBlock(const OutgoingBlock &block, bool useChecksum,
                                          unsigned int *failedAttempts)
{
    unsigned int failed = 0;
    // Copies whose reply wait ran out: each may still draw its reply.
    int unanswered = 0;
    for (;;) {
        if (!portUsable())
            return earlyStopCode(failed);
        if (block.fieldSize == 0)
            ymodemSendPacket(block.bytes, 1);
        else
            sendBlockWithCheck(block.bytes, block.fieldSize, useChecksum);

        if (m_debugMode)
            sendDebug(tr("已发送%1（%2 字节）")
                          .arg(block.name)
                          .arg(block.fieldSize == 0
                                   ? 1
                                   : Ymodem::kHeaderSize + block.fieldSize + (useChecksum ? 1 : 2)));

        unsigned char reply = 0;
        const bool answered = receiveByte(&reply, unsigned(block.replyTimeout.count())) == 0;
        if (m_debugMode) {
            // The protocol trace an engineer asks for first when a board fails.
            sendDebug(answered            ? tr("%1：%2").arg(block.name,
                                                             reply == Ymodem::kAck ? QStringLiteral("ACK")
                                                                                    : QStringLiteral("NAK"))
                      : m_deviceCancelled ? tr("%1：CAN（设备中止传输）").arg(block.name)
                                          : tr("%1：%2 毫秒内无应答")
                                                .arg(block.name)
                                                .arg(block.replyTimeout.count()));
        }
        const bool resync =
            answered && reply == Ymodem::kNak && !block.resyncMessage.isEmpty() && !m_resyncUsed;
        if (answered && (reply == Ymodem::kAck || resync)) {
            if (resync) {
                // The first NAK of an update means the device already holds this block.
                m_resyncUsed = true;
                sendInfo(block.resyncMessage);
            }
            // Replies that came in with this one answered other copies already.
            if (reply == Ymodem::kAck)
                unanswered -= int(m_lastResponse.count(char(Ymodem::kAck)) +
                                  m_lastResponse.count(char(Ymodem::kNak))) -
                              1;
            if (unanswered > 0 && block.moreToFollow)
                absorbExtraReplies(unanswered);
            *failedAttempts = failed;
            return 0;
        }
        if (!answered)
            ++unanswered;
        if (failed + 1 >= kMaxAttempts) {
            sendWarning(tr("设备连续 %1 次未确认%2").arg(kMaxAttempts).arg(block.name));
            return kRetriesExhausted;
        }
        ++failed;
        if (transferInterrupted())
            return earlyStopCode(failed);
        sendWarning(tr("%1未确认，正在重发（第 %2/%3 次）")
                        .arg(block.name)
                        .arg(failed + 1)
                        .arg(kMaxAttempts));
    }
}

void SerialWorker::absorbExtraReplies(int extra)
{
    // The device answers every copy it gets: a block answered late (past its reply time) and
    // sent again draws a second ACK, which must not be taken as the reply to the next block.
    // Rather than count on every such reply coming (a copy lost on the line never draws one,
    // and a count that waits for it would eat the next block's own ACK, block after block),
    // the next block waits until the replies of the other copies are in or the line has been
    // quiet for a while.
    QElapsedTimer quiet;
    quiet.start();
    while (extra > 0 && quiet.elapsed() < m_timeouts.extraReplyQuiet.count() &&
           !transferInterrupted()) {
        if (m_rxBuffer.isEmpty()) {
            pollEvents(1);
            continue;
        }
        const int replies =
            int(m_rxBuffer.count(char(Ymodem::kAck)) + m_rxBuffer.count(char(Ymodem::kNak)));
        unsigned char ignored = 0;
        if (replies == 0 && m_rxBuffer.contains(char(Ymodem::kCan))) {
            takeReply(&ignored); // the device's cancel
            return;
        }
        m_rxBuffer.clear();
        if (replies > 0) {
            extra -= replies;
            quiet.restart();
            sendDebug(tr("已丢弃重发副本的应答"));
        }
    }
}

unsigned char SerialWorker::startYmodemTransfer(unsigned char *data, const unsigned char *fileName,
                                                int size)
{
    // The mode is read once: a change during the transfer applies from the next one.
    const bool useChecksum = m_useChecksum;
    unsigned char buffer[Ymodem::kBlockBufferSize];
    unsigned int failed = 0;

    int announcedSize = size;
    ymodemPrepareInitialPacket(buffer, fileName, &announcedSize);
    unsigned char code = transmitBlock({buffer, Ymodem::kShortField, m_timeouts.blockReply,
                                        tr("首包"), tr("设备已持有首包，正在重新同步。")},
                                       useChecksum, &failed);
    if (code != 0)
        return code;
    if (transferInterrupted())
        return earlyStopCode(failed);

    if (size > 0) {
        quint16 counter = 1;
        auto remaining = static_cast<unsigned int>(size);
        const unsigned char *position = data;
        Ymodem::ProgressCounter delivered;
        while (remaining > 0) {
            const int field = Ymodem::fieldSizeFor(remaining);
            ymodemPreparePacket(position, buffer, static_cast<unsigned char>(counter & 0xFF),
                                remaining);
            code = transmitBlock({buffer, field, m_timeouts.dataBlockReply,
                                  tr("第 %1 块").arg(counter),
                                  tr("设备已持有第 %1 块，正在重新同步。").arg(counter)},
                                 useChecksum, &failed);
            if (code != 0)
                return code;
            if (remaining > unsigned(field)) {
                remaining -= unsigned(field);
                counter = Ymodem::nextBlockCounter(counter);
            } else {
                remaining = 0;
            }
            if (delivered.add(field))
                Q_EMIT progress(delivered.sent(), size);
            if (transferInterrupted())
                return earlyStopCode(failed);
            position += field;
        }
        if (delivered.finalReportDue())
            Q_EMIT progress(size, size);
    }

    const unsigned char eot = Ymodem::kEot;
    code = transmitBlock({&eot, 0, m_timeouts.blockReply, tr("结束符（EOT）"), QString()},
                         useChecksum, &failed);
    if (code != 0)
        return code;
    if (transferInterrupted())
        return earlyStopCode(failed);

    Ymodem::buildEndOfBatchBlock(buffer);
    // Nothing follows the end-of-batch block but the device's report.
    code = transmitBlock(
        {buffer, Ymodem::kShortField, m_timeouts.blockReply, tr("结束包"), QString(), false},
        useChecksum, &failed);
    if (code != 0)
        return code;

    // The image is delivered: an abort or a lost port from here on only ends the report wait.
    m_imageDelivered = true;
    sendDebug(tr("结束块已确认，等待设备的完成报告"));
    confirmDeviceCompletion(size);
    return 0;
}

int SerialWorker::takeReply(unsigned char *out)
{
    if (m_rxBuffer.contains(char(Ymodem::kAck))) {
        m_lastResponse = m_rxBuffer;
        m_rxBuffer.clear();
        *out = Ymodem::kAck;
        return 0;
    }
    if (m_rxBuffer.contains(char(Ymodem::kCan))) {
        m_deviceCancelled = true;
        m_rxBuffer.clear();
        setState(Aborted);
        return -1;
    }
    if (m_rxBuffer.contains(char(Ymodem::kNak))) {
        m_rxBuffer.clear();
        *out = Ymodem::kNak;
        return 0;
    }
    // 'C' requests and any other text are dropped.
    m_rxBuffer.clear();
    return kNoUsefulReply;
}

int SerialWorker::receiveByte(unsigned char *out, unsigned int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < qint64(timeoutMs)) {
        if (m_abortRequested)
            return -1;
        if (!m_rxBuffer.isEmpty()) {
            const int verdict = takeReply(out);
            if (verdict != kNoUsefulReply)
                return verdict;
        }
        // After a port error, a write error or the loss of the port no reply can count any more.
        if (m_state != Transferring || !portUsable())
            return -1;
        pollEvents(1);
    }
    // An ACK that came in with the last poll still counts.
    if (m_rxBuffer.contains(char(Ymodem::kAck)))
        return takeReply(out);
    return -1;
}

void SerialWorker::runBlockingYmodemTransfer()
{
    const QByteArray name = m_fileName; // QByteArray keeps a terminating zero behind the bytes
    const unsigned char code = startYmodemTransfer(
        reinterpret_cast<unsigned char *>(m_firmware.data()),
        reinterpret_cast<const unsigned char *>(name.constData()), int(m_firmware.size()));

    clearPortBuffers(QSerialPort::AllDirections);
    m_rxBuffer.clear();
    m_lastResponse.clear();
    if (m_cancelDue)
        sendCancelSequence();

    // Code 0 means the end-of-batch block was acknowledged: a success, whatever came after.
    QString reason = code == 0 ? QString() : updateFailureReason();
    if (reason.isEmpty() && code != 0)
        reason = tr("传输错误（错误码：%1）").arg(int(code));
    if (reason.isEmpty())
        Q_EMIT updateSuccess();
    else
        Q_EMIT updateFailed(reason);
    m_imageDelivered = false;
    if (!m_heldPortError.isEmpty()) {
        Q_EMIT errorOccurred(m_heldPortError);
        m_heldPortError.clear();
    }

    // A port that was released or lost meanwhile has already been reported.
    if (m_state == PortClosed)
        return;
    setState(Idle);
    if (!m_failureReason.isEmpty() || !portUsable())
        handlePortLoss();
}
