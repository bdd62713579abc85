// Choosing the image in the window: the checks with their messages and the limit from the
// store, browsing, and dropping files with the overlay and the red frame.

#include "testsettings.h"
#include "update_access.h"

#include <QDragEnterEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QUrl>

#include <memory>

namespace {
using Access = DialogTestAccess;

const QString kWrongType = QStringLiteral("无效文件，仅支持 .bin 格式。");
const QString kEmpty = QStringLiteral("固件文件为空。");
const QString kRefusedDrop = QStringLiteral("不支持的文件类型，请拖入 .bin 文件。");
const QString kRedFrame = QStringLiteral("QLineEdit { border: 2px solid #dc2626; }");
constexpr int kFrameMs = 800;
constexpr int kWaitMs = 3000;

QString tooLarge(qint64 size, qint64 limit)
{
    return QStringLiteral("文件为 %1 字节；设备最多接受 %2 字节（App 区 0x08004000-0x0803DFFF，"
                          "最后一个可写字节 0x0803DFFE）。")
        .arg(size)
        .arg(limit);
}

QSettings store()
{
    return QSettings(QStringLiteral("YourCompany"), QStringLiteral("YourApp"));
}

bool dragEnter(Dialog &d, const QMimeData &mime)
{
    QDragEnterEvent event(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&d, &event);
    return event.isAccepted();
}

bool dragMove(Dialog &d, const QMimeData &mime)
{
    QDragMoveEvent event(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&d, &event);
    return event.isAccepted();
}

void drop(Dialog &d, const QList<QUrl> &urls)
{
    QMimeData mime;
    mime.setUrls(urls);
    if (dragEnter(d, mime)) {
        QDropEvent event(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&d, &event);
    }
}

// Position of the first occurrence, -1 when absent: lets a test check the order of log lines.
qsizetype where(const QString &log, const QString &text)
{
    return log.indexOf(text);
}
} // namespace

class TestFirmwareSelection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void validationChecksInOrder_data();
    void validationChecksInOrder();
    void limitIsReadAfreshOnEveryCheck();

    void drops_data();
    void drops();
    void dragShowsTheOverlayUntilItLeaves();
    void dragWithoutUrlsIsRefused();
    void redFrameLastsAboutEightHundredMilliseconds();
    void nothingIsAcceptedDuringAnUpdate();

    void browseLoadsAValidFile();
    void browseKeepsTheOldPathWhenTheFileIsRefused();

private:
    QString makeFile(const QString &name, qint64 size);
    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Dialog> m_dialog;
};

void TestFirmwareSelection::initTestCase()
{
    usePrivateSettingsFolder();
    Dialog::setPortEnumerator([] { return QList<PortListing>{{"ttyFAKE0", "Fake"}}; });
}

void TestFirmwareSelection::init()
{
    store().clear();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_dialog = std::make_unique<Dialog>();
}

void TestFirmwareSelection::cleanup()
{
    m_dialog.reset();
    m_dir.reset();
}

QString TestFirmwareSelection::makeFile(const QString &name, qint64 size)
{
    QFile file(path(name));
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
        qFatal("cannot create %s", qPrintable(file.fileName()));
    return file.fileName();
}

