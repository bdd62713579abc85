// The station window fwstation: its rules (grid, tiles, counters), a render of its grid, and a
// run against four fwdevsim boards that replace themselves after each update, one of them faulty:
// the tiles' phases, the counters, the failed tile's reason and 重试, the lock while running,
// 停止 (the device is told), the records in a SQLite store, the settings.

#include "records/recordstore.h"
#include "station/porttile.h"
#include "station/stationrules.h"
#include "station/stationwindow.h"
#include "simulatorprocess.h"
#include "testimage.h"
#include "testsettings.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegion>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <memory>

using namespace Qt::StringLiterals;
using Station::Look;
using Station::Phase;
using Step = PortSession::Step;
using WorkerPhase = SerialWorker::UpdatePhase;

namespace {
constexpr int kRunMs = 60000; // a few paced units on four boards, on a loaded machine

PortSession::Status status(Step step, WorkerPhase phase = WorkerPhase::Querying, int shown = 0)
{
    PortSession::Status s;
    s.port = u"ttyUSB0"_s;
    s.step = step;
    s.phase = phase;
    s.shown = shown;
    s.total = 20000;
    s.rateKBps = phase == WorkerPhase::Transferring ? 11.2 : 0.0;
    s.secondsLeft = phase == WorkerPhase::Transferring ? 1 : -1;
    return s;
}

QLabel *counter(QWidget *window, const QString &name)
{
    for (QLabel *label : window->findChildren<QLabel *>(u"counterValue"_s))
        if (label->accessibleName() == name)
            return label;
    return nullptr;
}

// Presses the confirmation's button (confirm or cancel) whenever one opens.
std::unique_ptr<QTimer> answerConfirmations(bool confirm, int *asked)
{
    auto timer = std::make_unique<QTimer>();
    QObject::connect(timer.get(), &QTimer::timeout, [confirm, asked] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            ++*asked;
            modal->findChild<QPushButton *>(confirm ? u"confirmOk"_s : u"confirmCancel"_s)
                ->click();
        }
    });
    timer->start(20);
    return timer;
}

// The phases in order appear in seen, not necessarily next to each other.
bool inOrder(const QStringList &seen, const QStringList &phases)
{
    int at = 0;
    for (const QString &phase : seen)
        at += at < phases.size() && phase == phases[at];
    return at == phases.size();
}
} // namespace

Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(WorkerPhase)
Q_DECLARE_METATYPE(Look)

