// The YMODEM packet layer: CRC table and CRC-16, checksum, decimal sizes, header, data and
// end-of-batch blocks, checked against the protocol's own figures and against an independent
// receiver.

#include "device/serialworker.h"
#include "device/ymodem.h"
#include "ymodemreceiver.h"

#include <QtTest>

namespace {

using Bytes = QByteArray;

const unsigned char *u(const QByteArray &bytes)
{
    return reinterpret_cast<const unsigned char *>(bytes.constData());
}

// The header block as the worker builds it (131 bytes, no check).
QByteArray headerBlock(const QByteArray &name, int size)
{
    SerialWorker worker;
    QByteArray buffer(Ymodem::kBlockBufferSize, '\x55');
    worker.ymodemPrepareInitialPacket(reinterpret_cast<unsigned char *>(buffer.data()), u(name),
                                      &size);
    return buffer.left(Ymodem::kHeaderSize + Ymodem::kShortField);
}

// A block with its CRC, as it goes on the wire.
QByteArray withCrc(const QByteArray &block)
{
    const QByteArray field = block.mid(Ymodem::kHeaderSize);
    const quint16 crc = SerialWorker().calcCRC16(u(field), unsigned(field.size()));
    return block + char(crc >> 8) + char(crc & 0xFF);
}

// Every data block of an image, in order, built the way the transfer steps through the image.
QList<QByteArray> dataBlocks(const QByteArray &image)
{
    QList<QByteArray> blocks;
    quint16 counter = 1;
    unsigned int remaining = unsigned(image.size());
    int position = 0;
    while (remaining > 0) {
        QByteArray buffer(Ymodem::kBlockBufferSize, '\x55');
        const int field = Ymodem::buildDataBlock(reinterpret_cast<unsigned char *>(buffer.data()),
                                                 u(image) + position, quint8(counter), remaining);
        blocks.append(buffer.left(Ymodem::kHeaderSize + field));
        remaining = remaining > unsigned(field) ? remaining - unsigned(field) : 0;
        counter = Ymodem::nextBlockCounter(counter);
        position += field;
    }
    return blocks;
}

QByteArray pattern(int size)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 7 + 3) & 0xFF);
    return image;
}

} // namespace

class TestYmodemPacket : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void crcTableHasThePublishedEntries_data();
    void crcTableHasThePublishedEntries();
    void crcOfTheCheckStringIs0x31C3();
    void checksumIsTheSumModulo256();
    void sizesAreWrittenAsPlainDecimal_data();
    void sizesAreWrittenAsPlainDecimal();

    void headerForAppBinOf2500BytesMatchesTheWorkedExample();
    void headerNamesAreCutAt111Bytes_data();
    void headerNamesAreCutAt111Bytes();
    void endOfBatchBlockChecksAreZero();

    void imagesSplitIntoLongBlocksThenShortOnes_data();
    void imagesSplitIntoLongBlocksThenShortOnes();
    void blockCounterWrapsToOneAndShowsItsLowByte();

    // The fake receiver the transfer tests rely on must catch a faulty sender.
    void receiverRefusesFaultyBlocks_data();
    void receiverRefusesFaultyBlocks();
};

void TestYmodemPacket::crcTableHasThePublishedEntries_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("entry");
    QTest::newRow("entry 0 is zero") << 0 << 0x0000;
    QTest::newRow("entry 1 is the polynomial 0x1021") << 1 << 0x1021;
    QTest::newRow("entry 0x80 is 0x9188") << 0x80 << 0x9188;
    QTest::newRow("entry 0xFF is 0x1EF0") << 0xFF << 0x1EF0;
}

void TestYmodemPacket::crcTableHasThePublishedEntries()
{
    QFETCH(int, index);
    QFETCH(int, entry);
    SerialWorker worker; // the first worker builds the class-wide table
    QCOMPARE(int(SerialWorker::crcTable()[index]), entry);

    unsigned short table[256];
    Ymodem::fillCrcTable(table);
    QCOMPARE(int(table[index]), entry);
}

