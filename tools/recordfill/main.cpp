// fwrecordfill: appends made-up update records to a store through the same keeper the front ends
// use, one at a time, and says where each went. The tests run several at once against one store.

#include "records/recordkeeper.h"
#include "samplerecords.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fwrecordfill"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FW_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Appends made-up update records to a store."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption spool(
        QStringLiteral("spool"), QStringLiteral("Spool file (default: beside the default store)."),
        QStringLiteral("PATH"), RecordStore::defaultSpoolPath());
    const QCommandLineOption first(QStringLiteral("first"),
                                   QStringLiteral("Number of the first record (default 0)."),
                                   QStringLiteral("N"), QStringLiteral("0"));
    parser.addOption(spool);
    parser.addOption(first);
    parser.addPositionalArgument(QStringLiteral("URL"), QStringLiteral("The store."));
    parser.addPositionalArgument(QStringLiteral("COUNT"), QStringLiteral("How many records."));
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    bool countOk = false;
    const int count = args.size() == 2 ? args[1].toInt(&countOk) : 0;
    QTextStream out(stdout);
    if (!countOk || count < 0) {
        out << parser.helpText();
        return 2;
    }
    RecordKeeper keeper(args[0], parser.value(spool));
    int stored = 0, spooled = 0, lost = 0;
    const int from = parser.value(first).toInt();
    for (int n = from; n < from + count; ++n) {
        const RecordKeeper::Result result = keeper.append(sampleRecord(n));
        stored += result.written == RecordKeeper::Written::Stored;
        spooled += result.written == RecordKeeper::Written::Spooled;
        lost += result.written == RecordKeeper::Written::Lost;
        if (!result.message.isEmpty())
            out << result.message << '\n';
    }
    out << "stored " << stored << ", spooled " << spooled << ", lost " << lost << '\n';
    return lost == 0 ? 0 : 1;
}
