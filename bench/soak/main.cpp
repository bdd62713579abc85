// Soak benchmark: an hour of production. fwflash --wait serves 8 lines, each a fwdevsim whose
// boards replace themselves after every update (the next board plugged in behind the same link),
// with a fault drawn at random in a share of the boards (the device cancels, stays silent, drops
// the line or NAKs at a data block, or gives no identification). It runs for a given time
// (default 10 minutes) and reports the boards the simulators saw, the records fwflash wrote (in
// its JSON lines and its store), the successes the simulators confirmed byte for byte, and
// fwflash's resident memory, open file descriptors and threads at the start and at the end.
// Goals: every update a simulator saw has exactly one record, every recorded success matches the
// image the simulator received, and memory, descriptors and threads are flat.
// Prints figures; asserts nothing.

#include "records/recordstore.h"
#include "testimage.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <numeric>
#include <vector>

using namespace std::chrono_literals;

namespace {

const QString kFlasher = QStringLiteral(FWFLASH_PATH);
const QString kSimulator = QStringLiteral(FWDEVSIM_PATH);
// The next board comes this long after the last one was unplugged.
constexpr int kNextBoardMs = 300;
// Figures are taken once the line has run this long (start-up, the first boards).
constexpr auto kWarmUp = 30s;
constexpr auto kSampleEvery = 60s;
// At the end: the simulators stop (a board in the middle of its update loses its line), and
// fwflash gets this long to record those units before Ctrl+C ends it.
constexpr auto kSettle = 3s;
constexpr int kExitMs = 10000;

struct Settings
{
    std::chrono::seconds duration{600};
    int lines = 8;
    int faultPercent = 30;
    int imageKiB = 32;
    bool paced = false;
    quint32 seed = 1;
};

struct Sample
{
    double seconds = 0;
    double rssMiB = 0;
    int fds = 0;
    int threads = 0;
    int records = 0;
};

Sample sample(qint64 pid, double seconds, const QString &records)
{
    Sample s;
    s.seconds = seconds;
    QFile lines(records);
    if (lines.open(QIODevice::ReadOnly))
        s.records = int(lines.readAll().count('\n'));
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                s.rssMiB = line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
            else if (line.startsWith("Threads:"))
                s.threads = line.mid(8).trimmed().toInt();
        }
    }
    s.fds = int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                    .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                    .size());
    return s;
}

void printSample(const char *when, const Sample &s)
{
    std::printf("  %-8s %7.0f s  %6d records  RSS %6.2f MiB  %3d descriptors  %3d threads\n",
                when, s.seconds, s.records, s.rssMiB, s.fds, s.threads);
    std::fflush(stdout);
}

// What one simulator saw, from its narration.
struct Line
{
    int boards = 0;                // boards put on the line
    QMap<QString, int> begun;      // updates begun (start commands), by the board's serial number
    int begunSilent = 0;           // ... of boards that gave no identification
    QMap<QString, int> matched;    // images that matched byte for byte, by serial number
    int matchedSilent = 0;
};

Line readNarration(const QString &path, int index)
{
    Line line;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return line;
    static const QRegularExpression board(QStringLiteral("^Board (\\d+) is on the line: (.*)$"));
    QString serial;
    bool silent = false;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const QString text = QString::fromUtf8(raw);
        const QRegularExpressionMatch m = board.match(text);
        if (m.hasMatch()) {
            ++line.boards;
            serial = QStringLiteral("L%1-%2").arg(index).arg(m.captured(1));
            silent = m.captured(2).contains(QLatin1String("no identification"));
        } else if (text.contains(QLatin1String("start command")) ||
                   text.contains(QLatin1String("Start command"))) {
            silent ? ++line.begunSilent : ++line.begun[serial];
        } else if (text.contains(QLatin1String("Result: the image MATCHED"))) {
            silent ? ++line.matchedSilent : ++line.matched[serial];
        }
    }
    return line;
}

// What fwflash recorded for one line.
struct Recorded
{
    QMap<QString, int> bySerial; // records by the unit's serial number
    int withoutSerial = 0;       // records of units that told none
    QMap<QString, int> successes;
    int successesWithoutSerial = 0;
    bool lastWithoutSerial = false;
};