void TestYmodemPacket::crcOfTheCheckStringIs0x31C3()
{
    SerialWorker worker;
    const QByteArray check("123456789");
    QCOMPARE(worker.calcCRC16(u(check), 9), quint16(0x31C3));
    QCOMPARE(worker.calcCRC16(u(check), 0), quint16(0x0000));
    // The table-driven step agrees with a bit-by-bit CRC on every byte value.
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    QCOMPARE(worker.calcCRC16(u(all), 256), YmodemReceiver::crc16(all));
    unsigned short crc = 0;
    for (char c : check)
        crc = worker.updateCRC16(crc, quint8(c));
    QCOMPARE(crc, quint16(0x31C3));
}

void TestYmodemPacket::checksumIsTheSumModulo256()
{
    SerialWorker worker;
    const QByteArray bytes("\xFF\xFF\x03", 3);
    QCOMPARE(int(worker.calcChecksum(u(bytes), 3)), 0x01);
    QCOMPARE(int(worker.calcChecksum(u(bytes), 0)), 0);
}

void TestYmodemPacket::sizesAreWrittenAsPlainDecimal_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("zero is the single digit 0") << 0 << Bytes("0");
    QTest::newRow("2500 has no leading zeros") << 2500 << Bytes("2500");
    QTest::newRow("the bootloader limit") << 237440 << Bytes("237440");
    QTest::newRow("the largest int") << 2147483647 << Bytes("2147483647");
    QTest::newRow("a negative value reads as unsigned 32-bit") << -1 << Bytes("4294967295");
}

void TestYmodemPacket::sizesAreWrittenAsPlainDecimal()
{
    QFETCH(int, value);
    QFETCH(QByteArray, text);
    QByteArray out(Ymodem::kDecimalBufferSize + 1, '\x55');
    SerialWorker().int2Str(reinterpret_cast<unsigned char *>(out.data()), value);
    QCOMPARE(out.left(text.size()), text);
    QCOMPARE(out.at(text.size()), '\0');
}

void TestYmodemPacket::headerForAppBinOf2500BytesMatchesTheWorkedExample()
{
    const QByteArray block = headerBlock("app.bin", 2500);
    QCOMPARE(block.size(), 131);
    QCOMPARE(block.left(3), Bytes("\x01\x00\xFF", 3));
    QCOMPARE(block.mid(3, 13), Bytes("app.bin") + '\0' + "2500" + '\0');
    QCOMPARE(block.mid(16), Bytes(115, '\0'));

    SerialWorker worker;
    const QByteArray field = block.mid(3);
    QCOMPARE(worker.calcCRC16(u(field), 128), quint16(0x9D54));
    QCOMPARE(int(worker.calcChecksum(u(field), 128)), 0x6F);
    QCOMPARE(withCrc(block).right(2), Bytes("\x9D\x54"));

    // An empty name leaves the field starting with 0x00, then the digits; size 0 is "0".
    QCOMPARE(headerBlock("", 2500).mid(3, 6), '\0' + Bytes("2500") + '\0');
    QCOMPARE(headerBlock("a.bin", 0).mid(3, 8), Bytes("a.bin") + '\0' + '0' + '\0');
}

void TestYmodemPacket::headerNamesAreCutAt111Bytes_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("sent");
    const QByteArray n111(111, 'n');
    QTest::newRow("a name of 111 bytes is copied whole") << n111 << n111;
    QTest::newRow("a name of 112 bytes loses its last byte") << n111 + 'x' << n111;
    QTest::newRow("a name of 200 bytes keeps 111") << QByteArray(200, 'q') << QByteArray(111, 'q');
    const QByteArray cut = QByteArray(110, 'a') + QString::fromUtf8("é").toUtf8();
    QTest::newRow("the cut may split a two-byte character") << cut << cut.left(111);
}

