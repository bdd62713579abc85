// fwdevsim: the scripted device as a program. It opens a pseudo-terminal, prints the port to use,
// plays the device (identification, start command, bootloader menu, YMODEM receiver, completion
// report) behind a cable paced like a real UART, saves every received image and says whether it
// matched and whether the device would start it. Faults can be injected per block. Runs until
// Ctrl+C, or for one update with --once. For production-line runs it can keep a stable link to
// its current port and leave the line after each update, coming back as the same board (a port
// that re-enumerates) or as the next one.

#include "narration.h"
#include "simoptions.h"
#include "simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <unistd.h>

using namespace DevSim;

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fwdevsim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FW_VERSION));

    QCommandLineParser parser;
    Options options;
    if (!readOptions(parser, app, options))
        return 2;

    // Ctrl+C and SIGTERM end the event loop, so the pseudo-terminals are closed in order.
    if (::pipe(g_signalPipe) != 0)
        return 2;
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
        say(QStringLiteral("Stopped"));
        QCoreApplication::exit(130);
    });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    Simulator simulator(options);
    if (!simulator.start())
        return 2;
    return app.exec();
}
