// The YMODEM packet layer against the protocol's own figures and an independent receiver: the
// CRC table and CRC-16, the checksum, header, data and end-of-batch blocks.

#include "device/serialworker.h"
#include "device/ymodem.h"
#include "workertestaccess.h"
#include "ymodemreceiver.h"

#include <QtTest>

namespace {

using Bytes = QByteArray;
const Bytes kBlockZero("\x01\x00\xFF", 3);

const unsigned char *u(const Bytes &bytes)
{
    return reinterpret_cast<const unsigned char *>(bytes.constData());
}
unsigned char *u(Bytes &bytes)
{
    return reinterpret_cast<unsigned char *>(bytes.data());
}

// The header block as the worker builds it (131 bytes, no check).
Bytes headerBlock(const Bytes &name, int size)
{
    Bytes buffer(Ymodem::kBlockBufferSize, '\x55');
    SerialWorker().ymodemPrepareInitialPacket(u(buffer), u(name), &size);
    return buffer.left(131);
}

Bytes endOfBatchBlock()
{
    Bytes buffer(131, '\x55');
    Ymodem::buildEndOfBatchBlock(u(buffer));
    return buffer;
}

// A block with its CRC, high byte first, as it goes on the wire.
Bytes withCrc(const Bytes &block)
{
    const quint16 crc = SerialWorker().calcCRC16(u(block) + 3, unsigned(block.size() - 3));
    return block + char(crc >> 8) + char(crc & 0xFF);
}

// Every data block of an image, in order, as the transfer steps through it.
QList<Bytes> dataBlocks(const Bytes &image)
{
    QList<Bytes> blocks;
    quint16 counter = 1;
    for (int at = 0; at < image.size(); counter = Ymodem::nextBlockCounter(counter)) {
        Bytes buffer(Ymodem::kBlockBufferSize, '\x55');
        const int field = Ymodem::buildDataBlock(u(buffer), u(image) + at, quint8(counter),
                                                 unsigned(image.size() - at));
        blocks << buffer.left(3 + field);
        at += field;
    }
    return blocks;
}

} // namespace

class TestYmodemPacket : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void crcOfTheCheckStringIs0x31C3();
    void headerForAppBinOf2500BytesMatchesTheWorkedExample();
    void headerNamesAreCutAt111Bytes_data();
    void headerNamesAreCutAt111Bytes();
    void endOfBatchBlockChecksAreZero();
    void imagesSplitIntoLongBlocksThenShortOnes_data();
    void imagesSplitIntoLongBlocksThenShortOnes();
    void block256IsNumbered0x00();
    // The fake receiver the transfer tests rely on must catch a faulty sender.
    void receiverRefusesFaultyBlocks_data();
    void receiverRefusesFaultyBlocks();
};

void TestYmodemPacket::crcOfTheCheckStringIs0x31C3()
{
    SerialWorker worker;
    QCOMPARE(worker.calcCRC16(u(Bytes("123456789")), 9), quint16(0x31C3));
    // The table-driven CRC agrees with a bit-by-bit one over every byte value.
    Bytes all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    QCOMPARE(worker.calcCRC16(u(all), 256), YmodemReceiver::crc16(all));
}

void TestYmodemPacket::headerForAppBinOf2500BytesMatchesTheWorkedExample()
{
    const Bytes block = headerBlock("app.bin", 2500);
    QCOMPARE(block, kBlockZero + "app.bin" + '\0' + "2500" + Bytes(116, '\0'));
    QCOMPARE(withCrc(block).right(2), Bytes("\x9D\x54"));
    QCOMPARE(int(SerialWorker().calcChecksum(u(block) + 3, 128)), 0x6F);
}

void TestYmodemPacket::headerNamesAreCutAt111Bytes_data()
{
    QTest::addColumn<Bytes>("name");
    QTest::addColumn<Bytes>("sent");
    const Bytes n111(111, 'n');
    QTest::newRow("a name of 111 bytes is copied whole") << n111 << n111;
    QTest::newRow("a name of 112 bytes loses its last byte") << n111 + 'x' << n111;
    const Bytes split = Bytes(110, 'a') + QStringLiteral("é").toUtf8();
    QTest::newRow("the cut may split a two-byte character") << split << split.left(111);
}

void TestYmodemPacket::headerNamesAreCutAt111Bytes()
{
    QFETCH(Bytes, name);
    QFETCH(Bytes, sent);
    const Bytes header = headerBlock(name, 236544);
    QCOMPARE(header.mid(3, sent.size() + 8), sent + '\0' + "236544" + '\0');
    // The receiver, which checks the rest of the field, accepts exactly that header.
    YmodemReceiver receiver;
    QCOMPARE(receiver.feed(withCrc(header)), Bytes("\x06"));
    QCOMPARE(receiver.fileName(), sent);
}

