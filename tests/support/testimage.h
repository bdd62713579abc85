#pragma once

// Images for tests and benchmarks. Every image they make starts with a vector table the image
// check finds plausible, as a real application's does.

#include "update/imagecheck.h"

#include <QByteArray>
#include <QtEndian>

#include <algorithm>

// The 8-byte vector table of an application of imageSize bytes: a stack in on-chip SRAM and an odd
// reset handler inside the image (offset 0x1C5, or the last odd offset of a shorter image).
// Plausible from 10 bytes on; a shorter image has no odd offset past its vector table.
inline QByteArray plausibleVectorTable(qint64 imageSize)
{
    const qint64 offset = (std::min<qint64>(imageSize - 1, 0x1C5) - 1) | 1;
    QByteArray table(ImageCheck::kVectorBytes, Qt::Uninitialized);
    qToLittleEndian<quint32>(0x20005000, table.data());
    qToLittleEndian<quint32>(quint32(ImageCheck::kApplicationBase + offset), table.data() + 4);
    return table;
}

// image with its first 8 bytes replaced by plausibleVectorTable; shorter images stay as they are.
inline QByteArray withVectorTable(QByteArray image)
{
    if (image.size() >= ImageCheck::kVectorBytes)
        image.replace(0, ImageCheck::kVectorBytes, plausibleVectorTable(image.size()));
    return image;
}

// An image whose bytes differ from block to block and from one size to the next.
inline QByteArray testImage(int size)
{
    QByteArray image(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 31 + i / 251 + size) & 0xFF);
    return withVectorTable(image);
}
