// Choosing the image in the window: the checks in their order with their messages, the limit
// from the store, browsing, typing, and dropping files with the overlay and the red frame.

#include "window_access.h"

#include <QFileDialog>
#include <QTest>

namespace {
const QString kWrongType = QStringLiteral("无效文件，仅支持 .bin 格式。");
const QString kRefusedDrop = QStringLiteral("不支持的文件类型，请拖入 .bin 文件。");
const QString kLoaded = QStringLiteral("已加载固件：");
const QString kOldPath = QStringLiteral("/old/path.bin");
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
        QTest::addColumn<qint64>("size");       // -1: no such file, -2: a folder
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
        QTest::newRow("a too large .txt is refused for its type")
            << "notes.txt" << 300000LL << QByteArray() << kWrongType;
        QTest::newRow("an empty .bin is refused")
            << "app.bin" << 0LL << QByteArray() << "固件文件为空。";
        QTest::newRow("a missing file is refused")
            << "missing.bin" << -1LL << QByteArray() << kWrongType;
        QTest::newRow("a folder named like an image is refused")
            << "dir.bin" << -2LL << QByteArray() << kWrongType;
    }

    void validation()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(QByteArray, edited);
        QFETCH(QString, message);
        if (size >= 0)
            makeFile(*m_dir, name, size);
        else if (size == -2)
            QVERIFY(QDir(m_dir->path()).mkdir(name));
        if (!edited.isEmpty()) { // a person edits the store on disk
            QVERIFY(win().validate(m_dir->filePath(name)));
            QFile conf(store().fileName());
            QVERIFY(QDir().mkpath(QFileInfo(conf).absolutePath()));
            QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QVERIFY(conf.write(edited) == edited.size());
        }
        QCOMPARE(win().validate(m_dir->filePath(name)), message.isEmpty());
        QCOMPARE(logLines(), message.isEmpty() ? QStringList() : QStringList{message});
    }

    void drops_data()
    {
        QTest::addColumn<QStringList>("files"); // "name:size" made here; "http..." stays remote
        QTest::addColumn<QString>("taken");     // empty: the drop is refused
        QTest::addColumn<QStringList>("logged");
        const QString big = tooLarge(236545, 236544);
        QTest::newRow("a .txt with a valid .bin takes the .bin silently")
            << QStringList{"notes.txt:10", "app.bin:4096"} << "app.bin" << QStringList{kLoaded};
        QTest::newRow("of two valid images the first, in capitals, is taken")
            << QStringList{"FIRMWARE.BIN:100", "b.bin:200"} << "FIRMWARE.BIN"
            << QStringList{kLoaded};
        QTest::newRow("a too large .bin logs its size, then the refusal")
            << QStringList{"big.bin:236545"} << "" << QStringList{big, kRefusedDrop};
        QTest::newRow("a too large .bin is passed over for a valid one after it")
            << QStringList{"big.bin:236545", "app.bin:4096"} << "app.bin"
            << QStringList{big, kLoaded};
        QTest::newRow("a remote image and names merely containing bin are refused")
            << QStringList{"https://example.com/app.bin", "app.bin.txt:10", "cabin:10"} << ""
            << QStringList{kRefusedDrop};
    }

    void drops()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, taken);
        QFETCH(QStringList, logged);
        QList<QUrl> urls;
        for (const QString &entry : files) {
            urls << (entry.startsWith(QLatin1String("http"))
                         ? QUrl(entry)
                         : QUrl::fromLocalFile(makeFile(*m_dir, entry.section(':', 0, 0),
                                                        entry.section(':', 1).toLongLong())));
        }
        QVERIFY(dropUrls(*m_dialog, urls));
        QLineEdit *edit = win().pathField();
        const QString path = taken.isEmpty() ? kOldPath : m_dir->filePath(taken);
        if (!taken.isEmpty())
            logged.last() += path;
        QCOMPARE(logLines(), logged);
        QCOMPARE(edit->text(), path);
        QVERIFY(win().dropOverlay()->isHidden());
        if (!taken.isEmpty()) {
            QCOMPARE(edit->toolTip(), path);
            QVERIFY(edit->styleSheet().isEmpty());
            return;
        }
        QCOMPARE(edit->styleSheet(), QStringLiteral("QLineEdit { border: 2px solid #dc2626; }"));
        QTRY_VERIFY_WITH_TIMEOUT(edit->styleSheet().isEmpty(), kWaitMs);
    }

    void dragsShowTheOverlayAndNothingIsTakenDuringAnUpdate()
    {
        m_dialog->resize(600, 500);
        QMimeData text;
        text.setText(QStringLiteral("app.bin"));
        QVERIFY(!dragAndDrop(*m_dialog, text));
        QMimeData mime; // the kind of file is looked at only on drop
        mime.setUrls({QUrl::fromLocalFile(makeFile(*m_dir, QStringLiteral("app.txt"), 4096))});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(m_dialog.get(), &enter);
        QVERIFY(enter.isAccepted());
        QCOMPARE(win().dropOverlay()->isHidden() ? QRect() : win().dropOverlay()->geometry(),
                 QRect(0, 0, 600, 500));
        QDragLeaveEvent leave;
        QApplication::sendEvent(m_dialog.get(), &leave);
        QVERIFY(win().dropOverlay()->isHidden());

        // A drag of an image that began before an update is dropped after it started.
        mime.setUrls({QUrl::fromLocalFile(makeFile(*m_dir, QStringLiteral("app.bin"), 4096))});
        QDragEnterEvent again(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(m_dialog.get(), &again);
        win().setUpdating(true);
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(m_dialog.get(), &drop);
        QVERIFY(!dragAndDrop(*m_dialog, mime)); // and a new drag is refused
        QVERIFY(win().dropOverlay()->isHidden());
        QCOMPARE(win().pathField()->text(), kOldPath);
        QVERIFY(logLines().isEmpty());
    }

    void browse_data()
    {
        QTest::addColumn<qint64>("size"); // -1: the user cancels
        QTest::addColumn<QString>("logged");
        QTest::newRow("a valid image is loaded") << 4096LL << kLoaded;
        QTest::newRow("a too large image keeps the old path")
            << 236545LL << tooLarge(236545, 236544);
        QTest::newRow("cancelling changes nothing") << -1LL << "";
    }

    void browse()
    {
        QFETCH(qint64, size);
        QFETCH(QString, logged);
        const QString file = size < 0 ? QString() : makeFile(*m_dir, "app.bin", size);
        const auto poll = answerNextModal([file](QWidget *modal) {
            auto *files = qobject_cast<QFileDialog *>(modal);
            QVERIFY(files);
            files->selectFile(file);
            QDialog *dialog = files; // accept() is public here
            file.isEmpty() ? dialog->reject() : dialog->accept();
        });
        win().browse();
        const bool loaded = logged == kLoaded;
        QCOMPARE(win().pathField()->text(), loaded ? file : kOldPath);
        QCOMPARE(logLines(), logged.isEmpty() ? QStringList()
                                              : QStringList{logged + (loaded ? file : QString())});
    }

    void typedPath_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("pressReturn"); // at once, else after the pause in typing checked it
        QTest::addColumn<QString>("logged");   // kLoaded: followed by the path
        QTest::newRow(
            "a typed image is checked once typing pauses, and Return after that adds nothing")
            << "app.bin" << 4096LL << false << kLoaded;
        QTest::newRow("Return checks a typed image at once")
            << "app.bin" << 4096LL << true << kLoaded;
        QTest::newRow("a typed .txt is refused once, not at every keystroke")
            << "notes.txt" << 4096LL << false << kWrongType;
        QTest::newRow("a typed empty image is refused on Return")
            << "app.bin" << 0LL << true << "固件文件为空。";
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
        const QString path = makeFile(*m_dir, name, size);
        QTest::keyClicks(field, path);
        QVERIFY(logLines().isEmpty()); // nothing while typing
        if (!pressReturn)
            QTRY_VERIFY_WITH_TIMEOUT(!logLines().isEmpty(), kWaitMs);
        QTest::keyClick(field, Qt::Key_Return);
        QVERIFY(win().startButton()->isEnabled());
        QTest::qWait(kFrameMs); // a pause after Return adds nothing
        QCOMPARE(logLines(), QStringList{logged == kLoaded ? logged + path : logged});
    }

private:
    // The log, one entry a line, without the time stamps ("[hh:mm:ss] ").
    QStringList logLines() const
    {
        QStringList lines = win().logText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (QString &line : lines)
            line = line.mid(11);
        return lines;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Dialog> m_dialog;
    DialogTestAccess win() const { return DialogTestAccess(*m_dialog); }
};

QTEST_MAIN(TestFirmwareSelection)
#include "tst_firmware_selection.moc"
