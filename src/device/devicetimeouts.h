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
    // After a block that went out more than once is accepted: how long the line must stay quiet
    // before the next block goes, while replies to the other copies may still come. A 1024-byte
    // copy takes 89 ms on the wire at 115200 baud, and the device answers it once it is in.
    std::chrono::milliseconds extraReplyQuiet{300};
    // Letting the cancel sequence leave the port before the cancel is reported. Five bytes take
    // under half a millisecond at 115200 baud; a line that takes nothing for this long is not
    // draining, and the user waits for the cancel (fwflash ends within a second).
    std::chrono::milliseconds cancelDrain{200};
    // Waiting for a written block to drain.
    std::chrono::milliseconds writeDrain{2000};
    // Reading the bootloader's completion report.
    std::chrono::milliseconds completionReport{600};
};
