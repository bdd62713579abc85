#pragma once

// Makes glibc hand large freed blocks back to the system at once. By default it raises its mmap
// threshold the first time such a block is freed, and from then on the log's document blocks of
// about 1 MiB come from the heap, where freed copies stay resident: memory crept up past the
// log's cap although nothing more was kept. Call once, early in main. No-op elsewhere.
void keepLargeBlocksOutOfTheHeap();
