#include "updatebench.h"

namespace UpdateBench {

namespace {
QElapsedTimer g_clock;
} // namespace

void startClock()
{
    g_clock.start();
}

double nowMs()
{
    return g_clock.nsecsElapsed() / 1e6;
}


QByteArray pattern(int size)
{
    QByteArray image(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        image[i] = char(x & 0xFF);
    }
    return withVectorTable(image);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}


WireBytes wireMinimum(qint64 size)
{
    const qint64 longBlocks = size / 1024;
    const qint64 shortBlocks = (size % 1024 + 127) / 128;
    constexpr int kFrame = 3 + 2; // start byte, number, complement; CRC-16
    WireBytes w;
    w.toDevice = (128 + kFrame) + longBlocks * (1024 + kFrame) + shortBlocks * (128 + kFrame) + 1 +
                 (128 + kFrame);
    w.acks = 1 + longBlocks + shortBlocks + 1 + 1;
    return w;
}

QString writeImage(const QTemporaryDir &dir, const QByteArray &image)
{
    const QString path = dir.filePath(QStringLiteral("app.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return QString();
    return path;
}

} // namespace UpdateBench
