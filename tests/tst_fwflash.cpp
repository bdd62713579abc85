// The command-line flasher as a program: run against the device simulator on pseudo-terminals,
// judged by its exit status, its JSON records and the images the simulated devices received.

#include "cli/flashoptions.h"
#include "cli/flashreport.h"
#include "workertestaccess.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTest>
#include <QtEndian>

#include <csignal>
#include <memory>

using FlashReport::Outcome;

namespace {

const QString kFlasher = QStringLiteral(FWFLASH_PATH);
const QString kSimulator = QStringLiteral(FWDEVSIM_PATH);
constexpr int kStartMs = 5000;
constexpr int kRunMs = 30000;
const QString kNewVersion = QStringLiteral("Orvane,TM-1,SN0001,1.0.39");

// A process whose output is collected as it comes; waitFor() looks for a pattern in it.
class Program
{
public:
    Program(const QString &program, const QStringList &arguments, const QString &configDir = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!configDir.isEmpty())
            env.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir); // never the user's store
        m_process.setProcessEnvironment(env);
        m_process.start(program, arguments);
    }
    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(kStartMs);
        }
    }
    // The first capture of pattern in the output, empty when it did not come within the time.
    QString waitFor(const QString &pattern, int timeoutMs = kStartMs)
    {
        const QRegularExpression expression(pattern);
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            m_output += m_process.readAllStandardOutput();
            const QRegularExpressionMatch match =
                expression.match(QString::fromLocal8Bit(m_output));
            if (match.hasMatch())
                return match.captured(match.lastCapturedIndex());
            if (clock.elapsed() > timeoutMs || m_process.state() == QProcess::NotRunning)
                return QString();
            m_process.waitForReadyRead(100);
        }
    }
    void signal(int number) { ::kill(pid_t(m_process.processId()), number); }
    // The exit status, -1 when it did not end normally within the time.
    int finish(int timeoutMs = kRunMs)
    {
        const bool ended =
            m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
        m_output += m_process.readAllStandardOutput();
        return ended && m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    QString output() const { return QString::fromLocal8Bit(m_output); }

private:
    QProcess m_process;
    QByteArray m_output;
};

QList<QJsonObject> records(const QString &path)
{
    QList<QJsonObject> out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            out.append(QJsonDocument::fromJson(line).object());
    }
    return out;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

// One folder per test: the image, the record file, a private settings store and an output
// folder per simulated device.
class tst_FwFlash : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void devicesUpdatedAtOnce_data();
    void devicesUpdatedAtOnce();
    void refusedBeforeAnyPortIsOpened_data();
    void refusedBeforeAnyPortIsOpened();
    void ctrlCInTheMiddleOfATransfer();
    void theLoopServesOneDeviceAfterTheOther_data();
    void theLoopServesOneDeviceAfterTheOther();
    void versionsAreReadAsWholeNumbers_data();
    void versionsAreReadAsWholeNumbers();
    void theExitStatusFollowsTheOutcomes_data();
    void theExitStatusFollowsTheOutcomes();
    void theProgressLineTellsTheTransfer_data();
    void theProgressLineTellsTheTransfer();
    void summaryColumnsAlignWithChineseReasons();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // Starts a simulator saving into out<index>; returns the port it announced.
    QString startDevice(int index, const QStringList &options);

    std::unique_ptr<QTemporaryDir> m_dir;
    QList<std::shared_ptr<Program>> m_devices;
    QByteArray m_image;
};

void tst_FwFlash::init()
{
    m_devices.clear();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_image = testImage(20000);
    QVERIFY(writeFile(path("app.bin"), m_image));
}

QString tst_FwFlash::startDevice(int index, const QStringList &options)
{
    const QString out = path(QStringLiteral("out%1").arg(index));
    QDir().mkpath(out);
    auto device = std::make_shared<Program>(kSimulator, options + QStringList{"--output", out});
    m_devices.append(device);
    return device->waitFor(QStringLiteral("Port to use: (\\S+)"));
}