void TestYmodemPacket::endOfBatchBlockChecksAreZero()
{
    const Bytes block = withCrc(endOfBatchBlock());
    QCOMPARE(block, kBlockZero + Bytes(130, '\0'));
}

void TestYmodemPacket::imagesSplitIntoLongBlocksThenShortOnes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("fields");
    QTest::addColumn<int>("lastPadding");
    QTest::newRow("1023 bytes are eight short blocks, the last with one pad byte")
        << 1023 << QList<int>(8, 128) << 1;
    QTest::newRow("1025 bytes are a long block and a short one with 127 pad bytes")
        << 1025 << QList<int>{1024, 128} << 127;
    QTest::newRow("2500 bytes are two long blocks and four short ones, 60 pad bytes")
        << 2500 << QList<int>{1024, 1024, 128, 128, 128, 128} << 60;
}

void TestYmodemPacket::imagesSplitIntoLongBlocksThenShortOnes()
{
    QFETCH(int, size);
    QFETCH(QList<int>, fields);
    QFETCH(int, lastPadding);
    const Bytes image = testImage(size);
    const QList<Bytes> blocks = dataBlocks(image);
    QList<int> sizes;
    for (const Bytes &block : blocks) {
        sizes << int(block.size() - 3);
        QCOMPARE(quint8(block.at(0)), block.size() == 1027 ? Ymodem::kStx : Ymodem::kSoh);
    }
    QCOMPARE(sizes, fields);
    QCOMPARE(blocks.last().right(lastPadding + 1), image.right(1) + Bytes(lastPadding, '\x1A'));

    // An independent receiver takes the whole batch and gets the image back.
    Bytes wire = withCrc(headerBlock("split.bin", size));
    for (const Bytes &block : blocks)
        wire += withCrc(block);
    YmodemReceiver receiver;
    const Bytes replies = receiver.feed(wire + '\x04' + withCrc(endOfBatchBlock()));
    QVERIFY2(receiver.finished() && !receiver.failed(), qPrintable(receiver.error()));
    QCOMPARE(replies, Bytes(blocks.size() + 3, '\x06'));
    QCOMPARE(receiver.fileData(), image);
}

void TestYmodemPacket::block256IsNumbered0x00()
{
    const QList<Bytes> blocks = dataBlocks(Bytes(256 * 1024, 'x'));
    QCOMPARE(blocks.at(254).left(3), Bytes("\x02\xFF\x00", 3));
    QCOMPARE(blocks.at(255).left(3), Bytes("\x02\x00\xFF", 3));
    // The 16-bit counter wraps to 1, never to 0.
    QCOMPARE(Ymodem::nextBlockCounter(0xFFFF), quint16(1));
}

void TestYmodemPacket::receiverRefusesFaultyBlocks_data()
{
    QTest::addColumn<Bytes>("wire");
    QTest::addColumn<Bytes>("lastReply");
    QTest::addColumn<QString>("complaint");
    const Bytes header100 = withCrc(headerBlock("a.bin", 100));
    const Bytes nak("\x15");
    const Bytes can("\x18\x18");

    Bytes flipped = header100;
    flipped[40] = char(flipped[40] ^ 0x01);
    QTest::newRow("a block whose CRC does not match is NAK-ed") << flipped << nak << "CRC";
    Bytes complement = header100;
    complement[2] = char(0xFE);
    QTest::newRow("a wrong complement is NAK-ed") << complement << nak << "complement";
    QTest::newRow("a skipped data block is refused")
        << header100 + withCrc(dataBlocks(Bytes(2048, 'x')).at(1)) << can << "expected 0x01";
    Bytes zeroPadded = dataBlocks(testImage(100)).first();
    zeroPadded.replace(3 + 100, 28, Bytes(28, '\0'));
    QTest::newRow("padding other than 0x1A is refused")
        << header100 + withCrc(zeroPadded) << can << "padding";
    QTest::newRow("EOT before all data is refused")
        << withCrc(headerBlock("a.bin", 300)) + withCrc(dataBlocks(testImage(100)).first()) + '\x04'
        << can << "EOT after 128 of 300";
}

void TestYmodemPacket::receiverRefusesFaultyBlocks()
{
    QFETCH(Bytes, wire);
    QFETCH(Bytes, lastReply);
    QFETCH(QString, complaint);
    YmodemReceiver receiver;
    // Fed in small chunks, as a serial line delivers them.
    Bytes replies;
    for (int at = 0; at < wire.size(); at += 7)
        replies += receiver.feed(wire.mid(at, 7));
    QVERIFY(replies.endsWith(lastReply));
    QVERIFY2(receiver.failed() && receiver.error().contains(complaint),
             qPrintable(receiver.error()));
}

QTEST_APPLESS_MAIN(TestYmodemPacket)
#include "tst_ymodem_packet.moc"
