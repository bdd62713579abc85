#pragma once

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

// Whether an image looks like an application the bootloader can start: its first 8 bytes read
// as the vector table of a Cortex-M application linked at 0x08004000. Both front ends run it
// before an update; the worker sends whatever it is given.
namespace ImageCheck {

// The bootloader writes the application from here and jumps through its vector table.
inline constexpr quint32 kApplicationBase = 0x08004000;
// First address past the application area (the last byte is 0x0803DFFF).
inline constexpr quint32 kApplicationEnd = 0x0803E000;
// The bootloader's own flash, where a whole-flash image has its reset handler.
inline constexpr quint32 kFlashBase = 0x08000000;
// On-chip SRAM, 0x20000000..0x2004FFFF; kSramEnd is the first address past it.
inline constexpr quint32 kSramBase = 0x20000000;
inline constexpr quint32 kSramEnd = 0x20050000;
// Bytes of the vector table that are read: the initial stack pointer and the reset handler.
inline constexpr int kVectorBytes = 8;
// Bytes of the image's start a front end should read; the text test looks at all of them.
inline constexpr int kHeadBytes = 256;

enum class Verdict {
    Plausible,
    TooShort,                // fewer than 8 bytes: no vector table at all
    NotFirmware,             // Intel HEX, S-records or other text
    StackOutsideSram,        // initial SP not in SRAM or not word-aligned
    WholeFlashImage,         // reset handler in the bootloader's 16 KiB
    ResetOutsideApplication, // reset handler even, or not inside the image's own span
};

struct Result
{
    Verdict verdict = Verdict::Plausible;
    QString reason; // in Chinese, for the user; empty when plausible
    bool plausible() const { return verdict == Verdict::Plausible; }
};

// Checks, in order:
// - at least 8 bytes;
// - not text: starts with ':' like Intel HEX or "S0" like S-records, or is at least 90 %
//   printable ASCII;
// - the initial stack pointer (little-endian word 0) is word-aligned and lies in SRAM or at its
//   end, 0x20000000..0x20050000: the stack grows down from it, so linker scripts commonly put
//   it at the end of SRAM;
// - the reset handler (word 1) is odd, a Thumb address; one in 0x08000000..0x08003FFF marks a
//   whole-flash image;
// - the reset handler lies in the image's own span, 0x08004000 + 8 up to 0x08004000 + imageSize
//   (exclusive) and below 0x0803E000. An even one points at no code the core can run, so it
//   counts as outside the application too.
// head is the image's first bytes (up to kHeadBytes are looked at), imageSize its whole size.
// No widgets, no I/O.
Result checkImage(QByteArrayView head, qint64 imageSize);

// checkImage on a file: reads its size and at most kHeadBytes of its start. A file that cannot
// be read counts as too short; the front ends have refused missing and empty files before.
Result checkImageFile(const QString &path);

} // namespace ImageCheck