void tst_FwFlash::devicesUpdatedAtOnce_data()
{
    // One simulator per entry of devices (its options; "missing" stands for no device at all).
    QTest::addColumn<QList<QStringList>>("devices");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<QStringList>("outcomes");

    const QStringList newVersion{"--idn-after-update", kNewVersion};
    QTest::newRow("one device takes the image intact and leaves one record of it")
        << QList<QStringList>{{}} << QStringList{} << 0 << QStringList{"success"};
    QTest::newRow("a device that cancels fails with the reason in the record")
        << QList<QStringList>{{"--cancel-block", "2"}} << QStringList{} << 1
        << QStringList{"failed"};
    QTest::newRow("a port that does not exist fails at once")
        << QList<QStringList>{{"missing"}} << QStringList{} << 1 << QStringList{"failed"};
    QTest::newRow("of two ports at once the one that cancels fails, the other is intact")
        << QList<QStringList>{{"--cancel-block", "3"}, {}} << QStringList{} << 1
        << QStringList{"failed", "success"};
    QTest::newRow("the version expected and reported after the jump passes")
        << QList<QStringList>{newVersion} << QStringList{"--expect-version", "1.0.39"} << 0
        << QStringList{"success"};
    QTest::newRow("another version than the one expected fails the unit")
        << QList<QStringList>{newVersion} << QStringList{"--expect-version", "1.0.40"} << 1
        << QStringList{"version-mismatch"};
    QTest::newRow("a whole-flash image goes out with --force, its verdict in the record")
        << QList<QStringList>{{}} << QStringList{"--force"} << 0 << QStringList{"success"};
    QTest::newRow("a port that re-enumerates after the jump is opened again to read the version")
        << QList<QStringList>{newVersion + QStringList{"--reenumerate-after-update", "300"}}
        << QStringList{"--expect-version", "1.0.39"} << 0 << QStringList{"success"};
}

void tst_FwFlash::devicesUpdatedAtOnce()
{
    QFETCH(QList<QStringList>, devices);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitStatus);
    QFETCH(QStringList, outcomes);

    const bool forced = arguments.contains("--force");
    if (forced) {
        // Linked at 0x08000000 with the bootloader: the reset handler in its first 16 KiB.
        qToLittleEndian<quint32>(0x080001C5, m_image.data() + 4);
        QVERIFY(writeFile(path("app.bin"), m_image));
    }
    QStringList ports;
    for (int i = 0; i < devices.size(); ++i) {
        if (devices[i] == QStringList{"missing"}) {
            ports << path("no-such-port");
            continue;
        }
        // A device that leaves the line is reached through its link, as on a production line.
        const QString link = path(QStringLiteral("tty%1").arg(i));
        const QString port = startDevice(i, devices[i] + QStringList{"--unpaced", "--link", link});
        QVERIFY(!port.isEmpty());
        ports << link;
    }
    QStringList command{"--json", path("units.json"), path("app.bin")};
    for (const QString &port : std::as_const(ports))
        command << "-p" << port;
    Program flasher(kFlasher, command + arguments, path("config"));
    QCOMPARE(flasher.finish(), exitStatus);

    const QList<QJsonObject> units = records(path("units.json"));
    QCOMPARE(units.size(), ports.size());
    const QString sha =
        QString::fromLatin1(QCryptographicHash::hash(m_image, QCryptographicHash::Sha256).toHex());
    for (const QJsonObject &unit : units) {
        const int port = int(ports.indexOf(unit["port"].toString()));
        QVERIFY(port >= 0);
        const QString outcome = outcomes.at(port);
        QCOMPARE(unit["outcome"].toString(), outcome);
        QCOMPARE(unit["reason"].isString(), outcome != QLatin1String("success"));
        QCOMPARE(unit["sha256"].toString(), sha);
        QCOMPARE(unit["imageSize"].toInt(), m_image.size());
        QCOMPARE(unit["imageCheck"].toString() == QLatin1String("plausible"), !forced);
        if (devices[port] == QStringList{"missing"})
            continue;
        QCOMPARE(unit["startCommand"].toString(), QStringLiteral("*FWUPD"));
        // The simulator saves what it received right after its last answer.
        const QString received = path(QStringLiteral("out%1/app.bin").arg(port));
        QTRY_COMPARE_WITH_TIMEOUT(contents(received) == m_image, outcome != QLatin1String("failed"),
                                  kStartMs);
        if (arguments.contains("--expect-version"))
            QCOMPARE(unit["versionReadBack"].toString(), kNewVersion);
    }
}