void TestYmodemPacket::headerNamesAreCutAt111Bytes()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, sent);
    const QByteArray field = headerBlock(name, 236544).mid(3);
    QCOMPARE(field.left(sent.size()), sent);
    QCOMPARE(field.mid(sent.size(), 8), '\0' + Bytes("236544") + '\0');
    QVERIFY(field.mid(sent.size() + 8).count('\0') == 128 - sent.size() - 8);

    // The receiver accepts exactly that header.
    YmodemReceiver receiver;
    QCOMPARE(receiver.feed(withCrc(headerBlock(name, 236544))), Bytes("\x06"));
    QCOMPARE(receiver.fileName(), sent);
    QCOMPARE(receiver.declaredSize(), qint64(236544));
}

void TestYmodemPacket::endOfBatchBlockChecksAreZero()
{
    QByteArray buffer(Ymodem::kBlockBufferSize, '\x55');
    Ymodem::buildEndOfBatchBlock(reinterpret_cast<unsigned char *>(buffer.data()));
    QCOMPARE(buffer.left(3), Bytes("\x01\x00\xFF", 3));
    QCOMPARE(buffer.mid(3, 128), Bytes(128, '\0'));
    SerialWorker worker;
    QCOMPARE(worker.calcCRC16(u(buffer) + 3, 128), quint16(0));
    QCOMPARE(int(worker.calcChecksum(u(buffer) + 3, 128)), 0);
}

void TestYmodemPacket::imagesSplitIntoLongBlocksThenShortOnes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("fields");
    QTest::addColumn<int>("lastPadding");
    QTest::newRow("1 byte is one short block with 127 pad bytes") << 1 << QList<int>{128} << 127;
    QTest::newRow("1023 bytes are eight short blocks, the last with one pad byte")
        << 1023 << QList<int>(8, 128) << 1;
    QTest::newRow("1024 bytes are one long block without padding") << 1024 << QList<int>{1024} << 0;
    QTest::newRow("1025 bytes are a long block and a short one with 127 pad bytes")
        << 1025 << QList<int>{1024, 128} << 127;
    QTest::newRow("2500 bytes are two long blocks and four short ones, 60 pad bytes")
        << 2500 << QList<int>{1024, 1024, 128, 128, 128, 128} << 60;
    QTest::newRow("3072 bytes are long blocks only") << 3072 << QList<int>(3, 1024) << 0;
}

void TestYmodemPacket::imagesSplitIntoLongBlocksThenShortOnes()
{
    QFETCH(int, size);
    QFETCH(QList<int>, fields);
    QFETCH(int, lastPadding);
    const QByteArray image = pattern(size);
    const QList<QByteArray> blocks = dataBlocks(image);

    QList<int> sizes;
    for (const QByteArray &block : blocks) {
        sizes.append(block.size() - 3);
        QCOMPARE(quint8(block.at(0)), block.size() - 3 == 1024 ? Ymodem::kStx : Ymodem::kSoh);
    }
    QCOMPARE(sizes, fields);
    const QByteArray last = blocks.last();
    QCOMPARE(last.right(lastPadding), QByteArray(lastPadding, '\x1A'));
    if (lastPadding < 128)
        QCOMPARE(last.at(last.size() - lastPadding - 1), image.at(image.size() - 1));

    // An independent receiver takes the whole batch and gets the image back.
    YmodemReceiver receiver;
    QByteArray wire = withCrc(headerBlock("split.bin", size));
    for (const QByteArray &block : blocks)
        wire += withCrc(block);
    QByteArray end(3 + 128, '\0');
    Ymodem::buildEndOfBatchBlock(reinterpret_cast<unsigned char *>(end.data()));
    wire += '\x04' + withCrc(end);
    const QByteArray replies = receiver.feed(wire);
    QVERIFY2(!receiver.failed(), qPrintable(receiver.error()));
    QVERIFY(receiver.finished());
    QCOMPARE(replies, QByteArray(blocks.size() + 3, '\x06'));
    QCOMPARE(receiver.fileData(), image);
}

