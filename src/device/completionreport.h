#pragma once

// Reading the bootloader's report after the last ACK: completion line, written size and the
// jump to the application. No widgets, no I/O.

#include <QByteArray>

namespace CompletionReport {

// Text collected beyond this is dropped; a real report is a few lines.
constexpr int kTextCap = 64 * 1024;

enum class Verdict {
    NoCompletionLine, // "Programming Completed Successfully!" is missing
    Confirmed,        // completed, no usable size
    SizeConfirmed,    // completed, the device wrote the declared size
    SizeMismatch,     // completed, the device reports another size
};

struct Reading
{
    Verdict verdict = Verdict::NoCompletionLine;
    int reportedSize = 0;
};

// The device starts the application: nothing more is coming. No widgets, no I/O.
bool isFinal(const QByteArray &text);
// No widgets, no I/O.
bool hasCompletionLine(const QByteArray &text);
// Appends more to collected without letting it grow past kTextCap. No widgets, no I/O.
void appendBounded(QByteArray &collected, const QByteArray &more);
// Judges the collected text against the size announced in the header. No widgets, no I/O.
Reading read(const QByteArray &text, int declaredSize);

} // namespace CompletionReport