void TestFirmwareSelection::validationChecksInOrder_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QVariant>("storedKB");
    QTest::addColumn<QString>("message"); // empty: the file passes silently

    QTest::newRow("FIRMWARE.BIN passes") << "FIRMWARE.BIN" << 4096LL << QVariant() << QString();
    QTest::newRow("236544 bytes pass by default")
        << "app.bin" << 236544LL << QVariant() << QString();
    QTest::newRow("236545 bytes are refused by default with both numbers")
        << "app.bin" << 236545LL << QVariant() << tooLarge(236545, 236544);
    QTest::newRow("maxFirmwareKB 1 allows 1024 bytes")
        << "app.bin" << 1024LL << QVariant(1) << QString();
    QTest::newRow("maxFirmwareKB 1 refuses 1025 bytes")
        << "app.bin" << 1025LL << QVariant(1) << tooLarge(1025, 1024);
    QTest::newRow("maxFirmwareKB 0 allows 237440 bytes")
        << "app.bin" << 237440LL << QVariant(0) << QString();
    QTest::newRow("maxFirmwareKB 500 refuses 237441 bytes")
        << "app.bin" << 237441LL << QVariant(500) << tooLarge(237441, 237440);
    QTest::newRow("maxFirmwareKB 232 refuses 237441 bytes")
        << "app.bin" << 237441LL << QVariant(232) << tooLarge(237441, 237440);
    QTest::newRow("maxFirmwareKB as a word allows 237440 bytes")
        << "app.bin" << 237440LL << QVariant("lots") << QString();
    QTest::newRow("a .txt file is refused") << "notes.txt" << 10LL << QVariant() << kWrongType;
    QTest::newRow("a file without suffix is refused") << "app" << 10LL << QVariant() << kWrongType;
    QTest::newRow("a too large .hex file is refused for its type")
        << "app.hex" << 300000LL << QVariant() << kWrongType;
    QTest::newRow("an empty .bin file is refused") << "app.bin" << 0LL << QVariant() << kEmpty;
    QTest::newRow("a missing file is refused") << "missing.bin" << -1LL << QVariant() << kWrongType;
    QTest::newRow("a folder named like an image is refused")
        << "folder.bin" << -2LL << QVariant() << kWrongType;
}

void TestFirmwareSelection::validationChecksInOrder()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(QVariant, storedKB);
    QFETCH(QString, message);

    if (storedKB.isValid())
        store().setValue(QStringLiteral("maxFirmwareKB"), storedKB);
    if (size >= 0)
        makeFile(name, size);
    else if (size == -2)
        QVERIFY(QDir(m_dir->path()).mkdir(name));

    const bool passed = Access::validate(*m_dialog, path(name));
    QCOMPARE(passed, message.isEmpty());
    const QString log = Access::log(*m_dialog);
    if (message.isEmpty()) {
        QVERIFY2(log.isEmpty(), qPrintable(log));
    } else {
        QVERIFY2(log.contains(message), qPrintable(log));
        QCOMPARE(log.count(QLatin1Char('\n')), 0); // exactly one line
    }
}

void TestFirmwareSelection::limitIsReadAfreshOnEveryCheck()
{
    const QString file = makeFile(QStringLiteral("app.bin"), 2048);
    QVERIFY(Access::validate(*m_dialog, file));

    // A person edits the store on disk while the tool runs.
    const auto editStore = [](const QByteArray &text) {
        QFile conf(store().fileName());
        QVERIFY(QDir().mkpath(QFileInfo(conf).absolutePath()));
        QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
        conf.write(text);
    };
    editStore("[General]\nmaxFirmwareKB=1\n");
    QVERIFY(!Access::validate(*m_dialog, file));
    QVERIFY(Access::log(*m_dialog).contains(tooLarge(2048, 1024)));
    editStore("[General]\nmaxFirmwareKB=200\n");
    QVERIFY(Access::validate(*m_dialog, file));
}

