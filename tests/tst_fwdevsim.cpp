// The device simulator program: started as a process, it must print a port that the worker can
// update through, report truthfully whether the image it received matched, and play the faults
// it is asked for.

#include "device/serialworker.h"
#include "simulatorprocess.h"
#include "workertestaccess.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>


class tst_FwDevSim : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void anUpdateThroughTheSimulator_data();
    void anUpdateThroughTheSimulator();
    void aFileAlreadyThereIsNeverOverwritten();
    void nonsenseOptionsAreRefused_data();
    void nonsenseOptionsAreRefused();
};

void tst_FwDevSim::anUpdateThroughTheSimulator_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("expectWrongFile");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("said");

    QTest::newRow("a clean update over the paced line matches and is saved")
        << QStringList{} << false << "success" << 0
        << QStringList{"Start command *FWUPD received",
                       "Block checks passed",
                       "Size matches the declared 5000 bytes",
                       "initial SP 0x20005000, reset handler 0x080041C5, a plausible application",
                       "Identical to",
                       "the image MATCHED"};
    QTest::newRow("an expected file that differs is reported with its first differing offset")
        << QStringList{"--unpaced"} << true << "success" << 1
        << QStringList{"first at offset 1234 (0x4d2)", "the image did NOT match"};
    QTest::newRow("a silent identification makes the tool use the legacy start command")
        << QStringList{"--unpaced", "--no-idn"} << false << "success" << 0
        << QStringList{"Identification query: staying silent", "Legacy start command received"};
    QTest::newRow("a NAK and a missing answer are told, and the image still matches")
        << QStringList{"--unpaced", "--nak-block",    "3", "--silent-block",
                       "4",         "--silent-times", "1"}
        << false << "success" << 0
        << QStringList{"Fault: NAK to data block 3", "Fault: no answer to data block 4",
                       "the image MATCHED"};
    QTest::newRow("CAN at block 2 ends the update as cancelled by the device")
        << QStringList{"--unpaced", "--cancel-block", "2"} << false << "failed:设备中止了传输" << 1
        << QStringList{"The receiver cancelled the transfer"};
    QTest::newRow("a port lost at block 3 fails the update with a port error")
        << QStringList{"--unpaced", "--lose-port-block", "3"} << false << "failed:串口错误" << 1
        << QStringList{"Line dropped at data block 3"};
}

void tst_FwDevSim::anUpdateThroughTheSimulator()
{
    QFETCH(QStringList, options);
    QFETCH(bool, expectWrongFile);
    QFETCH(QString, outcome);
    QFETCH(int, exitCode);
    QFETCH(QStringList, said);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray image = testImage(5000);
    QByteArray expected = image;
    if (expectWrongFile)
        expected[1234] = char(expected.at(1234) ^ 0x5A);
    const QString imagePath = dir.filePath(QStringLiteral("app.bin"));
    const QString expectPath = dir.filePath(QStringLiteral("expected.bin"));
    for (const auto &[path, bytes] : {std::pair{imagePath, image}, {expectPath, expected}}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("out")));
    const QString outDir = dir.filePath(QStringLiteral("out"));

    Simulator simulator(options +
                        QStringList{"--once", "--output", outDir, "--expect", expectPath});
    const QString port = simulator.port();
    QVERIFY2(!port.isEmpty(), qPrintable(simulator.errors()));

    SerialWorker worker;
    DeviceTimeouts quick;
    quick.replyQuiet = std::chrono::milliseconds(50);
    quick.blockReply = quick.dataBlockReply = std::chrono::milliseconds(400);
    worker.setTimeoutsForTesting(quick);
    WorkerTrace trace(worker);
    worker.connectToPort(port);
    QCOMPARE(worker.state(), SerialWorker::Idle);
    worker.startUpdate(imagePath);

    QCOMPARE(trace.outcomes().size(), 1);
    QVERIFY2(trace.outcomes().first().startsWith(outcome), qPrintable(trace.lines.join('\n')));
    QCOMPARE(simulator.finish(), exitCode);
    const QString output = simulator.output();
    for (const QString &phrase : said)
        QVERIFY2(output.contains(phrase), qPrintable(phrase + " not in:\n" + output));

    QFile saved(QDir(outDir).filePath(QStringLiteral("app.bin")));
    if (outcome == QLatin1String("success")) {
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll() == image);
    } else {
        QVERIFY(!saved.exists());
    }
}

void tst_FwDevSim::aFileAlreadyThereIsNeverOverwritten()
{
    // The user's own app.bin sits in the folder the simulator saves to.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray image = testImage(3000);
    const QByteArray users = "the user's own file";
    for (const auto &[name, bytes] :
         {std::pair{QStringLiteral("app.bin"), users}, {QStringLiteral("upload/app.bin"), image}}) {
        QVERIFY(QDir(dir.path()).mkpath(QFileInfo(dir.filePath(name)).path()));
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }

    Simulator simulator({"--unpaced", "--output", dir.path()});
    const QString port = simulator.port();
    QVERIFY2(!port.isEmpty(), qPrintable(simulator.errors()));
    SerialWorker worker;
    WorkerTrace trace(worker);
    worker.connectToPort(port);
    for (int update = 0; update < 2; ++update) {
        worker.startUpdate(dir.filePath(QStringLiteral("upload/app.bin")));
        QCOMPARE(trace.outcomes().value(update), QStringLiteral("success"));
    }

    // Both updates went to one numbered file; the user's file is untouched.
    auto contents = [&dir](const QString &name) {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QCOMPARE(contents(QStringLiteral("app.bin")), users);
    QVERIFY(contents(QStringLiteral("app.bin.1")) == image);
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("app.bin.2"))));
}

void tst_FwDevSim::nonsenseOptionsAreRefused_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("complaint");
    QTest::newRow("a block that is no number")
        << QStringList{"--nak-block", "two"} << "--nak-block wants a block number";
    QTest::newRow("a baud rate of zero") << QStringList{"--baud", "0"} << "--baud wants a rate";
    QTest::newRow("losing the port and staying silent at once")
        << QStringList{"--lose-port-block", "2", "--silent-block", "3"} << "cannot be combined";
    QTest::newRow("a link over something that is no link")
        << QStringList{"--link", "/"} << "--link: / exists and is no link";
    QTest::newRow("the board both re-enumerating and replaced")
        << QStringList{"--next-board-after-update", "100", "--reenumerate-after-update", "100"}
        << "cannot be combined";
    QTest::newRow("an expected file that is not there")
        << QStringList{"--expect", "/nonexistent/image.bin"} << "--expect: cannot read";
}

void tst_FwDevSim::nonsenseOptionsAreRefused()
{
    QFETCH(QStringList, options);
    QFETCH(QString, complaint);
    QProcess process;
    process.start(QStringLiteral(FWDEVSIM_PATH), options);
    QVERIFY(process.waitForFinished(Simulator::kExitMs));
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(process.readAllStandardOutput().isEmpty());
    const QString errors = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(errors.contains(complaint), qPrintable(errors));
}

QTEST_GUILESS_MAIN(tst_FwDevSim)
#include "tst_fwdevsim.moc"
