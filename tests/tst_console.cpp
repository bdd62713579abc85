// The command console: the history rules on their own, then a real window sending with the
// in-flight queue, logging the exchange, the persisted history, arrow keys and the history menu.

#include "console/history.h"
#include "window_access.h"

#include <QInputMethodEvent>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString kHistoryKey = u"commandHistory"_s;

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
    void cleanup() { m_dialog.reset(); }

    void historyRules();
    void consoleSendsOnlyWhenUsable_data();
    void consoleSendsOnlyWhenUsable();
    void returnQueuesBehindTheCommandInFlight();
    void historyIsLoadedSavedAndListed_data();
    void historyIsLoadedSavedAndListed();
    void arrowKeysBrowseUnlessAnInputMethodComposes();

private:
    // A connected window whose commands go to m_sent instead of the worker.
    void openWindow(const QVariant &stored = QVariant())
    {
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

void TestConsole::historyRules()
{
    using namespace CommandHistory;
    // Adding: to the front, every equal entry goes, at most twenty kept.
    QCOMPARE(pushed({"a", "x", "a"}, u"a"_s), (QStringList{"a", "x"}));
    QCOMPARE(pushed(numbered(20), u"cmd19"_s), QStringList{"cmd19"} + numbered(19));
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

void TestConsole::consoleSendsOnlyWhenUsable_data()
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

void TestConsole::consoleSendsOnlyWhenUsable()
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

void TestConsole::returnQueuesBehindTheCommandInFlight()
{
    openWindow();
    QLineEdit *edit = m_win->commandField();
    QSignalSpy returnPressed(edit, &QLineEdit::returnPressed);
    const auto buttonsOn = [this] {
        return m_win->sendButton()->isEnabled() && m_win->historyButton()->isEnabled();
    };
    QTest::keyClicks(edit, u"*IDN?"_s);
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(m_sent->size(), 1);
    QVERIFY(m_win->inFlight() && !buttonsOn() && edit->isEnabled());
    QCOMPARE(edit->selectedText(), u"*IDN?"_s);
    QVERIFY(m_win->log()->isEmpty()); // logged only with the response

    // In flight: Return and keypad Enter queue behind it with a note, and are consumed (the
    // field never reports them), also after a refresh.
    m_win->refresh();
    QTest::keyClick(edit, Qt::Key_Return);
    edit->setText(u"MEAS?"_s);
    QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(m_sent->size(), 1);
    QCOMPARE(returnPressed.size(), 0);
    QVERIFY(m_win->logText().contains(u"已排队：MEAS?"_s));

    // Each response sends the next queued command, oldest first; the last frees the console.
    for (const QString &response : {u"ORVANE,1.2\r\n"_s, u"A"_s, u"B"_s})
        m_win->respond(response);
    QCOMPARE(m_sent->size(), 3);
    QCOMPARE(sent(1), u"*IDN?"_s);
    QCOMPARE(sent(2), u"MEAS?"_s);
    QVERIFY(!m_win->inFlight() && buttonsOn());
    QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(m_sent->size(), 4);

    // A response that comes after disconnecting leaves the buttons off.
    m_win->setState(Dialog::Disconnected);
    m_win->respond(u"设备未连接"_s);
    QVERIFY(!m_win->inFlight() && !buttonsOn());
}

void TestConsole::historyIsLoadedSavedAndListed_data()
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

void TestConsole::historyIsLoadedSavedAndListed()
{
    QFETCH(QVariant, stored);
    QFETCH(QStringList, sends);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, menu);
    openWindow(stored);
    for (const QString &command : sends) {
        send(command, u"OK"_s);
        QCOMPARE(store().value(kHistoryKey).toStringList(), m_win->history()); // saved each time
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

void TestConsole::arrowKeysBrowseUnlessAnInputMethodComposes()
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
    press(Qt::Key_Down, QString(), -1); // past the newest the field empties and browsing ends
    press(Qt::Key_Down, QString(), -1);

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
    QVERIFY(m_win->history().isEmpty() && m_win->completions().isEmpty());
    QVERIFY(store().value(kHistoryKey).toStringList().isEmpty());
    QCOMPARE(m_win->historyIndex(), -1);
    QCOMPARE(m_win->historyMenu()->actions().size(), 1);
    edit->setText(u"typed"_s);
    press(Qt::Key_Up, u"typed"_s, -1);
    QCOMPARE(m_sent->size(), 0);
}

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