void tst_FwFlash::refusedBeforeAnyPortIsOpened_data()
{
    // A port that cannot open would fail with 1: status 2 shows that none was tried.
    QTest::addColumn<int>("imageSize"); // -1: no file, -2: a whole-flash image
    QTest::addColumn<QString>("storedKB");
    QTest::addColumn<QStringList>("arguments");

    const QString image = QStringLiteral("{image}");
    QTest::newRow("an empty image") << 0 << "" << QStringList{"-p", "{port}", image};
    QTest::newRow("an image above the default 231 KiB")
        << 231 * 1024 + 1 << "" << QStringList{"-p", "{port}", image};
    QTest::newRow("an image above the store's maxFirmwareKB, as in the window")
        << 5000 << "4" << QStringList{"-p", "{port}", image};
    QTest::newRow("an image above --max-kb, which overrides the store")
        << 5000 << "200" << QStringList{"--max-kb", "4", "-p", "{port}", image};
    QTest::newRow("an image that is not there")
        << -1 << "" << QStringList{"-p", "{port}", "{dir}/absent.bin"};
    QTest::newRow("no port") << 100 << "" << QStringList{image};
    QTest::newRow("a whole-flash image, linked at 0x08000000 with the bootloader")
        << -2 << "" << QStringList{"-p", "{port}", image};
    QTest::newRow("a size limit that is no number")
        << 100 << "" << QStringList{"--max-kb", "lots", "-p", "{port}", image};
    QTest::newRow("a version that is no version")
        << 100 << "" << QStringList{"--expect-version", "new", "-p", "{port}", image};
    QTest::newRow("Enter as the next device without the loop")
        << 100 << "" << QStringList{"--next-on-enter", "-p", "{port}", image};
}

void tst_FwFlash::refusedBeforeAnyPortIsOpened()
{
    QFETCH(int, imageSize);
    QFETCH(QString, storedKB);
    QFETCH(QStringList, arguments);

    if (imageSize >= 0)
        QVERIFY(writeFile(path("image.bin"), testImage(imageSize)));
    if (imageSize == -2) { // reset handler in the bootloader's own 16 KiB
        QByteArray image = testImage(5000);
        qToLittleEndian<quint32>(0x080001C5, image.data() + 4);
        QVERIFY(writeFile(path("image.bin"), image));
    }
    if (!storedKB.isEmpty()) {
        QVERIFY(QDir().mkpath(path("config/YourCompany")));
        QVERIFY(writeFile(path("config/YourCompany/YourApp.conf"),
                          "[General]\nmaxFirmwareKB=" + storedKB.toLatin1() + "\n"));
    }
    QStringList command{"--json", path("units.json")};
    for (QString argument : std::as_const(arguments)) {
        argument.replace("{image}", path("image.bin"));
        argument.replace("{port}", path("no-such-port"));
        argument.replace("{dir}", m_dir->path());
        command << argument;
    }
    Program flasher(kFlasher, command, path("config"));
    QCOMPARE(flasher.finish(), 2);
    QVERIFY(records(path("units.json")).isEmpty());
}