void TestFirmwareSelection::drops_data()
{
    QTest::addColumn<QStringList>("files");  // "name:size" made locally, "http..." left remote
    QTest::addColumn<QString>("accepted");   // name of the file taken, empty when refused
    QTest::addColumn<QStringList>("logged"); // messages expected, in this order
    QTest::addColumn<QStringList>("absent"); // messages that must not appear

    const QString loaded = QStringLiteral("已加载固件：");
    QTest::newRow("a .txt with a valid .bin accepts the .bin silently")
        << QStringList{"notes.txt:10", "app.bin:4096"} << "app.bin" << QStringList{loaded}
        << QStringList{kWrongType, kRefusedDrop};
    QTest::newRow("FIRMWARE.BIN is taken like app.bin")
        << QStringList{"FIRMWARE.BIN:4096"} << "FIRMWARE.BIN" << QStringList{loaded}
        << QStringList{kRefusedDrop};
    QTest::newRow("the first valid .bin of several wins")
        << QStringList{"a.bin:100", "b.bin:200"} << "a.bin" << QStringList{loaded}
        << QStringList{kRefusedDrop};
    QTest::newRow("a too large .bin logs its size, then the refusal")
        << QStringList{"big.bin:236545"} << QString()
        << QStringList{tooLarge(236545, 236544), kRefusedDrop} << QStringList{loaded};
    QTest::newRow("a too large .bin is logged and the next valid one is taken")
        << QStringList{"big.bin:236545", "app.bin:4096"} << "app.bin"
        << QStringList{tooLarge(236545, 236544), loaded} << QStringList{kRefusedDrop};
    QTest::newRow("an empty .bin logs its own message, then the refusal")
        << QStringList{"empty.bin:0"} << QString() << QStringList{kEmpty, kRefusedDrop}
        << QStringList{loaded};
    QTest::newRow("a .txt alone is refused without a type message")
        << QStringList{"notes.txt:10"} << QString() << QStringList{kRefusedDrop}
        << QStringList{kWrongType, loaded};
    QTest::newRow("a remote URL is refused")
        << QStringList{"https://example.com/app.bin"} << QString() << QStringList{kRefusedDrop}
        << QStringList{loaded};
    QTest::newRow("an empty URL list is refused")
        << QStringList() << QString() << QStringList{kRefusedDrop} << QStringList{loaded};
}

void TestFirmwareSelection::drops()
{
    QFETCH(QStringList, files);
    QFETCH(QString, accepted);
    QFETCH(QStringList, logged);
    QFETCH(QStringList, absent);

    QList<QUrl> urls;
    for (const QString &entry : files) {
        if (entry.startsWith(QLatin1String("http"))) {
            urls.append(QUrl(entry));
            continue;
        }
        const QStringList parts = entry.split(QLatin1Char(':'));
        urls.append(QUrl::fromLocalFile(makeFile(parts[0], parts[1].toLongLong())));
    }
    const QString before = QStringLiteral("/old/path.bin");
    Access::pathEdit(*m_dialog)->setText(before);

    drop(*m_dialog, urls);

    QLineEdit *edit = Access::pathEdit(*m_dialog);
    const QString log = Access::log(*m_dialog);
    qsizetype previous = -1;
    for (const QString &message : logged) {
        const qsizetype at = where(log, message);
        QVERIFY2(
            at > previous,
            qPrintable(QStringLiteral("%1 missing or out of order in:\n%2").arg(message, log)));
        previous = at;
    }
    for (const QString &message : absent)
        QVERIFY2(!log.contains(message), qPrintable(log));
    QVERIFY(Access::overlay(*m_dialog)->isHidden());

    if (accepted.isEmpty()) {
        QCOMPARE(edit->text(), before);
        QCOMPARE(edit->styleSheet(), kRedFrame);
    } else {
        QCOMPARE(edit->text(), path(accepted));
        QCOMPARE(edit->toolTip(), path(accepted));
        QVERIFY(log.contains(QStringLiteral("已加载固件：%1").arg(path(accepted))));
        QVERIFY(edit->styleSheet().isEmpty());
    }
}

void TestFirmwareSelection::dragShowsTheOverlayUntilItLeaves()
{
    m_dialog->resize(600, 500);
    QMimeData mime;
    mime.setUrls({QUrl(QStringLiteral("https://example.com/anything"))});

    QVERIFY(dragEnter(*m_dialog, mime)); // the kind of file is looked at only on drop
    DropOverlay *overlay = Access::overlay(*m_dialog);
    QVERIFY(!overlay->isHidden());
    QCOMPARE(overlay->geometry(), QRect(0, 0, 600, 500));
    QVERIFY(dragMove(*m_dialog, mime));

    QDragLeaveEvent leave;
    QApplication::sendEvent(m_dialog.get(), &leave);
    QVERIFY(overlay->isHidden());
    QVERIFY(Access::log(*m_dialog).isEmpty());
}

