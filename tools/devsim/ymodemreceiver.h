#pragma once

// YMODEM receiver state machine for tests: fed the sender's bytes in any chunking, it checks
// every block as strictly as the bootloader needs (start byte, number and complement, CRC-16 or
// checksum, field size, 0x1A padding, header layout, end-of-batch block), answers ACK, NAK or CAN
// and can play scripted faults. No widgets, no I/O.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class YmodemReceiver
{
public:
    // Fault targets: 0 = the header block, 1.. = data blocks by their 16-bit counter (256 is the
    // block numbered 0x00 on the wire), kEot = the EOT byte, kEndOfBatch = the empty header block
    // that ends the batch.
    static constexpr int kEot = -2;
    static constexpr int kEndOfBatch = -3;

    struct Faults
    {
        // NAK the first arrival of this block. A NAK-ed header or data block is kept all the same
        // (a device that already holds it), so a sender that resynchronises goes on correctly and
        // one that repeats the block is answered as for a duplicate. A NAK-ed EOT or end-of-batch
        // block is not taken.
        int nakBlockOnce = -1;
        // Say nothing at all to this block and drop it, silentAttempts times (-1: every time).
        int silentAtBlock = -1;
        int silentAttempts = -1;
        // Answer this block with CAN CAN and stop listening.
        int cancelAtBlock = -1;
        // Take this block but answer ACK and CAN in one reply.
        int ackAndCanAtBlock = -1;
        // NAK the first EOT, ACK the repeat (same as nakBlockOnce = kEot).
        bool nakFirstEot = false;
        // Sent right after the final ACK, in the same reply.
        QByteArray completionText;

        // More blocks to NAK once each, with the rules of nakBlockOnce.
        QList<int> moreNakBlocks;
        // Follow the ACK of the header and of EOT with a 'C', as a textbook receiver does.
        bool requestAfterAck = false;
        // Not a fault: the receiver expects one-byte checksums instead of CRC-16.
        bool checksumMode = false;
        // Take no notice of the sender's cancel: CAN bytes between blocks are dropped.
        bool ignoreCancel = false;
    };

    // One block (or EOT) as it arrived.
    struct Block
    {
        int target = -1;      // 0 header, 1.. data counter, kEot, kEndOfBatch; -1 not placeable
        quint8 startByte = 0; // 0x01 SOH, 0x02 STX or 0x04 EOT
        int wireNumber = -1;  // block number byte; -1 for EOT
        int fieldSize = 0;    // 128 or 1024; 0 for EOT
        int checkSize = 0;    // 2 for CRC-16, 1 for checksum; 0 for EOT
        bool intact = true;   // number, complement, check and layout were right
        bool duplicate = false;
        QByteArray reply; // what the receiver answered
    };

    YmodemReceiver();
    explicit YmodemReceiver(Faults faults);

    // The sender's bytes, in any chunking. Returns the bytes to answer with.
    QByteArray feed(const QByteArray &bytes);

    // The end-of-batch block was acknowledged.
    bool finished() const { return m_phase == Phase::Done; }
    // The transfer was cancelled: by the receiver (CAN, scripted or for a sequence error) or by
    // the sender (two CAN between blocks).
    bool cancelled() const { return m_phase == Phase::Cancelled; }
    bool cancelledBySender() const { return m_senderCancelled; }
    // The sender's CAN came and was ignored (Faults::ignoreCancel).
    bool cancelIgnored() const { return m_cancelIgnored; }
    // The sender broke the protocol at least once; error() is the first complaint.
    bool failed() const { return !m_errors.isEmpty(); }
    QString error() const { return m_errors.value(0); }
    QStringList errors() const { return m_errors; }

    QByteArray fileName() const { return m_fileName; }
    qint64 declaredSize() const { return m_declaredSize; }
    // The data received, cut to the declared size.
    QByteArray fileData() const;
    // The header block's 128-byte field as last received (empty before the header).
    QByteArray headerField() const { return m_headerField; }

    QList<Block> blocks() const { return m_blocks; }
    // How often this target arrived (duplicates and dropped arrivals included).
    int arrivals(int target) const;
    // Bytes waiting for the rest of their block.
    int pendingBytes() const { return int(m_pending.size()); }

    // CRC-16/XMODEM computed bit by bit, independent of any table. No widgets, no I/O.
    static quint16 crc16(const QByteArray &data);

private:
    enum class Phase { Header, Data, EndOfBatch, Done, Cancelled };

    QByteArray onEot();
    QByteArray onBlock(const QByteArray &block);
    QByteArray onHeader(Block &record, const QByteArray &field);
    QByteArray onData(Block &record, const QByteArray &field);
    QByteArray onEndOfBatch();
    // Applies silence, cancel, NAK and ACK+CAN faults; returns true when the block is taken.
    bool applyFaults(int target, QByteArray *reply);
    QByteArray cancel(const QString &why);
    void addError(const QString &text);
    int checkSize() const { return m_faults.checksumMode ? 1 : 2; }

    Faults m_faults;
    Phase m_phase = Phase::Header;
    QByteArray m_pending;
    QStringList m_errors;
    QList<Block> m_blocks;
    QList<int> m_nakTargets; // blocks still to be NAK-ed once
    int m_silentCount = 0;
    bool m_senderCancelled = false;
    bool m_cancelIgnored = false;

    QByteArray m_headerField;
    QByteArray m_fileName;
    qint64 m_declaredSize = -1;
    QByteArray m_data;
    quint16 m_counter = 1;  // counter of the next data block
    int m_lastWire = 0;     // wire number of the last block taken (0 after the header)
    QByteArray m_lastField; // field of the last block taken, to compare duplicates
};
