// The log panel on a real window: entries in the document, the size limit under a flood from the
// worker, following the end, saving, copying, clearing, the footer buttons, the context menu and
// the toast.

#include "console/logentry.h"
#include "window_access.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int kToastWaitMs = 5000;
constexpr int kFloodWaitMs = 120000;

QStringList filesIn(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestLogPanel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { useTestEnvironment(); }
    void init();
    void cleanup() { m_dialog.reset(); }

    void entryIsLiteralColouredAndSpaced_data();
    void entryIsLiteralColouredAndSpaced();
    void workerFloodEndsWithTheNewest5000InOrder();
    void viewAtItsEndStaysThereAcrossLayoutChanges_data();
    void viewAtItsEndStaysThereAcrossLayoutChanges();
    void savedLogReplacesTheFileWithUtf8BomAndCrLf();
    void savedBytesKeepCrLfAndEndWithTheText_data();
    void savedBytesKeepCrLfAndEndWithTheText();
    void failedSaveIsLoggedAndLeavesNoFile_data();
    void failedSaveIsLoggedAndLeavesNoFile();
    void copyTakesTheSelectionOrTheWholeLog();
    void footerButtonsAndContextMenuFollowTheLog();
    void toastIsElidedAndHidesAfter1400ms();

private:
    void log(const QString &message, Dialog::LogLevel level = Dialog::Info)
    {
        m_dialog->logMessage(message, level);
    }
    std::unique_ptr<Dialog> m_dialog;
    std::unique_ptr<DialogTestAccess> m_win;
};

void TestLogPanel::init()
{
    m_dialog = std::make_unique<Dialog>();
    m_win = std::make_unique<DialogTestAccess>(*m_dialog);
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
}

void TestLogPanel::entryIsLiteralColouredAndSpaced_data()
{
    QTest::addColumn<Dialog::LogLevel>("level");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<bool>("bold");
    QTest::newRow("info is slate; a<b, CR LF and c show as a<b, a line break and c")
        << Dialog::Info << u"a<b\r\nc"_s << u"a<b\u2028c"_s << u"#cbd5e1"_s << false;
    QTest::newRow("a command is blue; a lone CR is a line break too")
        << Dialog::Command << u"x\ry"_s << u"x\u2028y"_s << u"#93c5fd"_s << false;
    QTest::newRow("a response is green; CR CR LF is two breaks, not three")
        << Dialog::Response << u"x\r\r\ny"_s << u"x\u2028\u2028y"_s << u"#86efac"_s << false;
    QTest::newRow("an error is bold red; placeholders %1 to %5 stay literal")
        << Dialog::Error << u"%1 %2 %3 %4 %5 at 50%"_s << u"%1 %2 %3 %4 %5 at 50%"_s << u"#fca5a5"_s
        << true;
    QTest::newRow("success is the response green; markup and entities stay text")
        << Dialog::Success << u"<b>&amp; \"q\"</b>"_s << u"<b>&amp; \"q\"</b>"_s << u"#86efac"_s
        << false;
    QTest::newRow("an unknown level is info; runs of spaces are kept")
        << Dialog::LogLevel(9) << u"a   b"_s << u"a   b"_s << u"#cbd5e1"_s << false;
}

void TestLogPanel::entryIsLiteralColouredAndSpaced()
{
    QFETCH(Dialog::LogLevel, level);
    QFETCH(QString, message);
    QFETCH(QString, shown);
    QFETCH(QString, colour);
    QFETCH(bool, bold);
    log(message, level);
    QCOMPARE(m_win->log()->blockCount(), 1);
    const QTextBlock block = m_win->log()->firstBlock();
    QCOMPARE(messageOf(block), shown);
    QCOMPARE(block.begin().fragment().charFormat().foreground().color(), QColor("#64748b"));
    QCOMPARE(messageFormat(block).foreground().color(), QColor(colour));
    QCOMPARE(messageFormat(block).fontWeight() >= QFont::Bold, bold);
    QCOMPARE(block.blockFormat().lineHeight(), 132.0);
    QCOMPARE(block.blockFormat().lineHeightType(), int(QTextBlockFormat::ProportionalHeight));
    QCOMPARE(block.blockFormat().topMargin(), 2.0);
    QVERIFY(QFontInfo(m_win->logView()->font()).fixedPitch());
}

