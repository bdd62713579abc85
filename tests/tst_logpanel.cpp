// The log panel on a real window: entries in the document, the size limit under a flood from the
// worker, following the end, saving, copying, clearing, the footer, the context menu and the toast.

#include "console/logentry.h"
#include "window_access.h"

#include <QClipboard>
#include <QScrollBar>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr int kWaitMs = 120000;
const QByteArray kBom("\xEF\xBB\xBF");

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
    void init()
    {
        m_dialog = std::make_unique<Dialog>();
        m_win = std::make_unique<DialogTestAccess>(*m_dialog);
        m_dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    }
    void cleanup() { m_dialog.reset(); }

    void entryIsLiteralAndColoured_data();
    void entryIsLiteralAndColoured();
    void workerFloodEndsWithTheNewest5000InOrder();
    void viewAtItsEndStaysThereAcrossLayoutChanges_data();
    void viewAtItsEndStaysThereAcrossLayoutChanges();
    void savingTheLog_data();
    void savingTheLog();
    void copyFooterAndContextMenuFollowTheLog();
    void toastIsElidedAndHidesAfter1400ms();

private:
    void log(const QString &message, Dialog::LogLevel level = Dialog::Info)
    {
        m_dialog->logMessage(message, level);
    }
    std::unique_ptr<Dialog> m_dialog;
    std::unique_ptr<DialogTestAccess> m_win;
};

void TestLogPanel::entryIsLiteralAndColoured_data()
{
    QTest::addColumn<Dialog::LogLevel>("level");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("colour");
    QTest::newRow("info is slate; a<b, CR LF and c show as a<b, a line break and c")
        << Dialog::Info << u"a<b\r\nc"_s << u"a<b\u2028c"_s << u"#cbd5e1"_s;
    QTest::newRow("a command is blue; a lone CR is a line break too")
        << Dialog::Command << u"x\ry"_s << u"x\u2028y"_s << u"#93c5fd"_s;
    QTest::newRow("a response is green; CR CR LF is two breaks, not three")
        << Dialog::Response << u"x\r\r\ny"_s << u"x\u2028\u2028y"_s << u"#86efac"_s;
    QTest::newRow("an error is bold red, the only bold one; placeholders %1 to %5 stay literal")
        << Dialog::Error << u"%1 %2 %3 %4 %5 at 50%"_s << u"%1 %2 %3 %4 %5 at 50%"_s
        << u"#fca5a5"_s;
    QTest::newRow("success is the response green; markup and entities stay text")
        << Dialog::Success << u"<b>&amp; \"q\"</b>"_s << u"<b>&amp; \"q\"</b>"_s << u"#86efac"_s;
    QTest::newRow("an unknown level is info; runs of spaces are kept")
        << Dialog::LogLevel(9) << u"a   b"_s << u"a   b"_s << u"#cbd5e1"_s;
}

void TestLogPanel::entryIsLiteralAndColoured()
{
    QFETCH(Dialog::LogLevel, level);
    QFETCH(QString, message);
    QFETCH(QString, shown);
    QFETCH(QString, colour);
    log(message, level);
    QCOMPARE(m_win->log()->blockCount(), 1);
    const QTextBlock block = m_win->log()->firstBlock();
    QCOMPARE(messageOf(block), shown);
    QCOMPARE(messageFormat(block).foreground().color(), QColor(colour));
    QCOMPARE(messageFormat(block).fontWeight() >= QFont::Bold, level == Dialog::Error);
}

void TestLogPanel::workerFloodEndsWithTheNewest5000InOrder()
{
    SerialWorker *worker = m_win->worker();
    std::unique_ptr<QThread> flood(QThread::create([worker] {
        for (int i = 1; i <= 10000; ++i)
            Q_EMIT worker->logMessage(u"entry %1"_s.arg(i));
    }));
    flood->start();
    QVERIFY(flood->wait(kWaitMs));
    // A window entry goes in after every worker entry that was sent before it, and at the cap
    // it drops the oldest too.
    QCoreApplication::sendPostedEvents(); // every worker entry reached the window's queue
    log(u"entry 10001"_s);
    QCOMPARE(m_win->log()->blockCount(), 5000);
    int expected = 5002;
    for (QTextBlock block = m_win->log()->begin(); block.isValid(); block = block.next())
        QCOMPARE(messageOf(block), u"entry %1"_s.arg(expected++));
    QCOMPARE(m_win->log()->availableUndoSteps(), 0); // trimmed entries leave no undo history
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

void TestLogPanel::savingTheLog_data()
{
    // Tests may run as root, which ignores permission bits; the failures fail for root too.
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("saved");
    QTest::newRow("an existing file is replaced by UTF-8 with a BOM and CR LF")
        << "old.txt" << true;
    QTest::newRow("a folder that is really a file is reported") << "old.txt/log.txt" << false;
    QTest::newRow("a target that is a folder is reported") << "folder" << false;
}

void TestLogPanel::savingTheLog()
{
    QFETCH(QString, target);
    QFETCH(bool, saved);
    QTemporaryDir dir;
    QFile old(dir.filePath(u"old.txt"_s));
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write(QByteArray(4096, 'x')) == 4096);
    old.close();
    QVERIFY(QDir(dir.path()).mkdir(u"folder"_s));
    log(u"第一条"_s);
    log(u"second\nline"_s, Dialog::Error);
    const QStringList stamps{m_win->log()->firstBlock().text().left(10) + ' ',
                             m_win->log()->lastBlock().text().left(10) + ' '};

    QCOMPARE(m_win->writeLogFile(dir.filePath(target)), saved);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{"folder", "old.txt"}));
    if (saved) {
        QCOMPARE(contentsOf(old.fileName()),
                 kBom + (stamps[0] + u"第一条\r\n"_s + stamps[1] + u"second\r\nline"_s).toUtf8());
        QCOMPARE(m_win->log()->blockCount(), 2); // a successful save logs nothing
    } else {
        QCOMPARE(contentsOf(old.fileName()), QByteArray(4096, 'x'));
        const QTextBlock report = m_win->log()->lastBlock();
        QVERIFY2(messageOf(report).startsWith(u"无法保存日志："_s) && messageOf(report).size() > 7,
                 qPrintable(report.text()));
        QCOMPARE(messageFormat(report).foreground().color(), QColor("#fca5a5"));
        QVERIFY(m_win->toast()->isHidden());
    }
    // Bytes already ending in CR LF are not doubled; an empty log is only the BOM.
    QCOMPARE(LogPanel::logFileBytes(u"a\r\nb\n"_s), kBom + "a\r\nb\r\n");
    QCOMPARE(LogPanel::logFileBytes(QString()), kBom);
}

