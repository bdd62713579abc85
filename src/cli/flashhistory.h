#pragma once

#include "cli/flashoptions.h"

// fwflash --history: the records of the store, newest first, as a table, JSON lines or CSV on
// standard output. Records still waiting in the spool for this store are written to it first.
// Opens no port. Returns the exit status: 0, or 1 when the store cannot be read.
int printHistory(const FlashOptions &options, const QString &recordsUrl);