void TestLogPanel::workerFloodEndsWithTheNewest5000InOrder()
{
    SerialWorker *worker = m_win->worker();
    std::unique_ptr<QThread> flood(QThread::create([worker] {
        for (int i = 1; i <= 10000; ++i)
            Q_EMIT worker->logMessage(u"entry %1"_s.arg(i));
    }));
    flood->start();
    QVERIFY(flood->wait(kFloodWaitMs));
    QTRY_COMPARE_WITH_TIMEOUT(messageOf(m_win->log()->lastBlock()), u"entry 10000"_s, kFloodWaitMs);
    log(u"entry 10001"_s); // a direct entry at the cap drops the oldest too
    QCOMPARE(m_win->log()->blockCount(), 5000);
    int expected = 5002;
    for (QTextBlock block = m_win->log()->begin(); block.isValid(); block = block.next())
        QCOMPARE(messageOf(block), u"entry %1"_s.arg(expected++));
    // Trimmed entries must not live on in an undo history.
    QCOMPARE(m_win->log()->availableUndoSteps(), 0);
}

void TestLogPanel::viewAtItsEndStaysThereAcrossLayoutChanges_data()
{
    QTest::addColumn<int>("change");
    QTest::addColumn<bool>("scrolledUp");
    QTest::newRow("the progress bar showing keeps a view at its end following") << 0 << false;
    QTest::newRow("a shorter window keeps a view at its end following") << 1 << false;
    QTest::newRow("a larger font keeps a view at its end following") << 2 << false;
    QTest::newRow("a user who scrolled up is not pulled down") << 0 << true;
}

void TestLogPanel::viewAtItsEndStaysThereAcrossLayoutChanges()
{
    QFETCH(int, change);
    QFETCH(bool, scrolledUp);
    for (int i = 0; i < 300; ++i)
        log(u"entry %1"_s.arg(i));
    QScrollBar *bar = m_win->logView()->verticalScrollBar();
    if (scrolledUp)
        bar->triggerAction(QAbstractSlider::SliderPageStepSub);
    const int before = bar->value();
    QVERIFY(before > 0 && (before == bar->maximum()) != scrolledUp);
    if (change == 0)
        m_win->progressBar()->show();
    else if (change == 1)
        m_dialog->resize(m_dialog->width(), m_dialog->height() - 60);
    else
        m_win->logView()->setFont(QFont(m_win->logView()->font().family(), 20));
    QCoreApplication::processEvents(); // lays the window out anew
    log(u"after the change"_s);
    QCOMPARE(bar->value(), scrolledUp ? before : bar->maximum());
}

void TestLogPanel::savedLogReplacesTheFileWithUtf8BomAndCrLf()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"log.txt"_s);
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write(QByteArray(4096, 'x')) == 4096);
    old.close();
    log(u"第一条"_s);
    log(u"second\nline"_s, Dialog::Error);
    const QByteArray time1 = m_win->log()->firstBlock().text().mid(1, 8).toLatin1();
    const QByteArray time2 = m_win->log()->lastBlock().text().mid(1, 8).toLatin1();

    QVERIFY(m_win->writeLogFile(path));
    QCOMPARE(contentsOf(path), "\xEF\xBB\xBF[" + time1 + "] " + u"第一条"_s.toUtf8() + "\r\n[" +
                                   time2 + "] second\r\nline");
    QCOMPARE(filesIn(dir.path()), QStringList{"log.txt"});
    QCOMPARE(m_win->log()->blockCount(), 2); // a successful save logs nothing
}

void TestLogPanel::savedBytesKeepCrLfAndEndWithTheText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray bom("\xEF\xBB\xBF");
    QTest::newRow("an empty log is only the byte-order mark") << QString() << bom;
    QTest::newRow("existing CR LF is not doubled, a trailing LF becomes CR LF")
        << u"a\r\nb\n"_s << bom + "a\r\nb\r\n";
}

void TestLogPanel::savedBytesKeepCrLfAndEndWithTheText()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(LogPanel::logFileBytes(text), bytes);
}

void TestLogPanel::failedSaveIsLoggedAndLeavesNoFile_data()
{
    // Tests may run as root, which ignores permission bits; these fail for root too.
    QTest::addColumn<QString>("target");
    QTest::newRow("a folder that is really a file") << u"notAFolder/log.txt"_s;
    QTest::newRow("a target that is a folder") << u"aFolder"_s;
}

