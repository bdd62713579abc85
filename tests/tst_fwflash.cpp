// The command-line flasher and the device simulator as programs: the flasher runs against
// simulators on pseudo-terminals and is judged by its exit status, its JSON records and the
// store's (the same records), what the simulators said and the images they received.

#include "cli/flashoptions.h"
#include "cli/flashreport.h"
#include "production/portsession.h"
#include "records/recordstore.h"
#include "samplerecords.h"
#include "scripteddevice.h"
#include "simulatorprocess.h"
#include "testimage.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const QString kNewVersion = QStringLiteral("Orvane,TM-1,SN0001,1.0.39");
const QByteArray kUsersFile = "the user's own file";

// The objects of JSON lines, in order; a line that is no object fails the test.
QList<QJsonObject> jsonLines(const QByteArray &bytes)
{
    QList<QJsonObject> objects;
    for (const QByteArray &line : bytes.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (!document.isObject())
            qWarning("not a JSON object: %s", line.constData());
        objects.append(document.object());
    }
    return objects;
}

// Every record in the store, oldest first, as the JSON lines write them.
QList<QJsonObject> storedRecords(const QString &url)
{
    QList<QJsonObject> records;
    RecordStore store;
    if (store.open(url)) {
        for (const UpdateRecord &record : store.query({}, {RecordOrder::Time, true}, 1000))
            records.append(Records::toJson(record));
    }
    return records;
}
} // namespace

// One folder per test: the images, the record file and store, a private settings and data folder
// and an output folder per simulated device.
class tst_FwFlash : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QList<std::shared_ptr<Simulator>> m_devices;

    QString path(const QString &name) const { return m_dir->filePath(name); }
    QString storeUrl() const { return QStringLiteral("sqlite://") + path("records.sqlite"); }
    QList<QJsonObject> records() const { return jsonLines(readBytes(path("units.json"))); }

