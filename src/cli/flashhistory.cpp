#include "cli/flashhistory.h"

#include "cli/flashreport.h"
#include "records/recordkeeper.h"
#include "records/recordstore.h"

#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <cstdio>

using namespace std::chrono_literals;

namespace {
// How long the spool may take to reach the store before the history is read without it.
constexpr auto kSpoolFlushWait = 10s;
// Records fetched from the store at a time: the history of a busy line never sits in memory.
constexpr int kPage = 500;

void print(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

// What waits in the spool for this store goes to it first, as at the start of either program.
void flushSpool(const QString &url)
{
    RecordKeeper keeper(url);
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&keeper, &RecordKeeper::spoolFlushed, &loop, [&loop](int stored, int waiting) {
        if (waiting == 0 || stored == 0)
            loop.quit();
    });
    limit.start(kSpoolFlushWait);
    loop.exec();
}
} // namespace

int printHistory(const FlashOptions &options, const QString &recordsUrl)
{
    flushSpool(recordsUrl);
    RecordStore store;
    if (!store.open(recordsUrl)) {
        std::fprintf(stderr, "fwflash: %s\n", qPrintable(store.errorString()));
        return 1;
    }
    RecordFilter filter;
    filter.unitSerial = options.unit;
    if (options.since.isValid())
        filter.fromUtc = QDateTime(options.since, QTime(0, 0), Qt::LocalTime).toUTC();
    const RecordOrder newestFirst;

    if (options.format == FlashOptions::Format::Csv)
        print(Records::csvHeader() + QLatin1Char('\n'));
    QList<int> widths;
    QVariantList after;
    int total = 0;
    for (;;) {
        const QList<UpdateRecord> page = store.query(filter, newestFirst, kPage, &after);
        if (!store.errorString().isEmpty()) {
            std::fprintf(stderr, "fwflash: %s\n", qPrintable(store.errorString()));
            return 1;
        }
        QList<QStringList> rows;
        for (const UpdateRecord &record : page) {
            switch (options.format) {
            case FlashOptions::Format::Json:
                print(QString::fromUtf8(FlashReport::jsonLine(record)));
                break;
            case FlashOptions::Format::Csv:
                print(Records::csvRow(record) + QLatin1Char('\n'));
                break;
            case FlashOptions::Format::Table:
                rows.append(FlashReport::historyRow(record));
                break;
            }
        }
        // The pages of the table line up with the first one's columns.
        if (!rows.isEmpty())
            print(FlashReport::table(total == 0 ? FlashReport::historyHeader() : QStringList(),
                                     rows, &widths));
        total += int(page.size());
        if (page.size() < kPage)
            break;
    }
    if (total == 0 && options.format == FlashOptions::Format::Table)
        std::fprintf(stderr, "fwflash: no records in %s\n", qPrintable(store.url().identity()));
    std::fflush(stdout);
    return 0;
}