class tst_Station : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void initTestCase()
    {
        usePrivateSettingsFolder();
        QSettings settings(u"YourCompany"_s, u"YourApp"_s);
        settings.setValue(u"recordsUrl"_s, QString(u"sqlite://"_s + path(u"records.sqlite"_s)));
        QVERIFY(writeBytes(path(u"app.bin"_s), testImage(20000)));
    }
    void init()
    {
        QSettings(u"YourCompany"_s, u"YourApp"_s).remove(u"station"_s); // a fresh set-up
    }

    void gridFitsTheArea_data()
    {
        QTest::addColumn<int>("tiles");
        QTest::addColumn<QSize>("area");
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("rows");
        QTest::newRow("no tile, no grid") << 0 << QSize(1600, 900) << 0 << 0;
        QTest::newRow("one tile fills the area") << 1 << QSize(1600, 900) << 1 << 1;
        QTest::newRow("four in a wide area stand 2 × 2") << 4 << QSize(1600, 900) << 2 << 2;
        QTest::newRow("four in a strip stand in a row") << 4 << QSize(2400, 400) << 4 << 1;
        QTest::newRow("four in a tall area stand in a column") << 4 << QSize(500, 1600) << 1 << 4;
        QTest::newRow("five take three columns, the last row short") << 5 << QSize(1600, 900) << 3
                                                                      << 2;
        QTest::newRow("sixteen in 16:9 stand 4 × 4") << 16 << QSize(1600, 900) << 4 << 4;
    }
    void gridFitsTheArea()
    {
        QFETCH(int, tiles);
        QFETCH(QSize, area);
        QFETCH(int, columns);
        QFETCH(int, rows);
        QCOMPARE(Station::gridShape(tiles, area), (Station::GridShape{columns, rows}));
    }

    void tileShowsTheSession_data()
    {
        QTest::addColumn<Step>("step");
        QTest::addColumn<WorkerPhase>("phase");
        QTest::addColumn<QString>("lastOutcome");
        QTest::addColumn<QString>("shows"); // phase | big text | detail
        QTest::addColumn<Look>("look");
        QTest::addColumn<bool>("retry");
        const QString failed = u"failed"_s, passed = u"success"_s;
        QTest::newRow("a failed board taken off clears the red; the port asks for the next")
            << Step::WaitingForDevice << WorkerPhase::Querying << failed << u"等待设备|放入设备|"_s
            << Look::Idle << false;
        QTest::newRow("opening the port identifies the board")
            << Step::Connecting << WorkerPhase::Querying << passed << u"正在识别设备|0%|"_s
            << Look::Working << false;
        QTest::newRow("the start command waits for the bootloader")
            << Step::Updating << WorkerPhase::WaitingForBootloader << failed
            << u"正在进入引导程序|0%|"_s << Look::Working << false;
        QTest::newRow("the transfer shows its percentage, rate and time left")
            << Step::Updating << WorkerPhase::Transferring << failed
            << u"正在传输固件|50%|11.2 KB/s · 剩余 1 秒"_s << Look::Working << false;
        QTest::newRow("the completion report is checked")
            << Step::Updating << WorkerPhase::CheckingReport << passed << u"正在检查结果|50%|"_s
            << Look::Working << false;
        QTest::newRow("the new version is read back")
            << Step::Verifying << WorkerPhase::CheckingReport << passed << u"正在校验版本|50%|"_s
            << Look::Working << false;
        QTest::newRow("a passed board is green until it is taken off")
            << Step::WaitingForRemoval << WorkerPhase::CheckingReport << passed
            << u"请取下设备|通过|"_s << Look::Passed << false;
        QTest::newRow("a failed board is red with 重试 while it is on the port")
            << Step::WaitingForRemoval << WorkerPhase::Transferring << failed
            << u"请取下设备|失败|"_s << Look::Failed << true;
        QTest::newRow("a version mismatch fails the board too")
            << Step::WaitingForRemoval << WorkerPhase::Transferring << u"version-mismatch"_s
            << u"请取下设备|失败|"_s << Look::Failed << true;
        QTest::newRow("a board updated earlier in the run is green, said so, without 重试")
            << Step::WaitingForRemoval << WorkerPhase::Querying << u"already-updated"_s
            << u"请取下设备|已更新过|"_s << Look::Passed << false;
        QTest::newRow("a stopped run keeps the last result, without 重试")
            << Step::Done << WorkerPhase::Transferring << failed << u"已停止|失败|"_s
            << Look::Failed << false;
        QTest::newRow("an interrupted unit is orange")
            << Step::Done << WorkerPhase::Transferring << u"interrupted"_s << u"已停止|已中断|"_s
            << Look::Interrupted << false;
    }
    void tileShowsTheSession()
    {
        QFETCH(Step, step);
        QFETCH(WorkerPhase, phase);
        QFETCH(QString, lastOutcome);
        QFETCH(QString, shows);
        QFETCH(Look, look);
        QFETCH(bool, retry);
        const Station::LastUnit last{lastOutcome, u"设备中止了传输"_s, u"TM-1 · SN0001"_s};
        const bool sent = phase >= WorkerPhase::Transferring || step == Step::Verifying;
        const Station::TileView view = Station::tileView(status(step, phase, sent ? 10000 : 0), last);
        QCOMPARE(QStringList({Station::phaseText(view.phase), view.big, view.detail}).join('|'),
                 shows);
        QCOMPARE(view.look, look);
        QCOMPARE(view.retryOffered, retry);
        QCOMPARE(view.reason.isEmpty(), look != Look::Failed);
        QCOMPARE(view.progressShown, look == Look::Working);
    }

    void countersOfTheRun_data()
    {
        QTest::addColumn<QStringList>("outcomes");
        QTest::addColumn<int>("minutes");
        QTest::addColumn<QString>("shown"); // passed, failed, yield, per hour
        QTest::newRow("before the first unit the rates are dashes") << QStringList() << 5
                                                                    << u"0 0 — —"_s;
        QTest::newRow("three passed and one failed in six minutes")
            << QStringList{"success", "failed", "success", "success"} << 6
            << u"3 1 75.0% 40"_s;
        QTest::newRow("a version mismatch counts as failed; an interrupted unit and a board "
                      "updated earlier in the run not at all")
            << QStringList{"version-mismatch", "interrupted", "already-updated", "success"} << 60
            << u"1 1 50.0% 2"_s;
    }
    void countersOfTheRun()
    {
        QFETCH(QStringList, outcomes);
        QFETCH(int, minutes);
        QFETCH(QString, shown);
        Station::Counters counters;
        for (const QString &outcome : outcomes)
            counters.add(outcome);
        QCOMPARE(QStringList({QString::number(counters.passed), QString::number(counters.failed),
                              Station::yieldText(counters),
                              Station::unitsPerHourText(counters, minutes * 60000LL)})
                     .join(' '),
                 shown);
    }

    // Four tiles in different states, as a production line sees them: written to the test
    // artifacts for the README. The tiles fill the grid without overlapping, and the results are
    // large enough to read from two metres.
    void renderOfTheGrid()
    {
        StationWindow window;
        window.resize(1280, 800);
        QVERIFY(window.chooseImage(path(u"app.bin"_s)));
        const QStringList ports{u"/dev/ttyUSB0"_s, u"/dev/ttyUSB1"_s, u"/dev/ttyUSB2"_s,
                                u"/dev/ttyUSB3"_s};
        for (const QString &port : ports)
            window.addPort(port);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QList<PortTile *> tiles = window.findChild<TileGrid *>()->tiles();
        QCOMPARE(tiles.size(), 4);
        const Station::LastUnit passed{u"success"_s, {}, u"TM-1 · SN0107"_s};
        const Station::LastUnit failed{u"failed"_s, u"设备中止了传输"_s, u"TM-1 · SN0203"_s};
        QList<Station::TileView> views{
            Station::tileView(status(Step::Updating, WorkerPhase::Transferring, 8600), passed),
            Station::tileView(status(Step::WaitingForRemoval), passed),
            Station::tileView(status(Step::WaitingForRemoval), failed),
            Station::tileView(status(Step::WaitingForDevice), passed)};
        QRegion covered;
        for (int i = 0; i < 4; ++i) {
            views[i].port = ports[i];
            tiles[i]->showView(views[i]);
            QVERIFY(!covered.intersects(tiles[i]->geometry()));
            covered += tiles[i]->geometry();
            QVERIFY(tiles[i]->parentWidget()->rect().contains(tiles[i]->geometry()));
            QVERIFY(tiles[i]->findChild<QLabel *>(u"tileResult"_s)->font().pixelSize() >= 48);
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QVERIFY(tiles[2]->findChild<QPushButton *>(u"retryButton"_s)->isVisible());
        QVERIFY(!tiles[1]->findChild<QPushButton *>(u"retryButton"_s)->isVisible());
        const QString artifacts = qEnvironmentVariable("FW_TEST_ARTIFACTS");
        if (!artifacts.isEmpty()) {
            QVERIFY(QDir().mkpath(artifacts));
            QVERIFY(window.grab().save(artifacts + u"/station-grid.png"_s));
        }
    }

    // An image the bootloader could not start is taken only after 仍然使用.
    void implausibleImageNeedsConfirmation()
    {
        QByteArray wholeFlash = testImage(20000);
        qToLittleEndian<quint32>(0x080001C5, wholeFlash.data() + 4);
        QVERIFY(writeBytes(path(u"whole.bin"_s), wholeFlash));
        StationWindow window;
        window.show();
        int asked = 0;
        {
            const auto cancel = answerConfirmations(false, &asked);
            QVERIFY(!window.chooseImage(path(u"whole.bin"_s)));
        }
        QCOMPARE(asked, 1);
        const auto confirm = answerConfirmations(true, &asked);
        QVERIFY(window.chooseImage(path(u"whole.bin"_s)));
        QCOMPARE(asked, 2);
        QVERIFY(window.findChild<QLabel *>(u"imageVerdict"_s)->text().contains(u"仍然使用"_s));
        QVERIFY(window.chooseImage(path(u"app.bin"_s))); // a plausible one asks nothing
        QCOMPARE(asked, 2);
    }

    // A link and its target are one device: the station does not start on both.
    void linkAndItsTargetAreOnePort()
    {
        const QString link = path(u"ttyLINK"_s), target = path(u"ttyS9"_s);
        QVERIFY(writeBytes(target, {}) && QFile::link(target, link));
        StationWindow window;
        QVERIFY(window.chooseImage(path(u"app.bin"_s)));
        window.addPort(link);
        window.addPort(target);
        window.toggleRun();
        QVERIFY(!window.isRunning());
        QCOMPARE(window.findChild<QLabel *>(u"statusLabel"_s)->text(),
                 u"%1 和 %2 是同一个串口，请只勾选其中一个。"_s.arg(link, target));
    }

    void lineRun()
    {
        // Three good boards and one that cancels every transfer at block 3. A good board leaves
        // after its update and the next one comes; the faulty one stays on its port.
        QStringList ports;
        QList<std::shared_ptr<Simulator>> boards;
        for (int i = 0; i < 4; ++i) {
            ports << path(u"tty%1"_s.arg(i));
            QStringList options{"--link", ports[i], "--output", path(u"out%1"_s.arg(i)),
                                "--idn", u"Orvane,TM-1,SN%10{n},1.0.38"_s.arg(i)};
            options << (i == 3 ? QStringList{"--cancel-block", "3"}
                               : QStringList{"--next-board-after-update", "300"});
            QVERIFY(QDir().mkpath(path(u"out%1"_s.arg(i))));
            boards << std::make_shared<Simulator>(options);
            QVERIFY(!boards.last()->port().isEmpty());
        }

        QList<QStringList> phases(4); // outlives the window, whose tiles report into it
        auto window = std::make_unique<StationWindow>();
        window->resize(1280, 800);
        QVERIFY(window->chooseImage(path(u"app.bin"_s)));
        for (const QString &port : ports)
            window->addPort(port);
        window->findChild<QLineEdit *>(u"versionEdit"_s)->setText(QString());
        QCOMPARE(window->tickedPorts(), ports);
        window->show();
        QApplication::setActiveWindow(window.get());
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        const QList<PortTile *> tiles = window->findChild<TileGrid *>()->tiles();
        QCOMPARE(tiles.size(), 4);
        for (int i = 0; i < 4; ++i)
            connect(tiles[i], &PortTile::phaseChanged, this,
                    [&phases, i](const QString &phase) { phases[i] << phase; });

        // Space starts every ticked port; the set-up is locked while the station runs.
        QTest::keyClick(window.get(), Qt::Key_Space);
        QVERIFY(window->isRunning());
        for (const char *name : {"browseButton", "versionEdit", "portList", "addPortEdit"})
            QVERIFY2(!window->findChild<QWidget *>(QLatin1String(name))->isEnabled(), name);
        QVERIFY(!window->chooseImage(path(u"whole.bin"_s)));
        QCOMPARE(window->findChild<QPushButton *>(u"startButton"_s)->text(), u"停止"_s);

        // Every good board passes through the phases and passes; the faulty one fails with the
        // device's reason and stays red while it is on its port.
        QLabel *passed = counter(window.get(), u"通过"_s);
        QLabel *failed = counter(window.get(), u"失败"_s);
        const QStringList good{u"等待设备"_s,     u"正在识别设备"_s, u"正在进入引导程序"_s,
                               u"正在传输固件"_s, u"正在检查结果"_s, u"请取下设备"_s,
                               u"等待设备"_s,     u"正在识别设备"_s};
        QTRY_VERIFY_WITH_TIMEOUT(failed->text() == u"1"_s && inOrder(phases[0], good) &&
                                     inOrder(phases[1], good) && inOrder(phases[2], good),
                                 kRunMs);
        QVERIFY(passed->text().toInt() >= 3);
        PortTile *faulty = tiles[3];
        QCOMPARE(faulty->view().look, Look::Failed);
        QVERIFY2(faulty->view().reason.contains(u"设备中止了传输"_s),
                 qPrintable(faulty->view().reason));
        QCOMPARE(faulty->findChild<QLabel *>(u"tileResult"_s)->text(), u"失败"_s);

        // 重试 tries the same board again, which fails again.
        phases[3].clear();
        QTest::mouseClick(faulty->findChild<QPushButton *>(u"retryButton"_s), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(failed->text(), u"2"_s, kRunMs);
        QVERIFY2(inOrder(phases[3], {u"正在识别设备"_s, u"正在传输固件"_s, u"请取下设备"_s}),
                 qPrintable(phases[3].join(u", "_s)));
        QCOMPARE(faulty->view().look, Look::Failed);
        const int units = passed->text().toInt() + 2;
        QCOMPARE(counter(window.get(), u"良率"_s)->text(),
                 u"%1%"_s.arg(100.0 * passed->text().toInt() / units, 0, 'f', 1));

        // 停止 in the middle of a transfer: the device is told, the unit is recorded as
        // interrupted, the set-up unlocks.
        int transferring = -1;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (int i = 0; i < 3; ++i)
                    if (tiles[i]->view().phase == Phase::Transferring &&
                        tiles[i]->view().percent >= 20)
                        transferring = i;
                return transferring >= 0;
            }(),
            kRunMs);
        QTest::keyClick(window.get(), Qt::Key_Space);
        QTRY_VERIFY_WITH_TIMEOUT(!window->isRunning(), 5000);
        QVERIFY(!boards[transferring]->waitFor(u"The sender cancelled the transfer"_s).isEmpty());
        QCOMPARE(tiles[transferring]->view().look, Look::Interrupted);
        for (const char *name : {"browseButton", "versionEdit", "portList", "addPortEdit"})
            QVERIFY2(window->findChild<QWidget *>(QLatin1String(name))->isEnabled(), name);

        // Every unit is in the store, as fwstation's, with the counters' outcomes; a unit that
        // the stop cut short is interrupted, its tile orange.
        const int passedUnits = passed->text().toInt();
        int stopped = 0;
        for (const PortTile *tile : tiles)
            stopped += tile->view().look == Look::Interrupted;
        RecordStore store;
        QVERIFY2(store.open(u"sqlite://"_s + path(u"records.sqlite"_s)),
                 qPrintable(store.errorString()));
        QTRY_COMPARE_WITH_TIMEOUT(store.count({}), qint64(passedUnits + 2 + stopped), 5000);
        int successes = 0, interrupted = 0;
        for (const UpdateRecord &record : store.query({}, {}, 100)) {
            QCOMPARE(record.program, u"fwstation"_s);
            QVERIFY(ports.contains(record.port));
            successes += record.outcome == u"success"_s;
            interrupted += record.outcome == u"interrupted"_s;
            if (record.outcome == u"failed"_s) {
                QCOMPARE(record.port, ports[3]);
                QVERIFY(record.reason.contains(u"设备中止了传输"_s));
            }
        }
        QCOMPARE(successes, passedUnits);
        QCOMPARE(interrupted, stopped);

        // The next start finds the same set-up: image, ticks and added ports are remembered.
        window.reset();
        StationWindow again;
        QCOMPARE(again.tickedPorts(), ports);
        QVERIFY(again.findChild<QLabel *>(u"imageName"_s)->text().contains(u"app.bin"_s));
    }
};

QTEST_MAIN(tst_Station)
#include "tst_station.moc"