private Q_SLOTS:
    void init()
    {
        m_devices.clear();
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void flashingUnits_data()
    {
        // One simulator per entry of devices (its options; unpaced unless they say "paced").
        // "missing" is a port that does not exist, which fails its unit with 1 when tried: status 2
        // shows that none was tried. An outcome may go on with the unit's reason code. What the
        // flasher must have said starts with "fwflash: "; the rest is the first simulator's.
        QTest::addColumn<QList<QStringList>>("devices");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("outcomes"); // of the records, in the order of their ports
        QTest::addColumn<QStringList>("said");
        QTest::addColumn<QByteArray>("image"); // null: no file there
        QTest::addColumn<QByteArray>("storedKB");
        auto row = [](const char *sentence, const QList<QStringList> &devices,
                      const QStringList &arguments, int status, const QStringList &outcomes,
                      const QStringList &said = {}, const QByteArray &image = testImage(20000),
                      const QByteArray &kb = {}) {
            QTest::newRow(sentence)
                << devices << arguments << status << outcomes << said << image << kb;
        };
        const QList<QStringList> one{{}}, missing{{"missing"}};
        auto refused = [&](const char *sentence, const QStringList &arguments,
                           const QByteArray &image = testImage(20000), const QByteArray &kb = {}) {
            row(sentence, missing, arguments, 2, {}, {}, image, kb);
        };
        const QStringList newVersion{"--idn-after-update", kNewVersion};
        const QStringList expect1039{"--expect-version", "1.0.39"};
        const QStringList numbered{"--idn", "Orvane,TM-1,SN000{n},1.0.38", "--idn-after-update",
                                   "Orvane,TM-1,SN000{n},1.0.39"};
        QByteArray wholeFlash = testImage(20000); // linked at 0x08000000 with the bootloader
        qToLittleEndian<quint32>(0x080001C5, wholeFlash.data() + 4);

        row("one device on the paced line takes the image intact, as the simulator checked",
            {{"paced", "--expect", "{dir}/app.bin"}}, {}, 0, {"success"},
            {"Start command *FWUPD received", "Block checks passed",
             "Size matches the declared 20000 bytes",
             "initial SP 0x20005000, reset handler 0x080041C5, a plausible application",
             "Identical to", "the image MATCHED"});
        row("a NAK and a missing answer make the block go again",
            {{"--nak-block", "3", "--silent-block", "4", "--silent-times", "1"}}, {}, 0,
            {"success"},
            {"Fault: NAK to data block 3", "Fault: no answer to data block 4",
             "the image MATCHED"});
        row("a port lost on the paced line fails the unit as port-lost",
            {{"paced", "--lose-port-block", "3"}}, {}, 1, {"failed:port-lost"},
            {"Line dropped at data block 3"});
        row("a port that does not exist fails at once", missing, {}, 1, {"failed:port-lost"});
        row("of two ports at once the one whose device cancels fails so, the other is intact",
            {{"--cancel-block", "3"}, {}}, {}, 1, {"failed:device-cancelled", "success"},
            {"The receiver cancelled the transfer"});
        row("the version expected and reported after the jump passes", {newVersion}, expect1039, 0,
            {"success"});
        row("an application that answers another version than expected fails the unit",
            {newVersion}, {"--expect-version", "1.0.40"}, 1, {"version-mismatch:version-mismatch"});
        row("a port that re-enumerates after the jump is opened again to read the version",
            {newVersion + QStringList{"--reenumerate-after-update", "300"}}, expect1039, 0,
            {"success"});
        row("a unit replaced before its read-back is recorded as such, not as a version mismatch",
            {numbered + QStringList{"--next-board-after-update", "300", "--leave-after", "100"}},
            expect1039, 1, {"failed:unit-replaced"});
        row("a whole-flash image goes out with --force, its verdict in the record", one,
            {"--force"}, 0, {"success"}, {}, wholeFlash);
        row("with --json - the records go to standard output, the summary to standard error", one,
            {"--json", "-"}, 0, {"success"}, {"fwflash: RESULT"});
        row("the loop serves boards unplugged and the next plugged in behind one link",
            {numbered + QStringList{"--next-board-after-update", "800"}}, {"--wait"}, 0,
            {"success", "success"});
        row("the README's loop: each board answers with its own serial number at the new version",
            {numbered + QStringList{"--next-board-after-update", "1000"}},
            QStringList{"--wait"} + expect1039, 0, {"success", "success", "success"});
        row("the loop serves boards swapped on a port that stays, told apart by their reply",
            {numbered + QStringList{"--swap-board-after-update", "800"}}, {"--wait"}, 0,
            {"success", "success"});
        row("after a board that failed and fell silent on a port that stays, the next is updated",
            {numbered + QStringList{"--swap-board-after-update", "1000", "--cancel-block", "3"}},
            {"--wait"}, 1, {"failed:device-cancelled", "failed:device-cancelled"});
        row("a board that re-enumerates in the loop is not updated again",
            {newVersion + QStringList{"--reenumerate-after-update", "300"}}, {"--wait"}, 0,
            {"success"}, {"fwflash: already-updated: SN0001 was updated earlier in this run"});
        refused("an empty image is refused", {}, testImage(0));
        refused("an image above the default 231 KiB is refused", {}, testImage(231 * 1024 + 1));
        refused("an image above the store's maxFirmwareKB is refused", {}, testImage(5000), "4");
        refused("an image above --max-kb is refused, whatever the store says", {"--max-kb", "4"},
                testImage(5000), "200");
        refused("a whole-flash image is refused without --force", {}, wholeFlash);
        refused("a size limit that is no number is refused", {"--max-kb", "lots"});
        refused("a version that is no version is refused", {"--expect-version", "new"});
        refused("Enter as the next device without the loop is refused", {"--next-on-enter"});
        refused("a store that is no store URL is refused", {"--records", "mysql://db/records"});
        row("no port at all is refused", {}, {}, 2, {});
    }
    void flashingUnits()
    {
        QFETCH(QList<QStringList>, devices);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QStringList, outcomes);
        QFETCH(QStringList, said);
        QFETCH(QByteArray, image);
        QFETCH(QByteArray, storedKB);
        if (!image.isNull())
            QVERIFY(writeBytes(path("app.bin"), image));
        if (!storedKB.isEmpty())
            QVERIFY(QDir().mkpath(path("config/YourCompany")) &&
                    writeBytes(path("config/YourCompany/YourApp.conf"),
                               "[General]\nmaxFirmwareKB=" + storedKB + "\n"));
        // A device is reached through its link, as on a production line.
        const bool toStdout = arguments.contains("-");
        QStringList ports, command{path("app.bin")};
        if (!toStdout)
            command << "--json" << path("units.json");
        if (!arguments.contains("--records"))
            command << "--records" << storeUrl();
        for (int i = 0; i < devices.size(); ++i) {
            ports << path(QStringLiteral("tty%1").arg(i));
            command << "-p" << ports[i];
            if (devices[i] == QStringList{"missing"})
                continue;
            const QString out = path(QStringLiteral("out%1").arg(i));
            QVERIFY(QDir().mkpath(out) && writeBytes(out + "/app.bin", kUsersFile));
            QStringList options = devices[i].replaceInStrings("{dir}", m_dir->path());
            if (!options.removeAll("paced"))
                options << "--unpaced";
            m_devices << std::make_shared<Simulator>(
                options + QStringList{"--link", ports[i], "--output", out});
            QVERIFY(!m_devices.last()->port().isEmpty());
        }
        Program flasher(command + arguments, QStringLiteral(FWFLASH_PATH), path("config"));
        const QStringList flasherSaid = said.filter(QRegularExpression("^fwflash: "));
        if (arguments.contains("--wait")) {
            // Once the boards are served (and what the flasher says is said) the line is closed,
            // so that no other comes, and Ctrl+C ends the loop cleanly.
            QTRY_COMPARE_WITH_TIMEOUT(records().size(), outcomes.size(), Program::kExitMs);
            for (const QString &phrase : flasherSaid)
                QVERIFY2(!flasher.waitFor(QRegularExpression::escape(phrase.mid(9))).isEmpty(),
                         qPrintable(flasher.output()));
            m_devices.first()->signal(SIGTERM);
            QVERIFY(m_devices.first()->finish() >= 0);
            flasher.signal(SIGINT);
        }
        QCOMPARE(flasher.finish(), status);
        if (toStdout) {
            // Nothing but the records on standard output; the summary on standard error.
            QVERIFY(flasher.output().endsWith("}\n"));
            for (const QString &phrase : flasherSaid)
                QVERIFY2(flasher.errors().contains(phrase.mid(9)), qPrintable(flasher.errors()));
        }

        // The same records in the JSON lines and in the store, field by field.
        QList<QJsonObject> units =
            toStdout ? jsonLines(flasher.output().toUtf8()) : records();
        QCOMPARE(units.size(), outcomes.size());
        const auto byId = [](QList<QJsonObject> list) {
            std::sort(list.begin(), list.end(), [](const QJsonObject &a, const QJsonObject &b) {
                return a["id"].toString() < b["id"].toString();
            });
            return list;
        };
        QCOMPARE(byId(storedRecords(storeUrl())), byId(units));
        std::stable_sort(units.begin(), units.end(),
                         [](const QJsonObject &a, const QJsonObject &b) {
                             return a["port"].toString() < b["port"].toString();
                         });
        for (int k = 0; k < units.size(); ++k) {
            const QJsonObject &unit = units[k];
            const int i = int(ports.indexOf(unit["port"].toString()));
            QVERIFY(i >= 0);
            const QString outcome = outcomes[k].section(':', 0, 0);
            const bool replaced = outcomes[k].contains("unit-replaced");
            const bool delivered = outcome == "success" || outcome == "version-mismatch" || replaced;
            QCOMPARE(unit["outcome"].toString(), outcome);
            QCOMPARE(unit["reasonCode"].toString(), outcomes[k].section(':', 1));
            QCOMPARE(unit["reason"].isString(), outcome != "success");
            QCOMPARE(unit["program"].toString(), QStringLiteral("fwflash"));
            QVERIFY(QDateTime::fromString(unit["endTime"].toString(), Qt::ISODateWithMs) >=
                    QDateTime::fromString(unit["time"].toString(), Qt::ISODateWithMs));
            QCOMPARE(unit["sha256"].toString(),
                     QString(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
            QCOMPARE(unit["imageSize"].toInt(), image.size());
            QCOMPARE(unit["imageCheck"].toString() == "plausible", !arguments.contains("--force"));
            if (devices[i] == QStringList{"missing"}) {
                QVERIFY(unit["identification"].isNull()); // never asked
                continue;
            }
            QCOMPARE(unit["bytesSent"].toInt() == image.size(), delivered);
            QCOMPARE(unit["rateKBps"].toDouble() > 0, delivered);
            QCOMPARE(unit["startCommand"].toString(), QStringLiteral("*FWUPD"));
            // The paced line is never faster than 115200 baud (at least 8 bits a byte).
            if (devices[i].contains("paced") && delivered)
                QVERIFY2(unit["durationS"].toDouble() >= image.size() / 14400.0,
                         "faster than the line");
            QVERIFY(unit["durationS"].toDouble() < 60);
            // The simulator saves what it received right after its last answer, always to one
            // numbered file beside the user's own app.bin, which it never overwrites.
            const QString saved = path(QStringLiteral("out%1/app.bin").arg(i));
            QTRY_COMPARE_WITH_TIMEOUT(readBytes(saved + ".1") == image, delivered,
                                      Program::kStartMs);
            QCOMPARE(readBytes(saved), kUsersFile);
            QVERIFY(!QFileInfo::exists(saved + ".2"));
            // Each board with its own serial number: before, and after from the same unit.
            const QString serial = devices[i].contains("--idn")
                                       ? QStringLiteral("SN000%1").arg(k + 1)
                                       : QStringLiteral("SN0001");
            QCOMPARE(unit["identification"].toString(), "Orvane,TM-1," + serial + ",1.0.38");
            QCOMPARE(unit["unitSerial"].toString(), serial);
            QCOMPARE(unit["versionBefore"].toString(), QStringLiteral("1.0.38"));
            if (arguments.contains("--expect-version")) {
                // After the update the unit answers its new version, unless another one answered.
                QCOMPARE(unit["versionReadBack"].toString(),
                         replaced ? QStringLiteral("Orvane,TM-1,SN000%1,1.0.38").arg(k + 2)
                                  : "Orvane,TM-1," + serial + ",1.0.39");
                QCOMPARE(unit["versionAfter"].toString(), replaced ? QString() : "1.0.39");
                QCOMPARE(unit["versionConfirmed"].toBool(), outcome == "success");
            } else {
                QVERIFY(unit["versionReadBack"].isNull() && unit["expectedVersion"].isNull());
            }
        }
        for (const QString &phrase : said.mid(0, said.size() - flasherSaid.size()))
            QVERIFY2(!m_devices.first()->waitFor(QRegularExpression::escape(phrase)).isEmpty(),
                     qPrintable(phrase + " not in:\n" + m_devices.first()->output()));
    }

    // Ctrl+C (or SIGTERM) in the middle of a transfer ends with 130 (143) and tells the device's
    // receiver (CAN); an update started two seconds later succeeds, also on a device that ignores
    // the cancel, which is then found still waiting rather than after the handshake's minute.
    void interruptedThenAgain_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("said"); // by the simulator after the signal
        QTest::newRow("Ctrl+C: 130, and the receiver stops on the cancel")
            << QStringList{} << SIGINT << "The sender cancelled the transfer \\(CAN\\)";
        QTest::newRow("SIGTERM: 143; a receiver that ignores the cancel gives up, asks again")
            << QStringList{"--ignore-cancel"} << SIGTERM
            << "Fault: the sender's cancel \\(CAN\\) ignored.*\n.*The receiver timed out";
    }
    void interruptedThenAgain()
    {
        QFETCH(QStringList, options);
        QFETCH(int, signal);
        QFETCH(QString, said);
        QVERIFY(writeBytes(path("app.bin"), testImage(120000)));
        // Four times the usual speed: the image takes 2.6 s on the line, time enough to stop it.
        Simulator device(options + QStringList{"--baud", "460800", "--link", path("tty0"),
                                               "--output", m_dir->path()});
        QVERIFY(!device.port().isEmpty());
        const QStringList command{"--json", path("units.json"), "--records", storeUrl(),
                                  "-p",     path("tty0"),       path("app.bin")};
        Program flasher(command, QStringLiteral(FWFLASH_PATH), path("config"));
        // Its progress shows the phase, the bytes, then the rate and the time left once known;
        // plain lines carry the time to the millisecond.
        const QString progress =
            "waiting for bootloader\n[\\s\\S]*transferring  0/120000 B +0%\n"
            "[\\s\\S]*\\.\\d\\d\\dZ  (\\S+ +transferring +\\d+/120000 B +\\d+%  \\d+\\.\\d KB/s  "
            "\\d+:\\d\\d left)";
        QVERIFY(!flasher.waitFor(progress, Program::kExitMs).isEmpty());
        flasher.signal(signal);
        QCOMPARE(flasher.finish(), 128 + signal);
        QVERIFY2(!device.waitFor(said).isEmpty(),
                 qPrintable(said + " not in:\n" + device.output()));

        QTest::qWait(2000); // the user starts again two seconds later, on the port let go
        Program again(command, QStringLiteral(FWFLASH_PATH), path("config"));
        QCOMPARE(again.finish(), 0); // within the 30 s of kExitMs
        const QList<QJsonObject> units = records();
        QVERIFY(units.size() == 2 && units[0]["outcome"] == "interrupted" &&
                units[0]["reasonCode"] == "user-cancelled" && units[1]["outcome"] == "success");
        QCOMPARE(storedRecords(storeUrl()), units);
        QVERIFY(!device.waitFor("the image MATCHED").isEmpty());
    }

    void imageRefusalsInTheWindowsWords_data()
    {
        QTest::addColumn<QString>("name"); // made as a folder when it ends in "/"
        QTest::addColumn<QString>("said"); // on stderr
        QTest::newRow("a path to nothing is a missing file") << "gone.bin" << "文件不存在：{path}";
        QTest::newRow("a folder is no file") << "folder.bin/" << "不是文件：{path}";
        QTest::newRow("another suffix keeps the .bin message")
            << "app.hex" << "{path}: 无效文件，仅支持 .bin 格式。";
    }
    void imageRefusalsInTheWindowsWords()
    {
        QFETCH(QString, name);
        QFETCH(QString, said);
        const QString image = path(name.chopped(name.endsWith('/') ? 1 : 0));
        if (name.endsWith('/'))
            QVERIFY(QDir().mkpath(image));
        else if (name.endsWith(".hex"))
            QVERIFY(writeBytes(image, testImage(4096)));
        Program flasher({"-p", path("tty0"), image}, QStringLiteral(FWFLASH_PATH), path("config"));
        QCOMPARE(flasher.finish(), 2);
        QCOMPARE(flasher.errors().trimmed(), "fwflash: " + said.replace("{path}", image));
    }

    // What the command line is refused or answered with before any update starts.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments"); // {link}, {target}: the simulator's port
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // on standard output, or on standard error for 2
        QTest::newRow("--help-all prints the help under the program's name and touches no port")
            << QStringList{"--help-all", "-p", "{link}", "app.bin"} << 0
            << "Usage: fwflash [options] IMAGE";
        QTest::newRow("--list-ports --json gives the ports as a JSON array")
            << QStringList{"--list-ports", "--json"} << 0 << "[";
        QTest::newRow("a link and its target are one device given twice")
            << QStringList{"-p", "{link}", "-p", "{target}", "app.bin"} << 2 << "given twice";
        QTest::newRow("a history filter without --history is refused")
            << QStringList{"--unit", "SN1", "-p", "{link}", "app.bin"} << 2
            << "--unit works only with --history";
        QTest::newRow("--max-kb 0 is refused")
            << QStringList{"--max-kb", "0", "-p", "{link}", "app.bin"} << 2 << "--max-kb wants";
        QTest::newRow("a day that is no day is refused")
            << QStringList{"--history", "--since", "2026-13-01"} << 2 << "YYYY-MM-DD";
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, said);
        QVERIFY(writeBytes(path("app.bin"), testImage(4096)));
        Simulator device({"--unpaced", "--link", path("tty0"), "--output", m_dir->path()});
        const QString target = device.port();
        QVERIFY(!target.isEmpty());
        arguments.replaceInStrings("{link}", path("tty0")).replaceInStrings("{target}", target);
        arguments.replaceInStrings(QRegularExpression("^app.bin$"), path("app.bin"));
        Program flasher(arguments, QStringLiteral(FWFLASH_PATH), path("config"));
        QCOMPARE(flasher.finish(), status);
        const QString shown = status == 2 ? flasher.errors() : flasher.output();
        QVERIFY2(shown.contains(said), qPrintable(shown));
        if (arguments.contains("--json")) {
            const QJsonDocument list = QJsonDocument::fromJson(flasher.output().toUtf8());
            QVERIFY(list.isArray());
            for (const QJsonValue &port : list.array())
                QVERIFY(port["name"].isString() && port.toObject().contains("vidPid"));
        }
        // A query would have been answered by now.
        QVERIFY2(device.waitFor("Identification query", 500).isEmpty(), qPrintable(device.output()));
    }

    // --history reads the store back, newest first, filtered, in three formats.
    void history_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<int>("sinceRecord"); // -1: from the first
        QTest::newRow("every record as JSON lines") << QStringList{"--format", "json"} << "" << -1;
        QTest::newRow("one unit's records")
            << QStringList{"--format", "json", "--unit", "SN00003"} << "SN00003" << -1;
        QTest::newRow("from a day on, as a table")
            << QStringList{"--since", "{day}"} << "" << 20;
        QTest::newRow("one unit from a day on, as CSV")
            << QStringList{"--format", "csv", "--unit", "SN00004", "--since", "{day}"} << "SN00004"
            << 20;
    }
    void history()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, unit);
        QFETCH(int, sinceRecord);
        // 40 attempts of 10 units, one every 40 minutes: the records span two local days.
        QList<UpdateRecord> all;
        for (int n = 0; n < 40; ++n) {
            all << sampleRecord(n, 10);
            all.last().startedUtc = all.last().startedUtc.addSecs(n * 2310);
        }
        RecordStore store;
        QVERIFY(store.open(storeUrl()) && store.append(all));
        const QDate day =
            sinceRecord < 0 ? QDate() : all[sinceRecord].startedUtc.toLocalTime().date();
        arguments.replaceInStrings("{day}", day.toString(Qt::ISODate));
        QList<UpdateRecord> expected;
        for (const UpdateRecord &r : std::as_const(all)) {
            if ((unit.isEmpty() || r.unitSerial == unit) &&
                (!day.isValid() || r.startedUtc.toLocalTime().date() >= day))
                expected.prepend(r); // newest first
        }
        QVERIFY(expected.size() < all.size() || arguments.size() == 2);

        Program flasher(QStringList{"--history", "--records", storeUrl()} + arguments,
                        QStringLiteral(FWFLASH_PATH), path("config"));
        QCOMPARE(flasher.finish(), 0);
        const QStringList lines = flasher.output().split('\n', Qt::SkipEmptyParts);
        if (arguments.contains("json")) {
            QList<QJsonObject> wanted;
            for (const UpdateRecord &r : std::as_const(expected))
                wanted << Records::toJson(r);
            QCOMPARE(jsonLines(flasher.output().toUtf8()), wanted);
        } else if (arguments.contains("csv")) {
            QCOMPARE(lines.size(), expected.size() + 1);
            QCOMPARE(lines.first(), Records::csvHeader());
            QCOMPARE(lines.last(), Records::csvRow(expected.last()));
        } else {
            QCOMPARE(lines.size(), expected.size() + 1);
            QVERIFY(lines.first().startsWith("TIME "));
            QVERIFY(lines[1].startsWith(
                expected.first().startedUtc.toLocalTime().toString("yyyy-MM-dd HH:mm:ss")));
        }
    }

    void readBackThroughPortSession_data()
    {
        QTest::addColumn<QString>("after"); // the application's reply after the update
        QTest::addColumn<bool>("loop");
        QTest::addColumn<QStringList>("outcomes"); // of the records, with their reason codes
        QTest::newRow("the expected version is a success") << kNewVersion << false
                                                           << QStringList{"success:"};
        QTest::newRow("the version before fails the unit")
            << "Orvane,TM-1,SN0001,1.0.38" << false
            << QStringList{"version-mismatch:version-mismatch"};
        QTest::newRow("another serial number is a unit replaced, even with the expected version")
            << "Orvane,TM-1,SN0002,1.0.39" << false << QStringList{"failed:unit-replaced"};
        QTest::newRow("in the loop the unit that answered instead is updated next")
            << "Orvane,TM-1,SN0002,1.0.39" << true
            << QStringList{"failed:unit-replaced", "success:"};
        QTest::newRow("silence fails the unit when the time is up")
            << "" << false << QStringList{"version-mismatch:no-read-back"};
    }
    void readBackThroughPortSession()
    {
        QFETCH(QString, after);
        QFETCH(bool, loop);
        QFETCH(QStringList, outcomes);
        using namespace std::chrono_literals;
        ScriptedDevice::Script script;
        script.identificationAfterUpdate =
            after.isEmpty() ? ScriptedDevice::silence() : ScriptedDevice::text(after.toUtf8());
        ScriptedDevice device(script);
        QVERIFY(writeBytes(path("app.bin"), testImage(4096)));
        PortSession::Settings settings;
        settings.port = device.portName();
        settings.image.path = path("app.bin");
        settings.image.size = 4096;
        settings.sizeLimit = 236544;
        settings.expectVersion = QStringLiteral("1.0.39");
        settings.loop = loop;
        PortSession session(settings);
        session.setReadBackTimingForTesting({2000ms, 0ms, 100ms, 100ms});
        QList<UpdateRecord> records;
        connect(&session, &PortSession::unitFinished, this,
                [&records](const UpdateRecord &record) { records << record; });
        session.start();
        QTRY_COMPARE_WITH_TIMEOUT(records.size(), outcomes.size(), Program::kExitMs);
        session.interrupt();
        QVERIFY(session.stopThread(QDeadlineTimer(Program::kStartMs)));
        for (int k = 0; k < outcomes.size(); ++k) {
            const UpdateRecord &unit = records[k];
            QCOMPARE(unit.outcome + ':' + unit.reasonCode, outcomes[k]);
            QCOMPARE(unit.reason.isEmpty(), unit.outcome == "success");
            QCOMPARE(unit.identBefore,
                     k == 0 ? QStringLiteral("Orvane,TM-1,SN0001,1.0.38") : after);
            QCOMPARE(unit.identAfter, after);
            QCOMPARE(unit.versionConfirmed, unit.outcome == "success");
        }
    }

    // Stopped while its port opens, a single run's unit is interrupted; the loop has no unit yet
    // (nobody has asked the board who it is) and ends without a record.
    void stopWhileThePortOpens_data()
    {
        QTest::addColumn<bool>("loop");
        QTest::newRow("a single run records its unit as interrupted") << false;
        QTest::newRow("the loop ends without a record") << true;
    }
    void stopWhileThePortOpens()
    {
        QFETCH(bool, loop);
        const ScriptedDevice::Script script;
        ScriptedDevice device(script);
        PortSession::Settings settings;
        settings.port = device.portName();
        settings.loop = loop;
        PortSession session(settings);
        QList<UpdateRecord> records;
        connect(&session, &PortSession::unitFinished, this,
                [&records](const UpdateRecord &record) { records << record; });
        session.start();
        QCOMPARE(session.step(), PortSession::Step::Connecting);
        QCOMPARE(session.unitRunning(), !loop);
        session.interrupt();
        QCOMPARE(session.step(), PortSession::Step::Done);
        QCOMPARE(records.size(), loop ? 0 : 1);
        QVERIFY(session.stopThread(QDeadlineTimer(Program::kStartMs)));
    }

    // The summary of a long line: port, result, bytes, seconds to the millisecond, unit; a
    // reason on its own indented lines; nothing wider than 80 columns.
    void summaryFitsEightyColumns()
    {
        UpdateRecord failed = sampleRecord(9);
        failed.port = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3B2X-if00-port0";
        failed.reasonCode = "port-lost";
        failed.reason = QString("串口错误：设备已断开或丢失，请检查数据线后重新连接").repeated(3);
        UpdateRecord good = sampleRecord(10);
        good.identBefore = QString("X").repeated(120); // a reply without fields
        good.unitSerial.clear();
        QString text = FlashReport::summaryTable({failed, good});
        const QStringList lines = text.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1 + 1 + 3 + 1); // header, row, the reason's lines, row
        for (const QString &line : lines)
            QVERIFY2(FlashReport::displayWidth(line) <= 80, qPrintable(line));
        QVERIFY2(lines[1].contains(QRegularExpression(
                     "^…\\S+A10K3B2X-if00-port0  failed +40960 +4\\.200 +SN00009 1\\.0\\.38$")),
                 qPrintable(lines[1]));
        QVERIFY(lines[2].startsWith("    port-lost: 串口错误"));
        QVERIFY(text.remove(' ').remove('\n').contains(failed.reason));
        QVERIFY(lines[5].endsWith("XXX…"));
    }

    // A unit is known by the serial number it answers with, else by its own USB adapter's, never
    // by a fixture's; the units a run remembers stay bounded, the newest kept. A read-back follows
    // its adapter's serial number to a new port, its VID:PID only in the window: in a run of
    // several ports the port that appears may be another session's board.
    void unitsAreKnownAndBounded()
    {
        const DeviceIdentity unnamed = DeviceIdentity::fromReply("TM-1 bootloader v2");
        const DeviceIdentity named = DeviceIdentity::fromReply("Orvane,TM-1,SN0007,1.0.38");
        QCOMPARE(Production::unitKey(named, "A10K", false), "unit:SN0007");
        QCOMPARE(Production::unitKey(unnamed, "A10K", true), "usb:A10K");
        QCOMPARE(Production::unitKey(unnamed, "A10K", false), QString());
        QVERIFY(Production::isAnotherUnit(unnamed, unnamed, "A10K", "B20L"));
        QVERIFY(!Production::isAnotherUnit(named, named, "A10K", "B20L"));
        Production::RecentUnits units;
        for (int n = 0; n <= Production::RecentUnits::kCapacity; ++n)
            units.add(QString::number(n));
        QCOMPARE(units.size(), Production::RecentUnits::kCapacity);
        QVERIFY(!units.contains("0") && units.contains("1") &&
                units.contains(QString::number(Production::RecentUnits::kCapacity)));
        PortListing was(QStringLiteral("ttyUSB0")), other(QStringLiteral("ttyUSB1"));
        was.hasIds = other.hasIds = true;
        QCOMPARE(reappearedPort(was, {other}, {}, true), "ttyUSB1");
        QCOMPARE(reappearedPort(was, {other}, {}, false), QString());
        was.serialNumber = other.serialNumber = QStringLiteral("A10K");
        QCOMPARE(reappearedPort(was, {other}, {}, false), "ttyUSB1");
        QCOMPARE(FlashReport::exitStatus(0, 0), 0);
        QCOMPARE(FlashReport::exitStatus(1, 0), 1);
    }

    void versionsAreReadAsWholeNumbers_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<bool>("carries1039");
        // The whole version in a reply, and another one, are told apart in the flasher's runs.
        QTest::newRow("a version followed by text is found") << "v1.0.39 (build 7)" << true;
        QTest::newRow("a longer last number is another version") << "TM-1,1.0.391" << false;
        QTest::newRow("a fourth number makes another version") << "TM-1,1.0.39.2" << false;
        QTest::newRow("a longer first number is another version") << "TM-1,11.0.39" << false;
        QTest::newRow("the dots must be dots") << "TM-1,1a0b39" << false;
    }
    void versionsAreReadAsWholeNumbers()
    {
        QFETCH(QString, reply);
        QFETCH(bool, carries1039);
        QCOMPARE(carriesVersion(reply, QStringLiteral("1.0.39")), carries1039);
    }
};

QTEST_GUILESS_MAIN(tst_FwFlash)
#include "tst_fwflash.moc"
