// The console half of the window on a real window: log entries in the document, the size limit
// under a flood from the worker, following the end, saving, copying and clearing the log; then
// the history rules on their own, sending with the in-flight queue, the persisted history, arrow
// keys and the history menu.

#include "console/history.h"
#include "console/logentry.h"
#include "window_access.h"

#include <QClipboard>
#include <QInputMethodEvent>
#include <QPointer>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr int kWaitMs = 120000;
const QByteArray kBom("\xEF\xBB\xBF");
const QString kHistoryKey = u"commandHistory"_s;

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QStringList numbered(int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << u"cmd%1"_s.arg(i);
    return list;
}

void compose(QWidget *widget, const QString &preedit, const QString &commit = QString())
{
    QInputMethodEvent event(preedit, {});
    event.setCommitString(commit);
    QApplication::sendEvent(widget, &event);
}

} // namespace

class TestConsole : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { useTestEnvironment(); }
    void init() { openWindow(); }
    void cleanup() { m_dialog.reset(); }

    void entryIsLiteralAndColoured_data()
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
            << Dialog::Success << u"<b>&amp; \"q\"</b>"_s << u"<b>&amp; \"q\"</b>"_s
            << u"#86efac"_s;
        QTest::newRow("an unknown level is info; runs of spaces are kept")
            << Dialog::LogLevel(9) << u"a   b"_s << u"a   b"_s << u"#cbd5e1"_s;
    }
    void entryIsLiteralAndColoured()
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
    void workerFloodEndsWithTheNewest5000InOrder()
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
    void viewAtItsEndStaysThereAcrossLayoutChanges_data()
    {
        QTest::addColumn<int>("change");
        QTest::addColumn<bool>("scrolledUp");
        QTest::newRow("the progress bar showing keeps a view at its end following") << 0 << false;
        QTest::newRow("a shorter window keeps a view at its end following") << 1 << false;
        QTest::newRow("a larger font keeps a view at its end following") << 2 << false;
        QTest::newRow("a user who scrolled up is not pulled down") << 0 << true;
    }
    void viewAtItsEndStaysThereAcrossLayoutChanges()
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
    void savingTheLog_data()
    {
        // Tests may run as root, which ignores permission bits; the failures fail for root too.
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("saved");
        QTest::newRow("an existing file is replaced: UTF-8, a BOM, CR LF") << "old.txt" << true;
        QTest::newRow("a folder that is really a file is reported") << "old.txt/log.txt" << false;
        QTest::newRow("a target that is a folder is reported") << "folder" << false;
    }
    void savingTheLog()
    {
        QFETCH(QString, target);
        QFETCH(bool, saved);
        QTemporaryDir dir;
        const QString old = makeFile(dir, u"old.txt"_s, 4096, QByteArray(4096, 'x'));
        QVERIFY(QDir(dir.path()).mkdir(u"folder"_s));
        log(u"第一条"_s);
        log(u"second\nline"_s, Dialog::Error);
        const QStringList stamps{m_win->log()->firstBlock().text().left(10) + ' ',
                                 m_win->log()->lastBlock().text().left(10) + ' '};

        QCOMPARE(m_win->writeLogFile(dir.filePath(target)), saved);
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{"folder", "old.txt"}));
        if (saved) {
            QCOMPARE(contentsOf(old),
                     kBom +
                         (stamps[0] + u"第一条\r\n"_s + stamps[1] + u"second\r\nline"_s).toUtf8());
            QCOMPARE(m_win->log()->blockCount(), 2); // a successful save logs nothing
        } else {
            QCOMPARE(contentsOf(old), QByteArray(4096, 'x'));
            const QTextBlock report = m_win->log()->lastBlock();
            QVERIFY2(messageOf(report).startsWith(u"无法保存日志："_s) &&
                         messageOf(report).size() > 7,
                     qPrintable(report.text()));
            QCOMPARE(messageFormat(report).foreground().color(), QColor("#fca5a5"));
            QVERIFY(m_win->toast()->isHidden());
        }
        // Bytes already ending in CR LF are not doubled; an empty log is only the BOM.
        QCOMPARE(LogPanel::logFileBytes(u"a\r\nb\n"_s), kBom + "a\r\nb\r\n");
        QCOMPARE(LogPanel::logFileBytes(QString()), kBom);
    }
    void copyingAndClearingFollowTheLog()
    {
        const auto footerOn = [this] {
            const QList<QPushButton *> buttons = m_win->footerButtons();
            return std::count_if(buttons.begin(), buttons.end(), std::mem_fn(&QWidget::isEnabled));
        };
        QClipboard *clipboard = QGuiApplication::clipboard();
        clipboard->setText(u"untouched"_s);
        m_win->copyLog(); // an empty log copies nothing and says nothing
        QVERIFY(clipboard->text() == u"untouched"_s && m_win->toast()->isHidden() &&
                footerOn() == 0);
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
    }
    void historyRules()
    {
        using namespace CommandHistory;
        // Menu labels: 40 characters and an ellipsis, never half a surrogate pair.
        QCOMPARE(menuLabel(QString(41, QChar(0x547D))), QString(40, QChar(0x547D)) + QChar(0x2026));
        QCOMPARE(menuLabel(QString(39, u'x') + QString::fromUtf8("\xF0\x9F\x98\x80") + "z"),
                 QString(39, u'x') + QChar(0x2026));
        // Placement on a 1920x1040 screen, the button's top 30 px above the wanted point: below it
        // when it fits to the last pixel, else above, else against the bottom; pushed in from the
        // right.
        const QRect screen(0, 0, 1920, 1040);
        QCOMPARE(menuPosition({100, 740}, 710, {200, 300}, screen), QPoint(100, 740));
        QCOMPARE(menuPosition({100, 900}, 870, {200, 300}, screen), QPoint(100, 570));
        QCOMPARE(menuPosition({100, 330}, 300, {200, 800}, screen), QPoint(100, 240));
        QCOMPARE(menuPosition({1800, 100}, 70, {200, 300}, screen), QPoint(1720, 100));
    }
    void consoleSendsOnlyWhenUsable_data()
    {
        QTest::addColumn<QString>("when"); // connected, disconnected or updating
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("response");
        QTest::addColumn<QString>("shown"); // empty: nothing is sent, logged or remembered
        QTest::newRow("a reply is logged unchanged in green after the blue echo")
            << "connected" << u"*IDN?"_s << u"ORVANE,V1.2"_s << u"ORVANE,V1.2"_s;
        QTest::newRow("an empty reply is logged as no response, as info")
            << "connected" << u"*IDN?"_s << QString() << u"（无响应）"_s;
        QTest::newRow("a reply of white space is no response; the command goes untrimmed")
            << "connected" << u"   "_s << u" \r\n\t"_s << u"（无响应）"_s;
        QTest::newRow("a command with a placeholder is echoed literally")
            << "connected" << u"SET %1 %2"_s << u"OK"_s << u"OK"_s;
        QTest::newRow("an empty field sends nothing") << "connected" << u""_s << u"x"_s << u""_s;
        QTest::newRow("nothing is sent while disconnected")
            << "disconnected" << u"*IDN?"_s << u"x"_s << u""_s;
        QTest::newRow("nothing is sent during an update")
            << "updating" << u"*IDN?"_s << u"x"_s << u""_s;
    }
    void consoleSendsOnlyWhenUsable()
    {
        QFETCH(QString, when);
        QFETCH(QString, command);
        QFETCH(QString, response);
        QFETCH(QString, shown);
        openWindow(QStringList{"old"});
        m_win->setState(when == "disconnected" ? Dialog::Disconnected : Dialog::Connected);
        m_win->setUpdating(when == "updating");
        send(command, response);
        const QTextDocument *log = m_win->log();
        if (shown.isEmpty()) {
            QCOMPARE(m_sent->size(), 0);
            QCOMPARE(m_win->history(), QStringList{"old"});
            return;
        }
        QCOMPARE(m_sent->size(), 1);
        QCOMPARE(sent(0), command);
        QCOMPARE(log->blockCount(), 2);
        QCOMPARE(messageOf(log->firstBlock()), ">> " + command);
        QCOMPARE(messageFormat(log->firstBlock()).foreground().color(), QColor("#93c5fd"));
        QCOMPARE(messageOf(log->lastBlock()), shown);
        const bool none = shown == u"（无响应）"_s;
        QCOMPARE(messageFormat(log->lastBlock()).foreground().color(),
                 QColor(none ? "#cbd5e1" : "#86efac"));
    }
    void returnQueuesBehindTheCommandInFlight()
    {
        openWindow(QStringList{u"*IDN?"_s});
        // Connecting asks the device who it is, first and quietly.
        m_win->connected();
        QCOMPARE(m_sent->size(), 1);
        QCOMPARE(sent(0), u"*idn?"_s);
        QLineEdit *edit = m_win->commandField();
        QSignalSpy returnPressed(edit, &QLineEdit::returnPressed);
        const auto buttonsOn = [this] {
            return m_win->sendButton()->isEnabled() && m_win->historyButton()->isEnabled();
        };
        // A command from the history opens the completer's list; Return there sends it all the
        // same, behind the query.
        QTest::keyClicks(edit, u"*IDN?"_s);
        QWidget *list = m_win->completionList();
        QTRY_VERIFY(list->isVisible());
        QTest::keyClick(list, Qt::Key_Return);
        QVERIFY(!list->isVisible());
        QCOMPARE(m_win->logLines(), QStringList({u"已连接：ttyFW0"_s, u"已排队：*IDN?（正在识别设备）"_s}));
        m_win->respond(u"Orvane,TM-1,SN0001,1.0.38"_s); // the identity: not logged
        QCOMPARE(m_sent->size(), 2);
        QCOMPARE(sent(1), u"*IDN?"_s);
        QVERIFY(m_win->inFlight() && !buttonsOn() && edit->isEnabled());
        QCOMPARE(edit->selectedText(), u"*IDN?"_s);
        QCOMPARE(m_win->logLines().size(), 2); // a command is logged with its response

        // In flight: Return and keypad Enter queue behind it with a note, and are consumed (the
        // field never reports them), also after a refresh.
        m_win->refresh();
        QTest::keyClick(edit, Qt::Key_Return);
        edit->setText(u"MEAS?"_s);
        QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(m_sent->size(), 2);
        QCOMPARE(returnPressed.size(), 0);
        QVERIFY(m_win->logText().contains(u"已排队：MEAS?（等待上一条命令的响应）"_s));
        // Each response sends the next queued command, oldest first; the last frees the console.
        for (const QString &response : {u"ORVANE,1.2\r\n"_s, u"A"_s, u"B"_s})
            m_win->respond(response);
        QCOMPARE(m_sent->size(), 4);
        QCOMPARE(sent(2), u"*IDN?"_s);
        QCOMPARE(sent(3), u"MEAS?"_s);
        QVERIFY(!m_win->inFlight() && buttonsOn());

        // Twenty commands wait at most; the line going away drops them, and a new connection
        // sends none of them.
        QTest::keyClick(edit, Qt::Key_Return);
        for (int i = 0; i <= 20; ++i) {
            edit->setText(u"Q%1"_s.arg(i));
            QTest::keyClick(edit, Qt::Key_Return);
        }
        QCOMPARE(m_win->logLines().last(), u"命令未发送：已有 20 条命令在等待，请稍候。"_s);
        m_win->portLost();
        QCOMPARE(m_win->logLines().last(), u"已取消 20 条排队的命令"_s);
        m_win->connected();
        m_win->respond(u"设备未连接"_s); // the old line's command ends
        QCOMPARE(m_sent->size(), 6); // ... and the new line is asked who it is, nothing else
        QCOMPARE(sent(5), u"*idn?"_s);
    }
    void historyIsLoadedSavedAndListed_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QStringList>("sends");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QStringList>("menu"); // "-" is a separator, "(...)" a disabled line
        const QStringList clear{"-", "清空历史记录"};
        QTest::newRow("a stored value of another kind is no history: one disabled note")
            << QVariant(QRect(1, 2, 3, 4)) << QStringList() << QStringList()
            << QStringList{"(暂无历史记录)"};
        QTest::newRow("a single stored text is one entry")
            << QVariant(u"*IDN?"_s) << QStringList() << QStringList{"*IDN?"}
            << QStringList{"*IDN?"} + clear;
        QTest::newRow("a resent command moves to the front once; case matters")
            << QVariant() << QStringList{"*IDN?", "*IDN?", "*idn?", "*IDN?"}
            << QStringList{"*IDN?", "*idn?"} << QStringList{"*IDN?", "*idn?"} + clear;
        QTest::newRow("twelve entries are all listed, with no hint")
            << QVariant(numbered(12)) << QStringList() << numbered(12) << numbered(12) + clear;
        QTest::newRow("25 stored entries are cut to 20; the menu lists 12 and hints at the arrows")
            << QVariant(numbered(25)) << QStringList() << numbered(20)
            << numbered(12) + QStringList{"(更早的命令：使用 ↑ / ↓)"} + clear;
        QTest::newRow("a send to a full history drops the oldest")
            << QVariant(numbered(20)) << QStringList{"new"} << QStringList{"new"} + numbered(19)
            << QStringList{"new"} + numbered(11) + QStringList{"(更早的命令：使用 ↑ / ↓)"} + clear;
    }
    void historyIsLoadedSavedAndListed()
    {
        QFETCH(QVariant, stored);
        QFETCH(QStringList, sends);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, menu);
        openWindow(stored);
        for (const QString &command : sends) {
            send(command, u"OK"_s);
            QCOMPARE(store().value(kHistoryKey).toStringList(),
                     m_win->history()); // saved each time
        }
        QCOMPARE(m_win->history(), expected);
        QCOMPARE(m_win->completions(), expected);
        m_win->populateHistoryMenu();
        m_win->populateHistoryMenu(); // a second fill replaces the first
        QStringList actual;
        const QList<QAction *> actions = m_win->historyMenu()->actions();
        for (QAction *action : actions) {
            const QString text = action->isSeparator() ? u"-"_s : action->text();
            actual << (action->isEnabled() ? text : '(' + text + ')');
        }
        QCOMPARE(actual, menu);
        for (int i = 0; i < std::min<qsizetype>(expected.size(), 12); ++i)
            QCOMPARE(actions.at(i)->toolTip(), expected.at(i));
    }
    void arrowKeysBrowseUnlessAnInputMethodComposes()
    {
        const QString longCommand(45, u'z');
        openWindow(QStringList{"new", "mid", longCommand});
        QLineEdit *edit = m_win->commandField();
        const auto press = [edit, this](Qt::Key key, const QString &text, int index) {
            QTest::keyClick(edit, key);
            QCOMPARE(edit->text(), text);
            QCOMPARE(m_win->historyIndex(), index);
        };
        edit->setText(u"draft"_s);
        press(Qt::Key_Up, u"new"_s, 0);
        compose(edit, u"ni"_s); // while an input method composes, the arrows are its own
        press(Qt::Key_Up, u"new"_s, 0);
        press(Qt::Key_Down, u"new"_s, 0);
        compose(edit, QString(), u"你"_s); // committing ends the composition
        press(Qt::Key_Up, u"mid"_s, 1);
        compose(edit, u"ha"_s);
        QFocusEvent focusOut(QEvent::FocusOut, Qt::OtherFocusReason); // so does losing the focus
        QApplication::sendEvent(edit, &focusOut);
        press(Qt::Key_Up, longCommand, 2);
        press(Qt::Key_Up, longCommand, 2); // the oldest entry is the limit
        compose(edit, u"ha"_s);
        QTest::keyClick(edit, Qt::Key_Escape); // and Escape
        press(Qt::Key_Down, u"mid"_s, 1);
        press(Qt::Key_Down, u"new"_s, 0);
        press(Qt::Key_Down, u"draft"_s, -1); // past the newest the line being typed comes back
        press(Qt::Key_Down, u"draft"_s, -1);

        // Picking from the menu fills in the whole command and ends browsing.
        press(Qt::Key_Up, u"new"_s, 0);
        m_win->populateHistoryMenu();
        m_win->historyMenu()->actions().at(2)->trigger();
        QCOMPARE(edit->text(), longCommand);
        QCOMPARE(m_win->historyIndex(), -1);
        // Clearing empties it everywhere; the menu is rebuilt from the clear entry's own signal,
        // which must outlive it.
        press(Qt::Key_Up, u"new"_s, 0);
        QPointer<QAction> clear = m_win->historyMenu()->actions().last();
        clear->trigger();
        QVERIFY(clear);
        QVERIFY(m_win->history().isEmpty() && m_win->completions().isEmpty() &&
                store().value(kHistoryKey).toStringList().isEmpty());
        QCOMPARE(m_win->historyIndex(), -1);
        QCOMPARE(m_win->historyMenu()->actions().size(), 1);
        edit->setText(u"typed"_s);
        press(Qt::Key_Up, u"typed"_s, -1);
        QCOMPARE(m_sent->size(), 0);
    }

private:
    // A connected window with this stored history, whose commands go to m_sent, not the worker.
    void openWindow(const QVariant &stored = QVariant())
    {
        m_dialog.reset();
        store().clear();
        if (stored.isValid())
            store().setValue(kHistoryKey, stored);
        m_dialog = std::make_unique<Dialog>();
        m_win = std::make_unique<DialogTestAccess>(*m_dialog);
        m_win->detachWorkerCommands();
        m_sent = std::make_unique<QSignalSpy>(m_dialog.get(), &Dialog::requestSendCustomCommand);
        m_dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
        m_win->setState(Dialog::Connected);
    }
    void log(const QString &message, Dialog::LogLevel level = Dialog::Info)
    {
        m_dialog->logMessage(message, level);
    }
    void send(const QString &command, const QString &response)
    {
        m_win->commandField()->setText(command);
        m_win->sendCustomCommand();
        m_win->respond(response);
    }
    QString sent(int i) const { return m_sent->at(i).at(0).toString(); }

    std::unique_ptr<Dialog> m_dialog;
    std::unique_ptr<DialogTestAccess> m_win;
    std::unique_ptr<QSignalSpy> m_sent;
};

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