void tst_FwFlash::ctrlCInTheMiddleOfATransfer()
{
    // Paced like the real line, so the transfer takes about ten seconds: time enough for the
    // signal to come in the middle, even on a busy machine.
    const QByteArray image = testImage(120000);
    QVERIFY(writeFile(path("big.bin"), image));
    const QString port = startDevice(0, {});
    QVERIFY(!port.isEmpty());
    Program flasher(kFlasher, {"-p", port, "--json", path("units.json"), path("big.bin")},
                    path("config"));
    QVERIFY(!flasher.waitFor(QStringLiteral("(transferring)"), kRunMs).isEmpty());
    flasher.signal(SIGINT);
    QCOMPARE(flasher.finish(kStartMs), 130);

    const QList<QJsonObject> units = records(path("units.json"));
    QCOMPARE(units.size(), 1);
    QCOMPARE(units[0]["outcome"].toString(), QStringLiteral("interrupted"));
    QVERIFY(units[0]["bytesSent"].toInt() < image.size());
    // The port was let go: it opens again.
    QSerialPort again(port);
    QVERIFY2(again.open(QIODevice::ReadWrite), qPrintable(again.errorString()));
}

void tst_FwFlash::theLoopServesOneDeviceAfterTheOther_data()
{
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("boards unplugged and the next plugged in, behind the same link")
        << "--next-board-after-update" << true;
    QTest::newRow("boards swapped on a port that stays, told apart by their identification")
        << "--swap-board-after-update" << false;
}

void tst_FwFlash::theLoopServesOneDeviceAfterTheOther()
{
    // Each board is replaced after its update; the boards tell their number in the
    // identification.
    QFETCH(QString, replacement);
    QFETCH(bool, throughLink);
    const QString link = path("ttyLINE");
    const QString port = startDevice(0, {"--unpaced", "--link", link, replacement, "800", "--idn",
                                         "Orvane,TM-1,SN000{n},1.0.38"});
    QVERIFY(!port.isEmpty());
    Program flasher(
        kFlasher,
        {"--wait", "-p", throughLink ? link : port, "--json", path("units.json"), path("app.bin")},
        path("config"));
    QTRY_COMPARE_WITH_TIMEOUT(records(path("units.json")).size(), 2, kRunMs);
    // The line is closed before Ctrl+C, so that no third board comes; the loop ends cleanly.
    m_devices.first()->signal(SIGTERM);
    QVERIFY(m_devices.first()->finish() >= 0);
    flasher.signal(SIGINT);
    QCOMPARE(flasher.finish(kStartMs), 0);

    const QList<QJsonObject> units = records(path("units.json"));
    QCOMPARE(units.size(), 2);
    for (int board = 1; board <= 2; ++board) {
        QCOMPARE(units[board - 1]["outcome"].toString(), QStringLiteral("success"));
        QVERIFY(units[board - 1]["identification"].toString().contains(
            QStringLiteral("SN000%1").arg(board)));
    }
    QVERIFY(contents(path("out0/app.bin")) == m_image);
}

void tst_FwFlash::versionsAreReadAsWholeNumbers_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("carried");
    QTest::newRow("the version as the last field is found") << "Orvane,TM-1,SN0001,1.0.39"
                                                            << "1.0.39" << true;
    QTest::newRow("a longer last number is another version") << "TM-1,1.0.391"
                                                             << "1.0.39" << false;
    QTest::newRow("a fourth number makes another version") << "TM-1,1.0.39.2"
                                                           << "1.0.39" << false;
    QTest::newRow("a longer first number is another version") << "TM-1,11.0.39"
                                                              << "1.0.39" << false;
    QTest::newRow("a version followed by text is found") << "v1.0.39 (build 7)"
                                                         << "1.0.39" << true;
    QTest::newRow("the dots must be dots") << "TM-1,1a0b39"
                                           << "1.0.39" << false;
    QTest::newRow("a reply without it") << "TM-1,1.0.38"
                                        << "1.0.39" << false;
}

