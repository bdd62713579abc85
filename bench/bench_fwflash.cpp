// Flasher benchmark: fwflash updating 1, 4 and 8 simulated devices at once, each behind its own
// cable paced at 115200 baud, 236544 bytes each. For every batch: the wall time against one
// device alone (goal: 8 at once within 5 %), fwflash's CPU per port (goal: at most 3 % of a core
// each) and its peak resident memory. Every device must have received the image intact.
// Prints figures; asserts nothing. The simulators' own CPU (their paced cables) shares the
// machine with fwflash and shows in the wall times on a machine with few cores.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const QString kFlasher = QStringLiteral(FWFLASH_PATH);
const QString kSimulator = QStringLiteral(FWDEVSIM_PATH);
constexpr int kImageSize = 236544;
constexpr int kStartMs = 5000;
constexpr int kDeviceEndMs = 10000;
const int kBatches[] = {1, 4, 8};

struct Run
{
    double wallS = 0;
    double cpuS = 0;
    double peakMiB = 0;
    int status = -1;
    int intact = 0;
};

// Runs the program to its end; CPU time and peak memory come from the kernel's accounting.
Run runMeasured(const QString &program, const QStringList &arguments)
{
    std::vector<QByteArray> storage;
    storage.push_back(program.toLocal8Bit());
    for (const QString &argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    Run run;
    QElapsedTimer clock;
    clock.start();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only the figures of this program are printed: the flasher's summary goes nowhere.
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0)
            ::dup2(null, STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid)
        return run;
    run.wallS = clock.nsecsElapsed() / 1e9;
    run.cpuS = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.peakMiB = double(usage.ru_maxrss) / 1024.0;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

Run batch(int devices, const QTemporaryDir &dir, const QString &image)
{
    std::vector<std::unique_ptr<QProcess>> simulators;
    QStringList arguments{"--quiet", image};
    static const QRegularExpression portLine(QStringLiteral("Port to use: (\\S+)"));
    for (int i = 0; i < devices; ++i) {
        const QString out = dir.filePath(QStringLiteral("out%1").arg(i));
        QDir().mkpath(out);
        auto simulator = std::make_unique<QProcess>();
        simulator->start(kSimulator, {"--once", "--output", out, "--expect", image});
        QByteArray said;
        QElapsedTimer clock;
        clock.start();
        while (!portLine.match(QString::fromLocal8Bit(said)).hasMatch() &&
               clock.elapsed() < kStartMs) {
            simulator->waitForReadyRead(100);
            said += simulator->readAllStandardOutput();
        }
        arguments << "-p" << portLine.match(QString::fromLocal8Bit(said)).captured(1);
        simulators.push_back(std::move(simulator));
    }
    Run run = runMeasured(kFlasher, arguments);
    for (auto &simulator : simulators) {
        // --once: exit status 0 when the image matched byte for byte.
        if (simulator->waitForFinished(kDeviceEndMs) && simulator->exitCode() == 0)
            ++run.intact;
        else
            simulator->kill();
    }
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("app.bin"));
    QFile file(image);
    QByteArray bytes(kImageSize, Qt::Uninitialized);
    for (int i = 0; i < kImageSize; ++i)
        bytes[i] = char((i * 31 + i / 251) & 0xFF);
    // The vector table of an application at 0x08004000, which the image check looks for: the
    // stack in SRAM, the reset handler inside the image.
    qToLittleEndian<quint32>(0x20005000, bytes.data());
    qToLittleEndian<quint32>(0x080041C5, bytes.data() + 4);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != kImageSize)
        return 1;
    file.close();
    // fwflash reads the window's settings store and records into the default record store:
    // give it an empty one of each.
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());

    std::printf("fwflash, %d bytes per device at 115200 baud, devices updated at once\n",
                kImageSize);
    std::printf("%8s %10s %14s %16s %12s %8s %7s\n", "devices", "wall s", "vs one alone",
                "CPU per port %", "peak MiB", "intact", "exit");
    double alone = 0;
    for (int devices : kBatches) {
        const Run run = batch(devices, dir, image);
        if (devices == 1)
            alone = run.wallS;
        const double cpuPerPort = run.wallS > 0 ? 100.0 * run.cpuS / run.wallS / devices : 0;
        std::printf("%8d %10.2f %13.1f%% %16.2f %12.1f %5d/%-2d %7d\n", devices, run.wallS,
                    alone > 0 ? 100.0 * (run.wallS / alone - 1.0) : 0.0, cpuPerPort, run.peakMiB,
                    run.intact, devices, run.status);
        std::fflush(stdout);
    }
    return 0;
}
