#pragma once

#include "production/unitrecord.h"

#include <optional>

namespace Production {

// The image a run sends, read once before any port opens: its absolute path, file name, size,
// SHA-256 and the image check's verdict (checkReason, empty when it looks like an application
// the bootloader can start). Refused, with why set to the window's words, when the front ends
// refuse it: missing, no file, another suffix, a size outside limit, empty, unreadable.
std::optional<ImageFacts> readImageFacts(const QString &path, int limit, QString *why);

} // namespace Production
