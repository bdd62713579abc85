// The log panel on a real window: entries in the document, the size limit, saving, copying,
// clearing, the footer buttons, the context menu and the toast.

#include "app/dialog.h"
#include "testsettings.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>

#include <memory>

// Reaches the window's private log members.
class DialogTestAccess
{
public:
    explicit DialogTestAccess(Dialog &dialog) : d(dialog) {}

    QTextEdit *view() const { return d.m_logView; }
    QTextDocument *document() const { return d.m_logView->document(); }
    QLabel *toast() const { return d.m_logToast; }
    QTimer *toastTimer() const { return d.m_toastTimer; }
    QList<QPushButton *> footerButtons() const
    {
        return {d.m_saveButton, d.m_copyButton, d.m_clearButton};
    }
    bool writeLogFile(const QString &path) { return d.writeLogFile(path); }
    void copyLog() { d.copyLog(); }
    void clearLog() { d.clearLog(); }
    void deleteSelectedLog() { d.deleteSelectedLog(); }
    void showToast(const QString &text) { d.showToast(text); }

private:
    Dialog &d;
};

namespace {

constexpr int kTestTimeoutMs = 5000;
const QRegularExpression kTimeStamp(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\]\u00A0"));

// The message part of a paragraph (after the time stamp and its non-breaking space).
QString messageOf(const QTextBlock &block)
{
    return block.text().remove(kTimeStamp);
}

// The character format of the message's last fragment.
QTextCharFormat messageFormat(const QTextBlock &block)
{
    QTextCharFormat format;
    for (auto it = block.begin(); !it.atEnd(); ++it)
        format = it.fragment().charFormat();
    return format;
}

QStringList filesIn(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

class TestLogPanel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void entryIsLiteralTextInOneParagraph_data();
    void entryIsLiteralTextInOneParagraph();
    void entryIsColouredByLevel_data();
    void entryIsColouredByLevel();
    void everyEntryHasTheLogLineSpacing();
    void logKeepsTheNewest5000Entries();

    void savedLogIsUtf8WithBomAndCrLf();
    void savingReplacesAnExistingFileCompletely();
    void failedSaveIsLoggedAndLeavesNoFile_data();
    void failedSaveIsLoggedAndLeavesNoFile();

    void footerButtonsFollowWhetherTheLogIsEmpty();
    void copyTakesTheSelectionOrTheWholeLog();
    void copyingAnEmptyLogIsSilent();
    void contextMenuOffersTheLogActions();

    void toastIsElidedAndHidesAfter1400ms();
    void newToastRestartsTheTimer();

private:
    std::unique_ptr<Dialog> m_dialog;
    std::unique_ptr<DialogTestAccess> m_access;
};

void TestLogPanel::initTestCase()
{
    usePrivateSettingsFolder();
    Dialog::setPortEnumerator([] { return QList<PortListing>{{"ttyTEST0", "Test port"}}; });
}

void TestLogPanel::init()
{
    m_dialog = std::make_unique<Dialog>();
    m_access = std::make_unique<DialogTestAccess>(*m_dialog);
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
}

void TestLogPanel::cleanup()
{
    m_access.reset();
    m_dialog.reset();
}

void TestLogPanel::entryIsLiteralTextInOneParagraph_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("a<b, CR LF and c show as a<b, a line break and c")
        << QStringLiteral("a<b\r\nc") << QStringLiteral("a<b\u2028c");
    QTest::newRow("a placeholder shows literally")
        << QStringLiteral("%1 at 50%") << QStringLiteral("%1 at 50%");
    QTest::newRow("markup-like text is not interpreted")
        << QStringLiteral("<b>&amp; \"q\"</b>") << QStringLiteral("<b>&amp; \"q\"</b>");
    QTest::newRow("runs of spaces are kept") << QStringLiteral("a   b") << QStringLiteral("a   b");
}