void tst_FwFlash::versionsAreReadAsWholeNumbers()
{
    QFETCH(QString, reply);
    QFETCH(QString, version);
    QFETCH(bool, carried);
    QCOMPARE(FlashReport::carriesVersion(reply, version), carried);
}

void tst_FwFlash::theExitStatusFollowsTheOutcomes_data()
{
    QTest::addColumn<QList<Outcome>>("outcomes");
    QTest::addColumn<bool>("interrupted");
    QTest::addColumn<int>("status");
    QTest::newRow("every device updated")
        << QList<Outcome>{Outcome::Success, Outcome::Success} << false << 0;
    QTest::newRow("one failed among updated ones")
        << QList<Outcome>{Outcome::Success, Outcome::Failed} << false << 1;
    QTest::newRow("a version mismatch counts as a failure")
        << QList<Outcome>{Outcome::VersionMismatch} << false << 1;
    QTest::newRow("an interruption wins over everything")
        << QList<Outcome>{Outcome::Success, Outcome::Failed} << true << 130;
    QTest::newRow("a loop that served no unit") << QList<Outcome>{} << false << 0;
}

void tst_FwFlash::theExitStatusFollowsTheOutcomes()
{
    QFETCH(QList<Outcome>, outcomes);
    QFETCH(bool, interrupted);
    QFETCH(int, status);
    QCOMPARE(FlashReport::exitStatus(outcomes, interrupted), status);
}

void tst_FwFlash::theProgressLineTellsTheTransfer_data()
{
    QTest::addColumn<bool>("transferring");
    QTest::addColumn<int>("shown");
    QTest::addColumn<double>("rate");
    QTest::addColumn<QString>("line");
    QTest::newRow("a phase without bytes shows only the phase")
        << false << 0 << 0.0 << "ttyUSB0    waiting for bootloader";
    QTest::newRow("40 % at 11.2 KB/s has 12 s left")
        << true << 94720 << 11.2
        << "ttyUSB0    transferring  94720/236544 B   40%  11.2 KB/s  0:12 left";
    QTest::newRow("before a rate is known no time left is guessed")
        << true << 4096 << 0.0 << "ttyUSB0    transferring  4096/236544 B    2%";
}

void tst_FwFlash::theProgressLineTellsTheTransfer()
{
    QFETCH(bool, transferring);
    QFETCH(int, shown);
    QFETCH(double, rate);
    QFETCH(QString, line);
    FlashReport::ProgressView view;
    view.port = QStringLiteral("ttyUSB0");
    view.phase =
        transferring ? QStringLiteral("transferring") : QStringLiteral("waiting for bootloader");
    view.transferring = transferring;
    view.shown = shown;
    view.total = 236544;
    view.rateKBps = rate;
    view.secondsLeft = FlashReport::secondsLeft(shown, view.total, rate);
    QCOMPARE(FlashReport::progressLine(view, 9), line);
}

void tst_FwFlash::summaryColumnsAlignWithChineseReasons()
{
    // A Chinese character takes two columns of a terminal: the next column must still line up.
    FlashReport::UnitRecord failed;
    failed.port = QStringLiteral("ttyUSB0");
    failed.reason = QStringLiteral("设备中止了传输");
    failed.bytesSent = 4096;
    FlashReport::UnitRecord passed = failed;
    passed.outcome = Outcome::Success;
    passed.reason.clear();
    passed.bytesSent = 236544;
    const QStringList lines = FlashReport::summaryTable({failed, passed}).split('\n');
    auto bytesColumn = [](const QString &line, const QString &bytes) {
        return FlashReport::displayWidth(line.left(line.indexOf(bytes)));
    };
    QCOMPARE(bytesColumn(lines[1], "4096"), bytesColumn(lines[0], "BYTES"));
    QCOMPARE(bytesColumn(lines[2], "236544"), bytesColumn(lines[0], "BYTES"));
}

QTEST_GUILESS_MAIN(tst_FwFlash)
#include "tst_fwflash.moc"
