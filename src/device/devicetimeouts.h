#pragma once

#include <chrono>

// Every time limit of the device link. The defaults are the real values the device relies on;
// tests shorten them through SerialWorker::setTimeoutsForTesting. No widgets, no I/O.
struct DeviceTimeouts
{
    // From the start command to the receiver's run of 'C' bytes.
    std::chrono::milliseconds handshake{60000};
    // Writing the start command and the menu choice.
    std::chrono::milliseconds startCommandWrite{5000};
    std::chrono::milliseconds menuChoiceWrite{2000};
    // A console command or the identification query: overall cap and quiet gap.
    std::chrono::milliseconds replyOverall{2000};
    std::chrono::milliseconds replyQuiet{200};
    // YMODEM reply waits: header, EOT and end-of-batch blocks; data blocks.
    std::chrono::milliseconds blockReply{4096};
    std::chrono::milliseconds dataBlockReply{2500};
    // Waiting for a written block to drain.
    std::chrono::milliseconds writeDrain{2000};
    // Reading the bootloader's completion report.
    std::chrono::milliseconds completionReport{600};
};
