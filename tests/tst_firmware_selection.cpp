// Choosing the image in the window: the checks in their order with their messages, the limit
// from the store, typing, and dropping files with the overlay and the red frame.

#include "window_access.h"

#include <QFileDialog>
#include <QTest>

namespace {
const QString kWrongType = QStringLiteral("无效文件，仅支持 .bin 格式。");
const QString kRefusedDrop = QStringLiteral("不支持的文件类型，请拖入 .bin 文件。");
const QString kLoaded = QStringLiteral("已加载固件：");
const QString kOldPath = QStringLiteral("/old/path.bin");
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
} // namespace

class TestFirmwareSelection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { useTestEnvironment(); }
    void init()
    {
        store().clear();
        m_dir = std::make_unique<QTemporaryDir>();
        m_dialog = std::make_unique<Dialog>();
        win().pathField()->setText(kOldPath);
    }
    void cleanup() { m_dialog.reset(); }

    void validation_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");       // -1: no such file
        QTest::addColumn<QByteArray>("edited"); // written to the store on disk after a first check
        QTest::addColumn<QString>("message");   // empty: passes silently
        QTest::newRow("FIRMWARE.BIN passes") << "FIRMWARE.BIN" << 4096LL << QByteArray() << "";
        QTest::newRow("236544 bytes pass by default")
            << "app.bin" << 236544LL << QByteArray() << "";
        QTest::newRow("236545 bytes are refused by default with both numbers")
            << "app.bin" << 236545LL << QByteArray() << tooLarge(236545, 236544);
        QTest::newRow("a limit of 1 KiB put in the store while the tool runs refuses 2048 bytes")
            << "app.bin" << 2048LL << QByteArray("[General]\nmaxFirmwareKB=1\n")
            << tooLarge(2048, 1024);
        QTest::newRow("an empty .bin is refused")
            << "app.bin" << 0LL << QByteArray() << "固件文件为空。";
    }

    void validation()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(QByteArray, edited);
        QFETCH(QString, message);
        if (size >= 0)
            makeFile(*m_dir, name, size);
        if (!edited.isEmpty()) { // a person edits the store on disk
            QVERIFY(win().validate(m_dir->filePath(name)));
            QFile conf(store().fileName());
            QVERIFY(QDir().mkpath(QFileInfo(conf).absolutePath()));
            QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QVERIFY(conf.write(edited) == edited.size());
        }
        QCOMPARE(win().validate(m_dir->filePath(name)), message.isEmpty());
        QCOMPARE(win().logLines(), message.isEmpty() ? QStringList() : QStringList{message});
    }

    void drops_data()
    {
        QTest::addColumn<QStringList>("files"); // "name:size" made here; "http..." stays remote
        QTest::addColumn<bool>("updating");     // starts between the drag and the drop
        QTest::addColumn<QString>("taken");     // empty: nothing is taken
        QTest::addColumn<QStringList>("logged");
        QTest::newRow("a too large .bin is passed over for a valid one after it")
            << QStringList{"big.bin:236545", "app.bin:4096"} << false << "app.bin"
            << QStringList{tooLarge(236545, 236544), kLoaded};
        QTest::newRow("a remote image and names merely containing bin are refused")
            << QStringList{"https://example.com/app.bin", "app.bin.txt:10", "cabin:10"} << false
            << "" << QStringList{kRefusedDrop};
        QTest::newRow("an image dropped after an update started is not taken")
            << QStringList{"app.bin:4096"} << true << "" << QStringList{};
    }

    void drops()
    {
        QFETCH(QStringList, files);
        QFETCH(bool, updating);
        QFETCH(QString, taken);
        QFETCH(QStringList, logged);
        QList<QUrl> urls;
        for (const QString &entry : files) {
            urls << (entry.startsWith(QLatin1String("http"))
                         ? QUrl(entry)
                         : QUrl::fromLocalFile(makeFile(*m_dir, entry.section(':', 0, 0),
                                                        entry.section(':', 1).toLongLong())));
        }
        QMimeData mime; // the kind of file is looked at only on drop
        mime.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(m_dialog.get(), &enter);
        QVERIFY(enter.isAccepted() && !win().dropOverlay()->isHidden());
        win().setUpdating(updating);
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(m_dialog.get(), &drop);
        QVERIFY(win().dropOverlay()->isHidden());
        QLineEdit *edit = win().pathField();
        const QString path = taken.isEmpty() ? kOldPath : m_dir->filePath(taken);
        if (!taken.isEmpty())
            logged.last() += path;
        QCOMPARE(win().logLines(), logged);
        QCOMPARE(edit->text(), path);
        QCOMPARE(edit->toolTip(), taken.isEmpty() ? QString() : path);
        QCOMPARE(edit->styleSheet(), logged.contains(kRefusedDrop) ? kRedFrame : QString());
        QTRY_VERIFY_WITH_TIMEOUT(edit->styleSheet().isEmpty(), kWaitMs);
    }

    void fileDialogOpensWhereTheImageIs()
    {
        // The file chosen lies where the dialog opens: a file elsewhere would be found by the
        // dialog's file model only later.
        const QString chosen = makeFile(*m_dir, QStringLiteral("other.bin"), 4096);
        // Opens the dialog, notes its folder and chooses file (or nothing).
        const auto browse = [this](const QString &file) {
            QString folder;
            const auto answer = answerNextModal([&folder, file](QWidget *modal) {
                auto *dialog = qobject_cast<QFileDialog *>(modal);
                folder = dialog ? dialog->directory().absolutePath() : QString();
                if (dialog && !file.isEmpty()) {
                    dialog->selectFile(file);
                    QMetaObject::invokeMethod(dialog, "accept");
                } else {
                    modal->close();
                }
            });
            QTimer guard; // a dialog left open fails the test instead of hanging it
            connect(&guard, &QTimer::timeout, [] {
                if (QWidget *modal = QApplication::activeModalWidget())
                    modal->close();
            });
            guard.start(kWaitMs);
            win().browse();
            return folder;
        };
        win().pathField()->setText(makeFile(*m_dir, QStringLiteral("app.bin"), 4096));
        QCOMPARE(browse(chosen), m_dir->path()); // the current image's folder
        QCOMPARE(win().pathField()->text(), chosen);
        win().pathField()->setText(QStringLiteral("/no/such/folder/app.bin"));
        QCOMPARE(browse(QString()), m_dir->path()); // else the one last chosen from
        m_dialog = std::make_unique<Dialog>(); // no image and nothing chosen yet
        win().pathField()->clear();
        QCOMPARE(browse(QString()), QDir::homePath());
    }

    void typedPath_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");      // -1: nothing there, -2: a folder
        QTest::addColumn<bool>("pressReturn"); // at once, else after the pause in typing checked it
        QTest::addColumn<QString>("logged");   // kLoaded, or a refusal; the path follows it
        QTest::newRow(
            "a typed image is checked once typing pauses, and Return after that adds nothing")
            << "app.bin" << 4096LL << false << kLoaded;
        QTest::newRow("Return checks a typed image at once")
            << "app.bin" << 4096LL << true << kLoaded;
        QTest::newRow("a typed .txt is refused once, not at every keystroke, and 开始 goes off")
            << "notes.txt" << 4096LL << false << kWrongType;
        QTest::newRow("a typed empty image is refused on Return")
            << "app.bin" << 0LL << true << "固件文件为空。";
        QTest::newRow("a path to nothing is a missing file, not a wrong type")
            << "gone.bin" << -1LL << true << "文件不存在：";
        QTest::newRow("a folder is no file, whatever its name")
            << "folder.bin" << -2LL << false << "不是文件：";
    }

    void typedPath()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(bool, pressReturn);
        QFETCH(QString, logged);
        QLineEdit *field = win().pathField();
        field->clear();
        win().setState(Dialog::Connected);
        QVERIFY(!win().startButton()->isEnabled());
        const QString path = size >= 0 ? makeFile(*m_dir, name, size) : m_dir->filePath(name);
        if (size == -2)
            QVERIFY(QDir(m_dir->path()).mkdir(name));
        // 开始 follows the typing at once, the check once typing pauses.
        QTest::keyClicks(field, path);
        QVERIFY(win().logLines().isEmpty()); // nothing while typing
        QVERIFY(win().startButton()->isEnabled());
        if (!pressReturn)
            QTRY_VERIFY_WITH_TIMEOUT(!win().logLines().isEmpty(), kWaitMs);
        QTest::keyClick(field, Qt::Key_Return);
        const bool accepted = logged == kLoaded;
        QCOMPARE(win().startButton()->isEnabled(), accepted);
        QTest::qWait(kFrameMs); // a pause after Return adds nothing
        QCOMPARE(win().logLines(),
                 QStringList{logged.endsWith(u'：') ? logged + path : logged});
        // An edit makes a new path, which 开始 follows again.
        if (!accepted) {
            QTest::keyClick(field, Qt::Key_Backspace);
            QVERIFY(win().startButton()->isEnabled());
        }
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Dialog> m_dialog;
    DialogTestAccess win() const { return DialogTestAccess(*m_dialog); }
};

QTEST_MAIN(TestFirmwareSelection)
#include "tst_firmware_selection.moc"