void TestLogPanel::copyFooterAndContextMenuFollowTheLog()
{
    const auto footerOn = [this] {
        const QList<QPushButton *> buttons = m_win->footerButtons();
        return std::count_if(buttons.begin(), buttons.end(),
                             [](auto *b) { return b->isEnabled(); });
    };
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->setText(u"untouched"_s);
    m_win->copyLog(); // an empty log copies nothing and says nothing
    QVERIFY(m_win->toast()->isHidden() && footerOn() == 0);
    log(u"alpha"_s);
    log(u"beta\ngamma"_s, Dialog::Response);
    QCOMPARE(footerOn(), 3);
    m_win->deleteSelectedLog(); // nothing selected: nothing goes
    QCOMPARE(m_win->log()->blockCount(), 2);

    m_win->copyLog(); // no selection: the whole log, with a toast
    QCOMPARE(clipboard->text(), m_win->logText());
    QCOMPARE(m_win->toast()->text(), u"已复制到剪贴板"_s);
    // A selection: paragraph breaks become line feeds, breaks inside an entry stay.
    m_win->logView()->selectAll();
    m_win->copyLog();
    QVERIFY(clipboard->text().contains(u"alpha\n["_s) &&
            clipboard->text().contains(u"beta\u2028gamma"_s));
    m_win->deleteSelectedLog();
    QVERIFY(m_win->log()->isEmpty() && footerOn() == 0);
    log(u"two"_s);

    // The context menu runs modally: read it and use two entries from inside its loop.
    clipboard->setText(u"untouched"_s);
    QStringList texts;
    QTimer::singleShot(0, this, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        texts << menu->title();
        for (QAction *action : menu->actions())
            texts << (action->isSeparator() ? u"-"_s : action->text());
        menu->actions().at(texts.indexOf("复制") - 1)->trigger(); // nothing selected: no copy
        menu->actions().at(texts.indexOf("全部清空") - 1)->trigger();
        menu->close();
    });
    Q_EMIT m_win->logView()->customContextMenuRequested(QPoint(5, 5));
    QCOMPARE(texts, (QStringList{"日志菜单", "全选", "复制", "复制全部", "-", "保存日志…",
                                 "全部清空", "删除选中"}));
    QCOMPARE(clipboard->text(), u"untouched"_s);
    QVERIFY(m_win->log()->isEmpty() && footerOn() == 0);
}

void TestLogPanel::toastIsElidedAndHidesAfter1400ms()
{
    QLabel *toast = m_win->toast();
    m_win->showToast(u"日志已保存到 "_s + QString(200, u'x'));
    QVERIFY(toast->isVisible() && toast->text().endsWith(QChar(0x2026)));
    QVERIFY(QFontMetrics(toast->font()).horizontalAdvance(toast->text()) <= 254);
    QCOMPARE(toast->size(), QSize(254 + 26, 22));
    // A new toast restarts the 1400 ms; clearing the log takes a toast away at once.
    QTRY_VERIFY_WITH_TIMEOUT(m_win->toastTimer()->remainingTime() < 1000, kWaitMs);
    m_win->showToast(u"second"_s);
    QTRY_VERIFY_WITH_TIMEOUT(toast->isHidden(), kWaitMs);
    m_win->showToast(u"third"_s);
    m_win->clearLog();
    QVERIFY(toast->isHidden() && !m_win->toastTimer()->isActive());
}

QTEST_MAIN(TestLogPanel)
#include "tst_logpanel.moc"
