// Records benchmark: a SQLite store with 100,000 records; the history query by a unit's serial
// number, one insert (the store alone, and through the keeper as a front end appends), and the
// window's history view shown (offscreen). Prints figures only.

#include "app/historydialog.h"
#include "records/recordkeeper.h"
#include "records/recordtablemodel.h"
#include "samplerecords.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <numeric>
#include <vector>

namespace {

constexpr int kRecords = 100000;
constexpr int kUnits = 5000; // 20 attempts a unit

struct Figures
{
    double median, p95, max;
};

// Runs the step n times; its wall time in milliseconds.
Figures measure(int n, const std::function<void(int)> &step)
{
    std::vector<double> ms;
    for (int i = 0; i < n; ++i) {
        QElapsedTimer timer;
        timer.start();
        step(i);
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 95 / 100)], ms.back()};
}

void print(const char *what, int n, const Figures &f)
{
    std::printf("%-58s %4d runs: median %7.2f ms, p95 %7.2f ms, max %7.2f ms\n", what, n, f.median,
                f.p95, f.max);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString url = QStringLiteral("sqlite://") + dir.filePath(QStringLiteral("bench.sqlite"));

    RecordStore store;
    if (!store.open(url)) {
        std::printf("cannot open the store: %s\n", qPrintable(store.errorString()));
        return 1;
    }
    QElapsedTimer fill;
    fill.start();
    for (int first = 0; first < kRecords; first += 1000) {
        QList<UpdateRecord> batch;
        for (int n = first; n < first + 1000; ++n)
            batch << sampleRecord(n, kUnits);
        if (!store.append(batch)) {
            std::printf("cannot fill the store: %s\n", qPrintable(store.errorString()));
            return 1;
        }
    }
    std::printf("%d records written in batches of 1000: %.1f s, file %.1f MiB\n", kRecords,
                fill.elapsed() / 1000.0,
                QFileInfo(dir.filePath(QStringLiteral("bench.sqlite"))).size() / 1048576.0);

    RecordFilter unit;
    print("history of one unit (20 records), newest first", 50, measure(50, [&](int i) {
              unit.unitSerial =
                  QStringLiteral("SN%1").arg(i * 97 % kUnits, 5, 10, QLatin1Char('0'));
              store.query(unit, {}, RecordTableModel::kPageSize);
          }));
    RecordFilter failed;
    failed.outcome = QStringLiteral("failed");
    print("first page of the failures (10,000), newest first", 20,
          measure(20, [&](int) { store.query(failed, {}, RecordTableModel::kPageSize); }));
    print("count of the failures", 20, measure(20, [&](int) { store.count(failed); }));
    RecordOrder byDuration{RecordOrder::Duration, true};
    print("first page of all records by duration", 20,
          measure(20, [&](int) { store.query({}, byDuration, RecordTableModel::kPageSize); }));
    {
        // Scrolling through the whole history a page at a time: the last pages cost the same as
        // the first.
        QVariantList after;
        std::vector<double> pages;
        for (;;) {
            QElapsedTimer timer;
            timer.start();
            if (store.query({}, {}, RecordTableModel::kPageSize, &after).isEmpty())
                break;
            pages.push_back(timer.nsecsElapsed() / 1e6);
        }
        const auto mean = [&](size_t from, size_t to) {
            return std::accumulate(pages.begin() + from, pages.begin() + to, 0.0) / (to - from);
        };
        std::printf("%-58s %4zu pages: first 20 %.2f ms, last 20 %.2f ms a page\n",
                    "all records a page at a time, newest first", pages.size(), mean(0, 20),
                    mean(pages.size() - 20, pages.size()));
    }
    print("one insert, the store alone", 200,
          measure(200, [&](int i) { store.append(sampleRecord(kRecords + i, kUnits)); }));
    {
        RecordKeeper keeper(url, dir.filePath(QStringLiteral("spool.jsonl")));
        keeper.append(sampleRecord(kRecords + 200, kUnits)); // opens the keeper's connection
        print(
            "one insert through the keeper (the front ends' append)", 200,
            measure(200, [&](int i) { keeper.append(sampleRecord(kRecords + 300 + i, kUnits)); }));
    }

    // The view is shown when the first pass of the event loop after show() has painted it.
    print("history view made and shown, 100,000 records", 10, measure(10, [&](int) {
              HistoryDialog view(url);
              view.show();
              QCoreApplication::processEvents();
          }));
    return 0;
}