void TestFirmwareSelection::dragWithoutUrlsIsRefused()
{
    QMimeData mime;
    mime.setText(QStringLiteral("app.bin"));
    QVERIFY(!dragEnter(*m_dialog, mime));
    QVERIFY(!dragMove(*m_dialog, mime));
    QVERIFY(Access::overlay(*m_dialog)->isHidden());
}

void TestFirmwareSelection::redFrameLastsAboutEightHundredMilliseconds()
{
    QLineEdit *edit = Access::pathEdit(*m_dialog);
    edit->setText(QStringLiteral("typed by hand"));
    QElapsedTimer clock;
    clock.start();
    drop(*m_dialog, {QUrl::fromLocalFile(makeFile(QStringLiteral("notes.txt"), 1))});
    QCOMPARE(edit->styleSheet(), kRedFrame);

    QTRY_VERIFY_WITH_TIMEOUT(edit->styleSheet().isEmpty(), kWaitMs);
    QVERIFY2(clock.elapsed() >= kFrameMs - 10, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(edit->text(), QStringLiteral("typed by hand"));
}

void TestFirmwareSelection::nothingIsAcceptedDuringAnUpdate()
{
    const QString file = makeFile(QStringLiteral("app.bin"), 4096);
    Access::setUpdating(*m_dialog, true);
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(file)});

    QVERIFY(!dragEnter(*m_dialog, mime));
    QVERIFY(!dragMove(*m_dialog, mime));
    QVERIFY(Access::overlay(*m_dialog)->isHidden());

    // Even a drop delivered regardless leaves the path alone.
    QDropEvent event(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_dialog.get(), &event);
    QVERIFY(Access::pathEdit(*m_dialog)->text().isEmpty());
    QVERIFY(Access::pathEdit(*m_dialog)->styleSheet().isEmpty());
    QVERIFY(Access::log(*m_dialog).isEmpty());
    Access::setUpdating(*m_dialog, false);
}

namespace {
// Picks a file in the next file dialog that opens, or cancels it when path is empty.
void answerNextFileDialog(const QString &path)
{
    auto *poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, path] {
        const auto windows = QApplication::topLevelWidgets();
        for (QWidget *window : windows) {
            auto *dialog = qobject_cast<QFileDialog *>(window);
            if (!dialog || !dialog->isVisible())
                continue;
            if (path.isEmpty()) {
                dialog->reject();
            } else {
                dialog->selectFile(path);
                static_cast<QDialog *>(dialog)->accept();
            }
            poll->deleteLater();
            poll->stop();
            return;
        }
    });
    poll->start();
}
} // namespace

void TestFirmwareSelection::browseLoadsAValidFile()
{
    const QString file = makeFile(QStringLiteral("app.bin"), 4096);
    answerNextFileDialog(file);
    Access::browse(*m_dialog);
    QLineEdit *edit = Access::pathEdit(*m_dialog);
    QCOMPARE(edit->text(), file);
    QCOMPARE(edit->toolTip(), file);
    QVERIFY(Access::log(*m_dialog).contains(QStringLiteral("已加载固件：%1").arg(file)));

    // Cancelling the dialog changes nothing and logs nothing.
    const QString logBefore = Access::log(*m_dialog);
    answerNextFileDialog(QString());
    Access::browse(*m_dialog);
    QCOMPARE(edit->text(), file);
    QCOMPARE(Access::log(*m_dialog), logBefore);
}

void TestFirmwareSelection::browseKeepsTheOldPathWhenTheFileIsRefused()
{
    const QString file = makeFile(QStringLiteral("big.bin"), 236545);
    Access::pathEdit(*m_dialog)->setText(QStringLiteral("/old/path.bin"));
    answerNextFileDialog(file);
    Access::browse(*m_dialog);
    QCOMPARE(Access::pathEdit(*m_dialog)->text(), QStringLiteral("/old/path.bin"));
    QVERIFY(Access::log(*m_dialog).contains(tooLarge(236545, 236544)));
}

QTEST_MAIN(TestFirmwareSelection)
#include "tst_firmware_selection.moc"
