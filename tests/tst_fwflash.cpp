// The command-line flasher and the device simulator as programs: the flasher runs against
// simulators on pseudo-terminals and is judged by its exit status, its JSON records, what the
// simulators said and the images they received.

#include "cli/flashreport.h"
#include "production/portsession.h"
#include "device/deviceidentity.h"
#include "scripteddevice.h"
#include "simulatorprocess.h"
#include "testimage.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const QString kNewVersion = QStringLiteral("Orvane,TM-1,SN0001,1.0.39");
const QByteArray kUsersFile = "the user's own file";
} // namespace

// One folder per test: the images, the record file, a private settings store and an output
// folder per simulated device.
class tst_FwFlash : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QList<std::shared_ptr<Simulator>> m_devices;

    QString path(const QString &name) const { return m_dir->filePath(name); }
    QList<QJsonObject> records() const
    {
        QList<QJsonObject> units;
        for (const QByteArray &line : readBytes(path("units.json")).split('\n'))
            if (!line.isEmpty())
                units.append(QJsonDocument::fromJson(line).object());
        return units;
    }

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
        // shows that none was tried. An outcome may go on with the start of the unit's reason.
        QTest::addColumn<QList<QStringList>>("devices");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("outcomes"); // of the records, in the order of their ports
        QTest::addColumn<QStringList>("said");     // by the first simulator
        QTest::addColumn<QByteArray>("image");     // null: no file there
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
        const QStringList numbered{"--idn", "Orvane,TM-1,SN000{n},1.0.38"};
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
        row("a port lost on the paced line fails the unit with a port error",
            {{"paced", "--lose-port-block", "3"}}, {}, 1, {"failed:串口错误"},
            {"Line dropped at data block 3"});
        row("a port that does not exist fails at once", missing, {}, 1, {"failed"});
        row("of two ports at once the one whose device cancels fails so, the other is intact",
            {{"--cancel-block", "3"}, {}}, {}, 1, {"failed:设备中止了传输", "success"},
            {"The receiver cancelled the transfer"});
        row("the version expected and reported after the jump passes", {newVersion}, expect1039, 0,
            {"success"});
        row("a port that re-enumerates after the jump is opened again to read the version",
            {newVersion + QStringList{"--reenumerate-after-update", "300"}}, expect1039, 0,
            {"success"});
        row("a whole-flash image goes out with --force, its verdict in the record", one,
            {"--force"}, 0, {"success"}, {}, wholeFlash);
        row("the loop serves boards unplugged and the next plugged in behind one link",
            {numbered + QStringList{"--next-board-after-update", "800"}}, {"--wait"}, 0,
            {"success", "success"});
        row("the loop serves boards swapped on a port that stays, told apart by their reply",
            {numbered + QStringList{"--swap-board-after-update", "800"}}, {"--wait"}, 0,
            {"success", "success"});
        refused("an empty image is refused", {}, testImage(0));
        refused("an image above the default 231 KiB is refused", {}, testImage(231 * 1024 + 1));
        refused("an image above the store's maxFirmwareKB is refused", {}, testImage(5000), "4");
        refused("an image above --max-kb is refused, whatever the store says", {"--max-kb", "4"},
                testImage(5000), "200");
        refused("a whole-flash image is refused without --force", {}, wholeFlash);
        refused("a size limit that is no number is refused", {"--max-kb", "lots"});
        refused("a version that is no version is refused", {"--expect-version", "new"});
        refused("Enter as the next device without the loop is refused", {"--next-on-enter"});
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
        QStringList ports, command{"--json", path("units.json"), path("app.bin")};
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
        if (arguments.contains("--wait")) {
            // Once the boards are served the line is closed, so that no other comes, and Ctrl+C
            // ends the loop cleanly.
            QTRY_COMPARE_WITH_TIMEOUT(records().size(), outcomes.size(), Program::kExitMs);
            m_devices.first()->signal(SIGTERM);
            QVERIFY(m_devices.first()->finish() >= 0);
            flasher.signal(SIGINT);
        }
        QCOMPARE(flasher.finish(), status);

        QList<QJsonObject> units = records();
        QCOMPARE(units.size(), outcomes.size());
        std::stable_sort(units.begin(), units.end(),
                         [](const QJsonObject &a, const QJsonObject &b) {
                             return a["port"].toString() < b["port"].toString();
                         });
        for (int k = 0; k < units.size(); ++k) {
            const QJsonObject &unit = units[k];
            const int i = int(ports.indexOf(unit["port"].toString()));
            QVERIFY(i >= 0);
            const QString outcome = outcomes[k].section(':', 0, 0);
            const bool delivered = outcome == "success" || outcome == "version-mismatch";
            QCOMPARE(unit["outcome"].toString(), outcome);
            QCOMPARE(unit["reason"].isString(), outcome != "success");
            QVERIFY2(unit["reason"].toString().startsWith(outcomes[k].section(':', 1)),
                     qPrintable(unit["reason"].toString()));
            QCOMPARE(unit["sha256"].toString(),
                     QString(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
            QCOMPARE(unit["imageSize"].toInt(), image.size());
            QCOMPARE(unit["imageCheck"].toString() == "plausible", !arguments.contains("--force"));
            if (devices[i] == QStringList{"missing"})
                continue;
            QCOMPARE(unit["bytesSent"].toInt() == image.size(), delivered);
            QCOMPARE(unit["startCommand"].toString(), QStringLiteral("*FWUPD"));
            // The paced line is never faster than 115200 baud (at least 8 bits a byte).
            if (devices[i].contains("paced") && delivered)
                QVERIFY2(unit["durationS"].toDouble() >= image.size() / 14400.0,
                         "faster than the line");
            // The simulator saves what it received right after its last answer, always to one
            // numbered file beside the user's own app.bin, which it never overwrites.
            const QString saved = path(QStringLiteral("out%1/app.bin").arg(i));
            QTRY_COMPARE_WITH_TIMEOUT(readBytes(saved + ".1") == image, delivered,
                                      Program::kStartMs);
            QCOMPARE(readBytes(saved), kUsersFile);
            QVERIFY(!QFileInfo::exists(saved + ".2"));
            if (arguments.contains("--expect-version"))
                QCOMPARE(unit["versionReadBack"].toString(), kNewVersion);
            if (devices[i].contains("--idn"))
                QVERIFY(unit["identification"].toString().contains(QString("SN000%1").arg(k + 1)));
        }
        for (const QString &phrase : said)
            QVERIFY2(!m_devices.first()->waitFor(QRegularExpression::escape(phrase)).isEmpty(),
                     qPrintable(phrase + " not in:\n" + m_devices.first()->output()));
    }

    // Ctrl+C in the middle of a transfer ends with 130 and tells the device's receiver (CAN); an
    // update started two seconds later succeeds, also on a device that ignores the cancel, which
    // is then found still waiting rather than after the handshake's minute.
    void interruptedThenAgain_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("said"); // by the simulator after the Ctrl+C
        QTest::newRow("the receiver stops on the cancel")
            << QStringList{} << "The sender cancelled the transfer \\(CAN\\)";
        QTest::newRow("a receiver that ignores the cancel gives up after its time-out, asks again")
            << QStringList{"--ignore-cancel"}
            << "Fault: the sender's cancel \\(CAN\\) ignored.*\n.*The receiver timed out";
    }
    void interruptedThenAgain()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, said);
        QVERIFY(writeBytes(path("app.bin"), testImage(120000)));
        // Four times the usual speed: the image takes 2.6 s on the line, time enough to stop it.
        Simulator device(options + QStringList{"--baud", "460800", "--link", path("tty0"),
                                               "--output", m_dir->path()});
        QVERIFY(!device.port().isEmpty());
        const QStringList command{"--json", path("units.json"), "-p", path("tty0"),
                                  path("app.bin")};
        Program flasher(command, QStringLiteral(FWFLASH_PATH), path("config"));
        // Its progress shows the phase, the bytes, then the rate and the time left once known.
        const QString progress =
            "waiting for bootloader\n[\\s\\S]*transferring  0/120000 B +0%\n"
            "[\\s\\S]*(transferring +\\d+/120000 B +\\d+%  \\d+\\.\\d KB/s  \\d+:\\d\\d left)";
        QVERIFY(!flasher.waitFor(progress, Program::kExitMs).isEmpty());
        flasher.signal(SIGINT);
        QCOMPARE(flasher.finish(), 130);
        QVERIFY2(!device.waitFor(said).isEmpty(),
                 qPrintable(said + " not in:\n" + device.output()));

        QTest::qWait(2000); // the user starts again two seconds later, on the port let go
        Program again(command, QStringLiteral(FWFLASH_PATH), path("config"));
        QCOMPARE(again.finish(), 0); // within the 30 s of kExitMs
        const QList<QJsonObject> units = records();
        QVERIFY(units.size() == 2 && units[0]["outcome"] == "interrupted" &&
                units[1]["outcome"] == "success");
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

    void readBackThroughPortSession_data()
    {
        QTest::addColumn<QString>("after");   // the application's reply after the update
        QTest::addColumn<QString>("outcome"); // and the start of its reason
        QTest::newRow("the expected version is a success") << kNewVersion << "success";
        QTest::newRow("the version before fails the unit")
            << "Orvane,TM-1,SN0001,1.0.38" << "version-mismatch:the application answers";
        QTest::newRow("another serial number fails the unit, even with the expected version")
            << "Orvane,TM-1,SN0002,1.0.39" << "version-mismatch:another unit answers";
        QTest::newRow("silence fails the unit when the time is up")
            << "" << "version-mismatch:the application did not answer within 2 s";
    }
    void readBackThroughPortSession()
    {
        QFETCH(QString, after);
        QFETCH(QString, outcome);
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
        PortSession session(settings);
        session.setReadBackTimingForTesting({2000ms, 0ms, 100ms, 100ms});
        QList<FlashReport::UnitRecord> records;
        connect(&session, &PortSession::unitFinished, this,
                [&records](const FlashReport::UnitRecord &record) { records << record; });
        session.start();
        QTRY_COMPARE_WITH_TIMEOUT(records.size(), 1, Program::kExitMs);
        QVERIFY(session.stopThread(QDeadlineTimer(Program::kStartMs)));
        const FlashReport::UnitRecord &unit = records.first();
        QCOMPARE(FlashReport::outcomeName(unit.outcome), outcome.section(':', 0, 0));
        QVERIFY2(unit.reason.startsWith(outcome.section(':', 1)), qPrintable(unit.reason));
        QCOMPARE(unit.identification, QStringLiteral("Orvane,TM-1,SN0001,1.0.38"));
        QCOMPARE(unit.readBack, !after.isEmpty());
        QCOMPARE(unit.versionReadBack, after);
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