void TestLogPanel::entryIsLiteralTextInOneParagraph()
{
    QFETCH(QString, message);
    QFETCH(QString, shown);
    m_dialog->logMessage(message, Dialog::Info);
    QCOMPARE(m_access->document()->blockCount(), 1);
    const QTextBlock block = m_access->document()->firstBlock();
    QVERIFY2(kTimeStamp.match(block.text()).hasMatch(), qPrintable(block.text()));
    QCOMPARE(messageOf(block), shown);
}

void TestLogPanel::entryIsColouredByLevel_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<bool>("bold");
    QTest::newRow("info is slate") << int(Dialog::Info) << "#cbd5e1" << false;
    QTest::newRow("a command is blue") << int(Dialog::Command) << "#93c5fd" << false;
    QTest::newRow("a response is green") << int(Dialog::Response) << "#86efac" << false;
    QTest::newRow("an error is bold red") << int(Dialog::Error) << "#fca5a5" << true;
    QTest::newRow("success is the response green") << int(Dialog::Success) << "#86efac" << false;
    QTest::newRow("an unknown level is info") << 9 << "#cbd5e1" << false;
}

void TestLogPanel::entryIsColouredByLevel()
{
    QFETCH(int, level);
    QFETCH(QString, colour);
    QFETCH(bool, bold);
    m_dialog->logMessage(QStringLiteral("message"), static_cast<Dialog::LogLevel>(level));
    const QTextBlock block = m_access->document()->firstBlock();
    const QTextCharFormat time = block.begin().fragment().charFormat();
    QCOMPARE(time.foreground().color(), QColor("#64748b"));
    const QTextCharFormat text = messageFormat(block);
    QCOMPARE(text.foreground().color(), QColor(colour));
    QCOMPARE(text.fontWeight() >= QFont::Bold, bold);
}

void TestLogPanel::everyEntryHasTheLogLineSpacing()
{
    m_dialog->logMessage(QStringLiteral("one"), Dialog::Info);
    m_dialog->logMessage(QStringLiteral("two\nlines"), Dialog::Error);
    m_dialog->logMessage(QStringLiteral("three"), Dialog::Success);
    QCOMPARE(m_access->document()->blockCount(), 3);
    for (QTextBlock block = m_access->document()->firstBlock(); block.isValid();
         block = block.next()) {
        const QTextBlockFormat format = block.blockFormat();
        QCOMPARE(format.lineHeight(), 132.0);
        QCOMPARE(format.lineHeightType(), int(QTextBlockFormat::ProportionalHeight));
        QCOMPARE(format.topMargin(), 2.0);
    }
}

void TestLogPanel::logKeepsTheNewest5000Entries()
{
    for (int i = 1; i <= 5001; ++i)
        m_dialog->logMessage(QStringLiteral("entry %1").arg(i), Dialog::Info);
    QTextDocument *document = m_access->document();
    QCOMPARE(document->blockCount(), 5000);
    QCOMPARE(messageOf(document->firstBlock()), QStringLiteral("entry 2"));
    QCOMPARE(messageOf(document->lastBlock()), QStringLiteral("entry 5001"));
    // Trimmed entries must not live on in an undo history.
    QCOMPARE(document->availableUndoSteps(), 0);
}

void TestLogPanel::savedLogIsUtf8WithBomAndCrLf()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    m_dialog->logMessage(QStringLiteral("第一条"), Dialog::Info);
    m_dialog->logMessage(QStringLiteral("second\nline"), Dialog::Error);
    QTextDocument *document = m_access->document();
    const QString time1 = document->firstBlock().text().mid(1, 8);
    const QString time2 = document->lastBlock().text().mid(1, 8);

    const QString path = dir.filePath(QStringLiteral("log.txt"));
    QVERIFY(m_access->writeLogFile(path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray expected = QByteArray("\xEF\xBB\xBF") + '[' + time1.toLatin1() + "] " +
                                QStringLiteral("第一条").toUtf8() + "\r\n[" + time2.toLatin1() +
                                "] second\r\nline";
    QCOMPARE(file.readAll(), expected);
    QCOMPARE(document->blockCount(), 2); // a successful save logs nothing
}

void TestLogPanel::savingReplacesAnExistingFileCompletely()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(4096, 'x'));
    old.close();

    m_dialog->logMessage(QStringLiteral("short"), Dialog::Info);
    QVERIFY(m_access->writeLogFile(path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.startsWith("\xEF\xBB\xBF["));
    QVERIFY(bytes.endsWith("] short"));
    QCOMPARE(bytes.size(), 3 + 16);
    QCOMPARE(filesIn(dir.path()), QStringList{"log.txt"});
}

