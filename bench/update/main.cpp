// Update benchmark: the worker on its own thread against the scripted device, measured against
// the physical limit of a 115200-baud line and against lrzsz's sb sending to rb.
//   (a) paced 115200 link: update time from the request to updateSuccess() for 4 KiB, 64 KiB and
//       236544 bytes, beside the wire minimum and the efficiency, with a breakdown by phase;
//   (b) unpaced pseudo-terminal, 236544 bytes: our full update against the scripted device, our
//       transfer into rb, and sb --ymodem into rb; medians, and the ratio ours / sb;
//   (c) CPU time of the worker thread during the paced 236544-byte update.
// Prints figures; asserts nothing.

#include "updatebench.h"

using namespace UpdateBench;

int main(int argc, char *argv[])
{
    startClock();
    QCoreApplication app(argc, argv);
    std::printf("bench_update: the worker on its own thread; the device simulator's scripted "
                "device\n");
    // Sections may be picked by name: paced, unpaced; default both.
    const QStringList picked = app.arguments().mid(1);
    if (picked.isEmpty() || picked.contains(QLatin1String("paced")))
        pacedUpdates();
    if (picked.isEmpty() || picked.contains(QLatin1String("unpaced")))
        unpacedComparison();
    return 0;
}
