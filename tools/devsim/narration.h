#pragma once

// The simulator's narration: what it prints about the line, the blocks and the images it receives.

#include <QByteArray>
#include <QString>

namespace DevSim {

// A line on standard output, at once.
void say(const QString &line);
// A line on standard error, after the program's name.
void complain(const QString &line);

// "the header block", "data block 3", "EOT", "the end-of-batch block". No widgets, no I/O.
QString targetName(int target);

// The name to save a received image under: the header's file name without any directory, or a
// fixed name when nothing usable is left. No widgets, no I/O.
QString safeFileName(const QByteArray &headerName);

// What the device would do with an image: its vector table and the image check's verdict, in
// words. No widgets, no I/O.
QString vectorTableText(const QByteArray &image);

// Number of data blocks an image of this size takes (1024-byte blocks, then 128-byte ones). No widgets, no I/O.
int blockCount(qint64 size);

} // namespace DevSim
