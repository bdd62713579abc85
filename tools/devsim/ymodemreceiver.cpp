#include "ymodemreceiver.h"

namespace {

constexpr quint8 kSoh = 0x01;
constexpr quint8 kStx = 0x02;
constexpr quint8 kEotByte = 0x04;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr char kCan = 0x18;
constexpr char kCrcRequest = 'C';
constexpr char kPad = 0x1A;
constexpr int kNameMax = 111;
// More complaints than this say nothing new and only cost memory.
constexpr int kMaxErrors = 64;

bool allBytesAre(const QByteArray &bytes, char value)
{
    for (char c : bytes) {
        if (c != value)
            return false;
    }
    return true;
}

QString hexByte(int value)
{
    return QStringLiteral("0x%1").arg(value & 0xFF, 2, 16, QLatin1Char('0'));
}

} // namespace

YmodemReceiver::YmodemReceiver() : YmodemReceiver(Faults{}) {}

YmodemReceiver::YmodemReceiver(Faults faults) : m_faults(std::move(faults))
{
    if (m_faults.nakBlockOnce != -1)
        m_nakTargets.append(m_faults.nakBlockOnce);
    if (m_faults.nakFirstEot)
        m_nakTargets.append(kEot);
    m_nakTargets.append(m_faults.moreNakBlocks);
}