void TestLogPanel::failedSaveIsLoggedAndLeavesNoFile_data()
{
    // Tests may run as root, which ignores permission bits; these fail for root too.
    QTest::addColumn<QString>("target");
    QTest::newRow("a folder that is really a file") << QStringLiteral("notAFolder/log.txt");
    QTest::newRow("a target that is a folder") << QStringLiteral("aFolder");
}

void TestLogPanel::failedSaveIsLoggedAndLeavesNoFile()
{
    QFETCH(QString, target);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile blocker(dir.filePath(QStringLiteral("notAFolder")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.write("keep");
    blocker.close();
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("aFolder")));
    const QStringList before = filesIn(dir.path());

    m_dialog->logMessage(QStringLiteral("entry"), Dialog::Info);
    QVERIFY(!m_access->writeLogFile(dir.filePath(target)));

    QTextDocument *document = m_access->document();
    QCOMPARE(document->blockCount(), 2);
    QCOMPARE(messageOf(document->firstBlock()), QStringLiteral("entry"));
    const QTextBlock report = document->lastBlock();
    QVERIFY2(messageOf(report).startsWith(QStringLiteral("无法保存日志：")),
             qPrintable(report.text()));
    QVERIFY(messageOf(report).size() > QStringLiteral("无法保存日志：").size());
    QCOMPARE(messageFormat(report).foreground().color(), QColor("#fca5a5"));
    QVERIFY(m_access->toast()->isHidden());

    QCOMPARE(filesIn(dir.path()), before);
    QVERIFY(filesIn(dir.filePath(QStringLiteral("aFolder"))).isEmpty());
    QVERIFY(blocker.open(QIODevice::ReadOnly));
    QCOMPARE(blocker.readAll(), QByteArray("keep"));
}

void TestLogPanel::footerButtonsFollowWhetherTheLogIsEmpty()
{
    const auto enabledStates = [this] {
        QList<bool> states;
        for (QPushButton *button : m_access->footerButtons())
            states << button->isEnabled();
        return states;
    };
    const QList<bool> allOff{false, false, false};
    const QList<bool> allOn{true, true, true};
    QCOMPARE(enabledStates(), allOff);

    m_dialog->logMessage(QStringLiteral("one"), Dialog::Info);
    QCOMPARE(enabledStates(), allOn);
    m_access->clearLog();
    QVERIFY(m_access->document()->isEmpty());
    QCOMPARE(enabledStates(), allOff);

    m_dialog->logMessage(QStringLiteral("two"), Dialog::Info);
    m_access->deleteSelectedLog(); // nothing selected: nothing goes
    QCOMPARE(enabledStates(), allOn);
    m_access->view()->selectAll();
    m_access->deleteSelectedLog();
    QVERIFY(m_access->document()->isEmpty());
    QCOMPARE(enabledStates(), allOff);
}

void TestLogPanel::copyTakesTheSelectionOrTheWholeLog()
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    m_dialog->logMessage(QStringLiteral("alpha"), Dialog::Info);
    m_dialog->logMessage(QStringLiteral("beta\ngamma"), Dialog::Response);

    // No selection: the footer button copies the whole log as plain text.
    m_access->copyLog();
    const QString whole = clipboard->text();
    QCOMPARE(whole, m_access->view()->toPlainText());
    QVERIFY(!whole.contains(QChar::ParagraphSeparator));
    QCOMPARE(whole.split('\n').size(), 3);
    QVERIFY(m_access->toast()->isVisible());
    QCOMPARE(m_access->toast()->text(), QStringLiteral("已复制到剪贴板"));

    // A selection over both entries: paragraph breaks become line feeds, the rest stays.
    m_access->view()->selectAll();
    m_access->copyLog();
    const QString selected = clipboard->text();
    QVERIFY(!selected.contains(QChar::ParagraphSeparator));
    QVERIFY(selected.contains(QStringLiteral("alpha\n[")));
    QVERIFY(selected.contains(QChar(QChar::Nbsp)));
    QVERIFY(selected.contains(QStringLiteral("beta\u2028gamma")));
}