void TestYmodemPacket::blockCounterWrapsToOneAndShowsItsLowByte()
{
    quint16 counter = 1;
    for (int block = 1; block < 256; ++block)
        counter = Ymodem::nextBlockCounter(counter);
    QCOMPARE(counter, quint16(256));

    QByteArray buffer(Ymodem::kBlockBufferSize, '\0');
    const QByteArray source(1024, 'x');
    SerialWorker().ymodemPreparePacket(u(source), reinterpret_cast<unsigned char *>(buffer.data()),
                                       quint8(counter & 0xFF), 5000);
    QCOMPARE(buffer.left(3), Bytes("\x02\x00\xFF", 3));

    QCOMPARE(Ymodem::nextBlockCounter(0xFFFF), quint16(1));
}

void TestYmodemPacket::receiverRefusesFaultyBlocks_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QByteArray>("lastReply");
    QTest::addColumn<QString>("complaint");

    const QByteArray header100 = withCrc(headerBlock("a.bin", 100));
    const QByteArray block1 = withCrc(dataBlocks(pattern(100)).first());

    QByteArray flipped = header100;
    flipped[40] = char(flipped[40] ^ 0x01);
    QTest::newRow("a block whose CRC does not match is NAK-ed")
        << flipped << Bytes("\x15") << QStringLiteral("CRC");
    QByteArray complement = header100;
    complement[2] = char(0xFE);
    QTest::newRow("a wrong complement is NAK-ed")
        << complement << Bytes("\x15") << QStringLiteral("complement");
    QTest::newRow("a header with a file mode after the size is refused")
        << withCrc(Bytes("\x01\x00\xFF", 3) + "a.bin" + '\0' + "100" + '\0' + "0644" +
                   QByteArray(114, '\0'))
        << Bytes("\x18\x18") << QStringLiteral("after the size");
    QTest::newRow("a header with a modification time after a space is refused")
        << withCrc(Bytes("\x01\x00\xFF", 3) + "a.bin" + '\0' + "100 0" + QByteArray(117, '\0'))
        << Bytes("\x18\x18") << QStringLiteral("not plain decimal digits");
    QTest::newRow("a skipped data block is refused")
        << header100 + withCrc(dataBlocks(QByteArray(2048, 'x')).at(1)) << Bytes("\x18\x18")
        << QStringLiteral("expected 0x01");
    QTest::newRow("a long block with fewer than 1024 bytes left is refused")
        << header100 + withCrc(dataBlocks(QByteArray(1024, 'x')).first()) << Bytes("\x18\x18")
        << QStringLiteral("1024-byte field");
    QByteArray zeroPadded = dataBlocks(pattern(100)).first();
    zeroPadded.replace(3 + 100, 28, QByteArray(28, '\0'));
    QTest::newRow("padding other than 0x1A is refused")
        << header100 + withCrc(zeroPadded) << Bytes("\x18\x18") << QStringLiteral("padding");
    QTest::newRow("EOT before all data is refused")
        << withCrc(headerBlock("a.bin", 300)) + block1 + '\x04' << Bytes("\x18\x18")
        << QStringLiteral("EOT after 128 of 300");
    QTest::newRow("a byte outside any block is a complaint")
        << header100 + 'Z' << Bytes("\x06") << QStringLiteral("stray byte");
}

void TestYmodemPacket::receiverRefusesFaultyBlocks()
{
    QFETCH(QByteArray, wire);
    QFETCH(QByteArray, lastReply);
    QFETCH(QString, complaint);
    YmodemReceiver receiver;
    // Fed in small chunks, as a serial line delivers them.
    QByteArray replies;
    for (int at = 0; at < wire.size(); at += 7)
        replies += receiver.feed(wire.mid(at, 7));
    QVERIFY(replies.endsWith(lastReply));
    QVERIFY(receiver.failed());
    QVERIFY2(receiver.error().contains(complaint), qPrintable(receiver.error()));
}

QTEST_APPLESS_MAIN(TestYmodemPacket)
#include "tst_ymodem_packet.moc"