bool readSettings(const QStringList &arguments, Settings *s)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString option = arguments[i];
        bool ok = true;
        const int value = arguments.value(i + 1).toInt(&ok);
        if (option == QLatin1String("--paced")) {
            s->paced = true;
            continue;
        }
        ++i;
        if (!ok)
            return false;
        if (option == QLatin1String("--minutes"))
            s->duration = std::chrono::minutes(value);
        else if (option == QLatin1String("--seconds"))
            s->duration = std::chrono::seconds(value);
        else if (option == QLatin1String("--faults"))
            s->faultPercent = value;
        else if (option == QLatin1String("--image-kib"))
            s->imageKiB = value;
        else if (option == QLatin1String("--seed"))
            s->seed = quint32(value);
        else
            return false;
    }
    return s->duration.count() > 0 && s->faultPercent >= 0 && s->faultPercent <= 100 &&
           s->imageKiB >= 1 && s->imageKiB <= 231;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Settings settings;
    if (!readSettings(app.arguments(), &settings)) {
        std::fprintf(stderr, "usage: bench_soak [--minutes M | --seconds S] [--faults PERCENT] "
                             "[--image-kib N] [--seed N] [--paced]\n");
        return 2;
    }
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("app.bin"));
    QFile file(image);
    const QByteArray bytes = testImage(settings.imageKiB * 1024);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return 1;
    file.close();
    const QString storeUrl = QStringLiteral("sqlite://") + dir.filePath(QStringLiteral("r.sqlite"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));

    std::printf("soak: fwflash --wait on %d lines, boards replaced after each update, a random "
                "fault in %d %% of the boards (seed %u), %d KiB image, %s, %lld s\n",
                settings.lines, settings.faultPercent, settings.seed, settings.imageKiB,
                settings.paced ? "115200 baud" : "unpaced", qlonglong(settings.duration.count()));
    QFile load(QStringLiteral("/proc/loadavg"));
    if (load.open(QIODevice::ReadOnly))
        std::printf("load before: %s", load.readAll().constData());

    std::vector<std::unique_ptr<QProcess>> simulators;
    QStringList arguments{QStringLiteral("--wait"),    QStringLiteral("--json"),
                          dir.filePath(QStringLiteral("units.jsonl")), QStringLiteral("--records"),
                          storeUrl,                    image};
    for (int i = 0; i < settings.lines; ++i) {
        const QString link = dir.filePath(QStringLiteral("line%1").arg(i));
        const QString out = dir.filePath(QStringLiteral("out%1").arg(i));
        QDir().mkpath(out);
        auto simulator = std::make_unique<QProcess>();
        simulator->setProcessEnvironment(env);
        simulator->setStandardOutputFile(dir.filePath(QStringLiteral("line%1.log").arg(i)));
        simulator->setStandardErrorFile(QProcess::nullDevice());
        QStringList options{"--link", link, "--output", out, "--expect", image,
                            "--next-board-after-update", QString::number(kNextBoardMs),
                            "--idn", QStringLiteral("Orvane,TM-1,L%1-{n},1.0.38").arg(i),
                            "--idn-after-update", QStringLiteral("Orvane,TM-1,L%1-{n},1.0.39").arg(i),
                            "--seed", QString::number(settings.seed + quint32(i))};
        if (settings.faultPercent > 0)
            options << "--random-faults" << QString::number(settings.faultPercent);
        if (!settings.paced)
            options << "--unpaced";
        simulator->start(kSimulator, options);
        simulators.push_back(std::move(simulator));
        arguments << "-p" << link;
    }
    QProcess flasher;
    flasher.setProcessEnvironment(env);
    flasher.setStandardOutputFile(dir.filePath(QStringLiteral("fwflash.log")));
    flasher.setStandardErrorFile(dir.filePath(QStringLiteral("fwflash.err")));
    flasher.start(kFlasher, arguments);
    if (!flasher.waitForStarted()) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(kFlasher));
        return 1;
    }
    const qint64 pid = flasher.processId();

    const QString unitsPath = dir.filePath(QStringLiteral("units.jsonl"));
    QElapsedTimer clock;
    clock.start();
    const auto run = std::chrono::duration_cast<std::chrono::milliseconds>(settings.duration);
    const auto warmUp = std::min<std::chrono::milliseconds>(kWarmUp, run / 10);
    Sample first;
    bool sampled = false;
    auto nextSample = warmUp;
    while (clock.elapsed() < run.count() && flasher.state() == QProcess::Running) {
        QThread::msleep(200);
        QCoreApplication::processEvents();
        if (clock.elapsed() >= nextSample.count()) {
            const Sample s = sample(pid, clock.elapsed() / 1000.0, unitsPath);
            printSample(sampled ? "running" : "start", s);
            if (!sampled)
                first = s;
            sampled = true;
            nextSample += kSampleEvery;
        }
    }
    const Sample last = sample(pid, clock.elapsed() / 1000.0, unitsPath);
    printSample("end", last);

    for (auto &simulator : simulators)
        ::kill(pid_t(simulator->processId()), SIGTERM);
    for (auto &simulator : simulators)
        simulator->waitForFinished(kExitMs);
    QThread::sleep(std::chrono::duration_cast<std::chrono::seconds>(kSettle).count());
    ::kill(pid_t(pid), SIGINT);
    const bool ended = flasher.waitForFinished(kExitMs);
    std::printf("fwflash ended: %s, exit status %d\n", ended ? "yes" : "NO",
                ended ? flasher.exitCode() : -1);

    // What the simulators saw against what fwflash recorded, line by line.
    QHash<QString, Recorded> recorded; // by line
    QMap<QString, int> codes;
    QSet<QString> ids;
    int records = 0;
    int successes = 0;
    QFile units(unitsPath);
    if (units.open(QIODevice::ReadOnly)) {
        for (const QByteArray &raw : units.readAll().split('\n')) {
            if (raw.isEmpty())
                continue;
            const QJsonObject r = QJsonDocument::fromJson(raw).object();
            ++records;
            ids.insert(r[QLatin1String("id")].toString());
            Recorded &line = recorded[QFileInfo(r[QLatin1String("port")].toString()).fileName()];
            const QString serial = r[QLatin1String("unitSerial")].toString();
            const bool success = r[QLatin1String("outcome")].toString() == QLatin1String("success");
            successes += success ? 1 : 0;
            line.lastWithoutSerial = serial.isEmpty();
            if (serial.isEmpty()) {
                ++line.withoutSerial;
                line.successesWithoutSerial += success ? 1 : 0;
            } else {
                ++line.bySerial[serial];
                if (success)
                    ++line.successes[serial];
            }
            if (!success)
                ++codes[r[QLatin1String("reasonCode")].toString()];
        }
    }
    QSet<QString> storedIds;
    {
        RecordStore store;
        if (store.open(storeUrl)) {
            QVariantList after;
            for (;;) {
                const QList<UpdateRecord> page = store.query({}, {}, 1000, &after);
                for (const UpdateRecord &r : page)
                    storedIds.insert(r.id);
                if (page.size() < 1000)
                    break;
            }
        }
    }

    // Every update begun has one record: the identified boards by their serial numbers, the
    // others by count. A line stopped while its next board was being asked for its
    // identification by the update leaves one record more, of a unit that told nothing.
    int boards = 0, begun = 0, matched = 0, linesExact = 0, cut = 0;
    bool sameSuccesses = true;
    for (int i = 0; i < settings.lines; ++i) {
        const Line line = readNarration(dir.filePath(QStringLiteral("line%1.log").arg(i)), i);
        const QString name = QStringLiteral("line%1").arg(i);
        const Recorded &r = recorded[name];
        int lineBegun = line.begunSilent;
        for (int n : line.begun)
            lineBegun += n;
        int lineMatched = line.matchedSilent;
        for (int n : line.matched)
            lineMatched += n;
        boards += line.boards;
        begun += lineBegun;
        matched += lineMatched;
        const int extra = r.withoutSerial - line.begunSilent;
        const bool endCut = extra == 1 && r.lastWithoutSerial;
        cut += endCut ? 1 : 0;
        const bool exact = r.bySerial == line.begun && (extra == 0 || endCut);
        linesExact += exact ? 1 : 0;
        const bool same =
            r.successes == line.matched && r.successesWithoutSerial == line.matchedSilent;
        sameSuccesses = sameSuccesses && same;
        if (!same) {
            // Name the boards where the record and the simulator disagree.
            QStringList differ;
            QSet<QString> serials;
            for (auto it = r.successes.cbegin(); it != r.successes.cend(); ++it)
                serials.insert(it.key());
            for (auto it = line.matched.cbegin(); it != line.matched.cend(); ++it)
                serials.insert(it.key());
            for (const QString &serial : std::as_const(serials)) {
                if (r.successes.value(serial) != line.matched.value(serial))
                    differ << QStringLiteral("%1 (%2 recorded, %3 matched)")
                                  .arg(serial)
                                  .arg(r.successes.value(serial))
                                  .arg(line.matched.value(serial));
            }
            if (r.successesWithoutSerial != line.matchedSilent)
                differ << QStringLiteral("silent boards (%1 recorded, %2 matched)")
                              .arg(r.successesWithoutSerial)
                              .arg(line.matchedSilent);
            std::printf("  %s successes differ: %s\n", qPrintable(name),
                        qPrintable(differ.join(QStringLiteral(", "))));
        }
        std::printf("  %s: %d boards, %d updates begun, %d records, %d matched%s\n",
                    qPrintable(name), line.boards, lineBegun,
                    int(r.withoutSerial + std::accumulate(r.bySerial.begin(), r.bySerial.end(), 0)),
                    lineMatched, exact ? "" : "  MISMATCH");
    }
    std::printf("boards seen by the simulators: %d; updates begun: %d\n", boards, begun);
    std::printf("records: %d JSON lines, %d in the store, the same ids: %s; every update begun has "
                "exactly one record on %d of %d lines (%d more of a line stopped during a query)\n",
                records, int(storedIds.size()), ids == storedIds ? "yes" : "NO", linesExact,
                settings.lines, cut);
    std::printf("successes recorded: %d; images the simulators matched byte for byte: %d; the "
                "same boards: %s\n",
                successes, matched, sameSuccesses ? "yes" : "NO");
    std::printf("failures by reason code:");
    for (auto it = codes.cbegin(); it != codes.cend(); ++it)
        std::printf(" %s %d", qPrintable(it.key()), it.value());
    const int between = last.records - first.records;
    std::printf("\nfwflash from %.0f s to %.0f s (%d records): RSS %.2f -> %.2f MiB (%+.3f KiB "
                "per record), descriptors %d -> %d, threads %d -> %d\n",
                first.seconds, last.seconds, between, first.rssMiB, last.rssMiB,
                between > 0 ? (last.rssMiB - first.rssMiB) * 1024.0 / between : 0.0, first.fds,
                last.fds, first.threads, last.threads);
    return 0;
}