void TestLogPanel::failedSaveIsLoggedAndLeavesNoFile()
{
    QFETCH(QString, target);
    QTemporaryDir dir;
    QFile blocker(dir.filePath(u"notAFolder"_s));
    QVERIFY(blocker.open(QIODevice::WriteOnly) && blocker.write("keep") == 4);
    blocker.close();
    QVERIFY(QDir(dir.path()).mkdir(u"aFolder"_s));

    log(u"entry"_s);
    QVERIFY(!m_win->writeLogFile(dir.filePath(target)));
    QCOMPARE(m_win->log()->blockCount(), 2);
    const QTextBlock report = m_win->log()->lastBlock();
    QVERIFY2(messageOf(report).startsWith(u"无法保存日志："_s) && messageOf(report).size() > 7,
             qPrintable(report.text()));
    QCOMPARE(messageFormat(report).foreground().color(), QColor("#fca5a5"));
    QVERIFY(m_win->toast()->isHidden());
    QCOMPARE(filesIn(dir.path()), (QStringList{"aFolder", "notAFolder"}));
    QCOMPARE(contentsOf(blocker.fileName()), QByteArray("keep"));
}

void TestLogPanel::copyTakesTheSelectionOrTheWholeLog()
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    log(u"alpha"_s);
    log(u"beta\ngamma"_s, Dialog::Response);
    m_win->copyLog(); // no selection: the whole log as plain text
    QCOMPARE(clipboard->text(), m_win->logText());
    QVERIFY(m_win->toast()->isVisible());
    QCOMPARE(m_win->toast()->text(), u"已复制到剪贴板"_s);

    // A selection: paragraph breaks become line feeds, the rest stays.
    m_win->logView()->selectAll();
    m_win->copyLog();
    const QString selected = clipboard->text();
    QVERIFY(!selected.contains(QChar::ParagraphSeparator));
    QVERIFY(selected.contains(u"alpha\n["_s));
    QVERIFY(selected.contains(u"beta\u2028gamma"_s));
}

void TestLogPanel::footerButtonsAndContextMenuFollowTheLog()
{
    const auto expectFooter = [this](bool on) {
        for (QPushButton *button : m_win->footerButtons())
            QCOMPARE(button->isEnabled(), on);
    };
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->setText(u"untouched"_s);
    expectFooter(false);
    m_win->copyLog(); // an empty log copies nothing and says nothing
    QVERIFY(m_win->toast()->isHidden());

    log(u"one"_s);
    expectFooter(true);
    m_win->deleteSelectedLog(); // nothing selected: nothing goes
    expectFooter(true);
    m_win->logView()->selectAll();
    m_win->deleteSelectedLog();
    QVERIFY(m_win->log()->isEmpty());
    expectFooter(false);

    log(u"two"_s);
    QStringList texts;
    QString title;
    // The menu runs modally; read it and use two of its entries from inside its loop.
    QTimer::singleShot(0, this, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        title = menu->title();
        for (QAction *action : menu->actions())
            texts << (action->isSeparator() ? u"-"_s : action->text());
        menu->actions().at(texts.indexOf("复制"))->trigger(); // nothing selected: copies nothing
        menu->actions().at(texts.indexOf("全部清空"))->trigger();
        menu->close();
    });
    Q_EMIT m_win->logView()->customContextMenuRequested(QPoint(5, 5));
    QCOMPARE(title, u"日志菜单"_s);
    QCOMPARE(texts,
             (QStringList{"全选", "复制", "复制全部", "-", "保存日志…", "全部清空", "删除选中"}));
    QCOMPARE(clipboard->text(), u"untouched"_s);
    QVERIFY(m_win->log()->isEmpty());
    expectFooter(false);
}

void TestLogPanel::toastIsElidedAndHidesAfter1400ms()
{
    QLabel *toast = m_win->toast();
    const QFontMetrics metrics(toast->font());
    m_win->showToast(u"已复制到剪贴板"_s);
    QCOMPARE(toast->size(), QSize(metrics.horizontalAdvance("已复制到剪贴板") + 26, 22));

    const QString longText = u"日志已保存到 "_s + QString(200, u'x');
    m_win->showToast(longText);
    QVERIFY(toast->isVisible());
    QVERIFY(toast->text().endsWith(QChar(0x2026)));
    QVERIFY(metrics.horizontalAdvance(toast->text()) <= 254);
    QCOMPARE(toast->size(), QSize(254 + 26, 22));

    // A new toast restarts the 1400 ms.
    QTRY_VERIFY_WITH_TIMEOUT(m_win->toastTimer()->remainingTime() < 1000, kToastWaitMs);
    m_win->showToast(u"second"_s);
    QCOMPARE(toast->text(), u"second"_s);
    QTRY_VERIFY_WITH_TIMEOUT(toast->isHidden(), kToastWaitMs);

    // Clearing the log takes a toast away at once.
    m_win->showToast(u"third"_s);
    m_win->clearLog();
    QVERIFY(toast->isHidden() && !m_win->toastTimer()->isActive());
}

QTEST_MAIN(TestLogPanel)
#include "tst_logpanel.moc"