void TestLogPanel::copyingAnEmptyLogIsSilent()
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("untouched"));
    m_access->copyLog();
    QCOMPARE(clipboard->text(), QStringLiteral("untouched"));
    QVERIFY(m_access->toast()->isHidden());
}

void TestLogPanel::contextMenuOffersTheLogActions()
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("untouched"));
    m_dialog->logMessage(QStringLiteral("entry"), Dialog::Info);

    QStringList texts;
    QString title;
    bool found = false;
    // The menu runs modally; inspect it and use two of its entries from inside its loop.
    QTimer::singleShot(0, this, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        found = true;
        title = menu->title();
        for (QAction *action : menu->actions()) {
            texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
            QVERIFY(action->isEnabled());
        }
        for (QAction *action : menu->actions()) {
            if (action->text() == QStringLiteral("复制"))
                action->trigger(); // nothing selected: copies nothing
        }
        for (QAction *action : menu->actions()) {
            if (action->text() == QStringLiteral("全部清空"))
                action->trigger();
        }
        menu->close();
    });
    Q_EMIT m_access->view()->customContextMenuRequested(QPoint(5, 5));

    QVERIFY(found);
    QCOMPARE(title, QStringLiteral("日志菜单"));
    QCOMPARE(texts,
             (QStringList{"全选", "复制", "复制全部", "-", "保存日志…", "全部清空", "删除选中"}));
    QCOMPARE(clipboard->text(), QStringLiteral("untouched"));
    QVERIFY(m_access->document()->isEmpty());
}

void TestLogPanel::toastIsElidedAndHidesAfter1400ms()
{
    QLabel *toast = m_access->toast();
    const QString shortText = QStringLiteral("已复制到剪贴板");
    m_access->showToast(shortText);
    const QFontMetrics metrics(toast->font());
    QCOMPARE(toast->text(), shortText);
    QCOMPARE(toast->size(), QSize(metrics.horizontalAdvance(shortText) + 26, 22));

    const QString longText = QStringLiteral("日志已保存到 %1").arg(QString(200, QLatin1Char('x')));
    QElapsedTimer shown;
    shown.start();
    m_access->showToast(longText);
    QVERIFY(toast->isVisible());
    QVERIFY(toast->text().endsWith(QChar(0x2026)));
    QVERIFY(toast->text().size() < longText.size());
    QVERIFY(metrics.horizontalAdvance(toast->text()) <= 254);
    QCOMPARE(toast->size(), QSize(254 + 26, 22));

    QTRY_VERIFY_WITH_TIMEOUT(toast->isHidden(), kTestTimeoutMs);
    QVERIFY2(shown.elapsed() >= 1350, qPrintable(QString::number(shown.elapsed())));
}

void TestLogPanel::newToastRestartsTheTimer()
{
    QTimer *timer = m_access->toastTimer();
    m_access->showToast(QStringLiteral("first"));
    QVERIFY(timer->isActive());
    QTRY_VERIFY_WITH_TIMEOUT(timer->remainingTime() < 1000, kTestTimeoutMs);
    m_access->showToast(QStringLiteral("second"));
    QCOMPARE(m_access->toast()->text(), QStringLiteral("second"));
    QVERIFY(timer->remainingTime() > 1300);

    m_access->clearLog();
    QVERIFY(!timer->isActive());
    QVERIFY(m_access->toast()->isHidden());
}

QTEST_MAIN(TestLogPanel)
#include "tst_logpanel.moc"