quint16 YmodemReceiver::crc16(const QByteArray &data)
{
    quint16 crc = 0;
    for (char c : data) {
        crc ^= quint16(quint8(c)) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

QByteArray YmodemReceiver::fileData() const
{
    return m_declaredSize < 0 ? QByteArray() : m_data.left(m_declaredSize);
}

int YmodemReceiver::arrivals(int target) const
{
    int count = 0;
    for (const Block &block : m_blocks) {
        if (block.target == target)
            ++count;
    }
    return count;
}

void YmodemReceiver::addError(const QString &text)
{
    if (m_errors.size() < kMaxErrors)
        m_errors.append(text);
}

QByteArray YmodemReceiver::cancel(const QString &why)
{
    addError(why);
    m_phase = Phase::Cancelled;
    return QByteArray(2, kCan);
}

QByteArray YmodemReceiver::feed(const QByteArray &bytes)
{
    QByteArray reply;
    if (m_phase == Phase::Cancelled)
        return reply;
    m_pending.append(bytes);
    while (!m_pending.isEmpty() && m_phase != Phase::Cancelled) {
        const quint8 first = quint8(m_pending.at(0));
        if (first == kEotByte) {
            m_pending.remove(0, 1);
            reply += onEot();
            continue;
        }
        if (first == quint8(kCan)) {
            // The sender's cancel: two CAN in a row between blocks.
            if (m_faults.ignoreCancel) {
                m_cancelIgnored = true;
                m_pending.remove(0, 1);
                continue;
            }
            if (m_pending.size() < 2)
                break;
            if (m_pending.at(1) == kCan) {
                m_senderCancelled = true;
                m_phase = Phase::Cancelled;
                break;
            }
        }
        if (first == kSoh || first == kStx) {
            const int total = 3 + (first == kSoh ? 128 : 1024) + checkSize();
            if (m_pending.size() < total)
                break;
            const QByteArray block = m_pending.left(total);
            m_pending.remove(0, total);
            reply += onBlock(block);
            continue;
        }
        addError(QStringLiteral("stray byte %1 outside a block").arg(hexByte(first)));
        m_pending.remove(0, 1);
    }
    if (m_phase == Phase::Cancelled)
        m_pending.clear();
    return reply;
}

bool YmodemReceiver::applyFaults(int target, QByteArray *reply)
{
    if (target == m_faults.silentAtBlock &&
        (m_faults.silentAttempts < 0 || m_silentCount < m_faults.silentAttempts)) {
        ++m_silentCount;
        reply->clear();
        return false;
    }
    if (target == m_faults.cancelAtBlock) {
        *reply = QByteArray(2, kCan);
        m_phase = Phase::Cancelled;
        return false;
    }
    if (m_nakTargets.removeOne(target)) {
        *reply = QByteArray(1, kNak);
        return target >= 0; // header and data blocks are held all the same
    }
    if (target == m_faults.ackAndCanAtBlock) {
        *reply = QByteArray{} + kAck + kCan;
        return true;
    }
    *reply = QByteArray(1, kAck);
    return true;
}

QByteArray YmodemReceiver::onEot()
{
    Block record;
    record.target = kEot;
    record.startByte = kEotByte;
    QByteArray reply;
    switch (m_phase) {
    case Phase::Header:
        reply = cancel(QStringLiteral("EOT before the header block"));
        break;
    case Phase::Data:
        if (m_data.size() < m_declaredSize) {
            reply = cancel(
                QStringLiteral("EOT after %1 of %2 bytes").arg(m_data.size()).arg(m_declaredSize));
            break;
        }
        if (applyFaults(kEot, &reply)) {
            m_phase = Phase::EndOfBatch;
            if (m_faults.requestAfterAck && reply.startsWith(kAck))
                reply += kCrcRequest;
        }
        break;
    case Phase::EndOfBatch:
        // The sender missed the ACK and repeats EOT.
        record.duplicate = true;
        reply = QByteArray(1, kAck);
        break;
    case Phase::Done:
    case Phase::Cancelled:
        addError(QStringLiteral("EOT after the end of the batch"));
        break;
    }
    record.reply = reply;
    m_blocks.append(record);
    return reply;
}

QByteArray YmodemReceiver::onBlock(const QByteArray &block)
{
    Block record;
    record.startByte = quint8(block.at(0));
    record.fieldSize = record.startByte == kSoh ? 128 : 1024;
    record.checkSize = checkSize();
    record.wireNumber = quint8(block.at(1));
    const QByteArray field = block.mid(3, record.fieldSize);
    const QByteArray check = block.mid(3 + record.fieldSize);

    const quint8 complement = quint8(block.at(2));
    if (quint8(record.wireNumber + complement) != 0xFF) {
        record.intact = false;
        addError(QStringLiteral("block number %1 with complement %2")
                     .arg(hexByte(record.wireNumber), hexByte(complement)));
    }
    if (m_faults.checksumMode) {
        quint8 sum = 0;
        for (char c : field)
            sum = quint8(sum + quint8(c));
        if (quint8(check.at(0)) != sum) {
            record.intact = false;
            addError(
                QStringLiteral("block %1: checksum %2, expected %3")
                    .arg(hexByte(record.wireNumber), hexByte(quint8(check.at(0))), hexByte(sum)));
        }
    } else {
        const quint16 sent = quint16(quint8(check.at(0)) << 8 | quint8(check.at(1)));
        const quint16 expected = crc16(field);
        if (sent != expected) {
            record.intact = false;
            addError(QStringLiteral("block %1: CRC 0x%2, expected 0x%3")
                         .arg(hexByte(record.wireNumber))
                         .arg(sent, 4, 16, QLatin1Char('0'))
                         .arg(expected, 4, 16, QLatin1Char('0')));
        }
    }

    QByteArray reply;
    if (!record.intact) {
        reply = QByteArray(1, kNak);
    } else {
        const bool endOfBatch =
            record.startByte == kSoh && record.wireNumber == 0 && allBytesAre(field, '\0');
        const bool repeat = record.wireNumber == m_lastWire && field == m_lastField;
        switch (m_phase) {
        case Phase::Header:
            record.target = 0;
            reply = onHeader(record, field);
            break;
        case Phase::Data:
            reply = onData(record, field);
            break;
        case Phase::EndOfBatch:
            if (endOfBatch) {
                record.target = kEndOfBatch;
                reply = onEndOfBatch();
            } else if (repeat) {
                record.target = m_counter == 1 ? 0 : m_counter - 1;
                record.duplicate = true;
                reply = QByteArray(1, kAck);
            } else {
                reply = cancel(QStringLiteral("block %1 after EOT is not the end-of-batch block")
                                   .arg(hexByte(record.wireNumber)));
            }
            break;
        case Phase::Done:
            if (endOfBatch) {
                record.target = kEndOfBatch;
                record.duplicate = true;
                reply = QByteArray(1, kAck);
            } else {
                addError(QStringLiteral("block %1 after the end of the batch")
                             .arg(hexByte(record.wireNumber)));
            }
            break;
        case Phase::Cancelled:
            break;
        }
    }
    record.reply = reply;
    m_blocks.append(record);
    return reply;
}

QByteArray YmodemReceiver::onHeader(Block &record, const QByteArray &field)
{
    if (record.wireNumber != 0) {
        return cancel(QStringLiteral("first block numbered %1, expected the header block 0x00")
                          .arg(hexByte(record.wireNumber)));
    }
    if (record.startByte != kSoh)
        return cancel(QStringLiteral("header block in a 1024-byte field"));
    if (allBytesAre(field, '\0'))
        return cancel(QStringLiteral("end-of-batch block where the file's header was expected"));

    const int nameEnd = int(field.indexOf('\0'));
    if (nameEnd < 0)
        return cancel(QStringLiteral("header: file name not terminated"));
    if (nameEnd > kNameMax)
        return cancel(QStringLiteral("header: file name of %1 bytes, more than %2")
                          .arg(nameEnd)
                          .arg(kNameMax));
    const int digitsEnd = int(field.indexOf('\0', nameEnd + 1));
    if (digitsEnd < 0)
        return cancel(QStringLiteral("header: size not terminated"));
    const QByteArray digits = field.mid(nameEnd + 1, digitsEnd - nameEnd - 1);
    bool digitsOnly = !digits.isEmpty() && digits.size() <= 10;
    for (char c : digits)
        digitsOnly = digitsOnly && c >= '0' && c <= '9';
    if (!digitsOnly)
        return cancel(QStringLiteral("header: size \"%1\" is not plain decimal digits")
                          .arg(QString::fromLatin1(digits.toHex(' '))));
    if (digits.size() > 1 && digits.startsWith('0'))
        return cancel(QStringLiteral("header: size \"%1\" has a leading zero")
                          .arg(QString::fromLatin1(digits)));
    if (!allBytesAre(field.mid(digitsEnd), '\0'))
        return cancel(QStringLiteral("header: bytes other than 0x00 after the size"));

    QByteArray reply;
    if (applyFaults(0, &reply)) {
        m_headerField = field;
        m_fileName = field.left(nameEnd);
        m_declaredSize = digits.toLongLong();
        m_phase = Phase::Data;
        m_lastWire = 0;
        m_lastField = field;
        if (m_faults.requestAfterAck && reply.startsWith(kAck))
            reply += kCrcRequest;
    }
    return reply;
}

QByteArray YmodemReceiver::onData(Block &record, const QByteArray &field)
{
    if (record.wireNumber == m_lastWire && field == m_lastField) {
        record.target = m_counter == 1 ? 0 : m_counter - 1;
        record.duplicate = true;
        return QByteArray(1, kAck);
    }
    const int expectedWire = m_counter & 0xFF;
    if (record.wireNumber != expectedWire) {
        return cancel(QStringLiteral("data block numbered %1, expected %2 (block %3)")
                          .arg(hexByte(record.wireNumber), hexByte(expectedWire))
                          .arg(m_counter));
    }
    record.target = m_counter;
    const qint64 remaining = m_declaredSize - m_data.size();
    if (remaining <= 0) {
        return cancel(
            QStringLiteral("data block %1 after all %2 bytes").arg(m_counter).arg(m_declaredSize));
    }
    const int expectedField = remaining >= 1024 ? 1024 : 128;
    if (record.fieldSize != expectedField) {
        record.intact = false;
        return cancel(QStringLiteral("block %1 has a %2-byte field with %3 bytes left")
                          .arg(m_counter)
                          .arg(record.fieldSize)
                          .arg(remaining));
    }
    if (remaining < record.fieldSize && !allBytesAre(field.mid(int(remaining)), kPad)) {
        record.intact = false;
        return cancel(QStringLiteral("block %1: padding after byte %2 is not all 0x1A")
                          .arg(m_counter)
                          .arg(remaining));
    }

    QByteArray reply;
    if (applyFaults(m_counter, &reply)) {
        m_data.append(field);
        m_lastWire = record.wireNumber;
        m_lastField = field;
        m_counter = m_counter == 0xFFFF ? 1 : quint16(m_counter + 1);
    }
    return reply;
}

QByteArray YmodemReceiver::onEndOfBatch()
{
    QByteArray reply;
    if (applyFaults(kEndOfBatch, &reply)) {
        m_phase = Phase::Done;
        if (reply.startsWith(kAck))
            reply += m_faults.completionText;
    }
    return reply;
}
