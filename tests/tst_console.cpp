// The command console on a real window: sending with the in-flight guard, logging the exchange,
// the persisted history, arrow-key browsing with an input method, and the history menu.

#include "fakedevice.h"
#include "window_access.h"

#include <QApplication>
#include <QInputMethodEvent>
#include <QPointer>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int kMenuWaitMs = 5000;
// The worker answers at the latest about 2 s after it starts collecting a reply.
constexpr int kDeviceWaitMs = 10000;
const QString kHistoryKey = u"commandHistory"_s;

QStringList storedHistory()
{
    return store().value(kHistoryKey).toStringList();
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
    void cleanup()
    {
        m_sent.reset();
        m_win.reset();
        m_dialog.reset();
    }

    void returnSendsAndLocksUntilTheResponse();
    void responseIsLoggedAfterTheEcho_data();
    void responseIsLoggedAfterTheEcho();
    void sendIsIgnoredWhenTheConsoleIsNotUsable_data();
    void sendIsIgnoredWhenTheConsoleIsNotUsable();
    void historyIsSavedAfterEverySend();
    void storedHistoryIsReadSafely_data();
    void storedHistoryIsReadSafely();
    void arrowKeysBrowseUnlessAnInputMethodComposes();
    void historyMenuLists_data();
    void historyMenuLists();
    void clearingTheHistoryEmptiesItEverywhere();
    void historyButtonOpensTheMenuOnTheScreen();
    void commandTravelsThroughTheWorkerToTheDevice();

private:
    // A connected window whose commands go to m_sent instead of the worker.
    void openWindow(const QVariant &stored = QVariant());
    void send(const QString &command, const QString &response)
    {
        m_win->commandField()->setText(command);
        m_win->sendCustomCommand();
        m_win->respond(response);
    }

    std::unique_ptr<Dialog> m_dialog;
    std::unique_ptr<DialogTestAccess> m_win;
    std::unique_ptr<QSignalSpy> m_sent;
};

void TestConsole::openWindow(const QVariant &stored)
{
    store().clear();
    if (stored.isValid())
        store().setValue(kHistoryKey, stored);
    m_dialog = std::make_unique<Dialog>();
    m_win = std::make_unique<DialogTestAccess>(*m_dialog);
    m_win->detachWorkerCommands();
    m_sent = std::make_unique<QSignalSpy>(m_dialog.get(), &Dialog::requestSendCustomCommand);
    QVERIFY(m_sent->isValid());
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    m_win->setState(Dialog::Connected);
}

void TestConsole::returnSendsAndLocksUntilTheResponse()
{
    openWindow();
    QLineEdit *edit = m_win->commandField();
    QSignalSpy returnPressed(edit, &QLineEdit::returnPressed);
    QVERIFY(returnPressed.isValid());
    QTest::keyClicks(edit, u"*IDN?"_s);

    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(m_sent->size(), 1);
    QVERIFY(m_win->inFlight());
    QVERIFY(!m_win->sendButton()->isEnabled() && !m_win->historyButton()->isEnabled());
    QVERIFY(edit->isEnabled());
    QCOMPARE(edit->selectedText(), u"*IDN?"_s);
    QVERIFY(m_win->log()->isEmpty()); // logged only with the response

    // In flight: Return and keypad Enter queue the commands behind it, with a note, and are
    // still consumed (the field never reports them), also after a refresh.
    m_win->refresh();
    QTest::keyClick(edit, Qt::Key_Return);
    edit->setText(u"MEAS?"_s);
    QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(m_sent->size(), 1);
    QCOMPARE(returnPressed.size(), 0);
    QVERIFY(m_win->logText().contains(u"已排队：MEAS?"_s));

    // Each response sends the next queued command, in order; the last one frees the console.
    m_win->respond(u"ORVANE,1.2\r\n"_s);
    QCOMPARE(m_sent->size(), 2);
    QCOMPARE(m_sent->at(1).at(0).toString(), u"*IDN?"_s);
    m_win->respond(u"A"_s);
    QCOMPARE(m_sent->at(2).at(0).toString(), u"MEAS?"_s);
    m_win->respond(u"B"_s);
    QCOMPARE(m_sent->size(), 3);
    QVERIFY(!m_win->inFlight());
    QVERIFY(m_win->sendButton()->isEnabled() && m_win->historyButton()->isEnabled());
    QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(m_sent->size(), 4);

    // A response that comes after disconnecting leaves the buttons off.
    m_win->setState(Dialog::Disconnected);
    m_win->respond(u"设备未连接"_s);
    QVERIFY(!m_win->inFlight());
    QVERIFY(!m_win->sendButton()->isEnabled() && !m_win->historyButton()->isEnabled());
}

void TestConsole::responseIsLoggedAfterTheEcho_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("response");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("colour");
    QTest::newRow("a reply is logged unchanged in green")
        << u"*IDN?"_s << u"ORVANE,V1.2"_s << u"ORVANE,V1.2"_s << u"#86efac"_s;
    QTest::newRow("an empty reply is no response, as info")
        << u"*IDN?"_s << QString() << u"（无响应）"_s << u"#cbd5e1"_s;
    QTest::newRow("a reply of white space is no response; the command is sent untrimmed")
        << u"   "_s << u" \r\n\t"_s << u"（无响应）"_s << u"#cbd5e1"_s;
    QTest::newRow("a command with a placeholder is echoed literally")
        << u"SET %1 %2"_s << u"OK"_s << u"OK"_s << u"#86efac"_s;
}

void TestConsole::responseIsLoggedAfterTheEcho()
{
    QFETCH(QString, command);
    QFETCH(QString, response);
    QFETCH(QString, shown);
    QFETCH(QString, colour);
    openWindow();
    send(command, response);
    QCOMPARE(m_sent->size(), 1);
    QCOMPARE(m_sent->at(0).at(0).toString(), command);
    QCOMPARE(m_win->log()->blockCount(), 2);
    QCOMPARE(messageOf(m_win->log()->firstBlock()), ">> " + command);
    QCOMPARE(messageFormat(m_win->log()->firstBlock()).foreground().color(), QColor("#93c5fd"));
    QCOMPARE(messageOf(m_win->log()->lastBlock()), shown);
    QCOMPARE(messageFormat(m_win->log()->lastBlock()).foreground().color(), QColor(colour));
}

void TestConsole::sendIsIgnoredWhenTheConsoleIsNotUsable_data()
{
    QTest::addColumn<Dialog::SerialPortState>("state");
    QTest::addColumn<bool>("updating");
    QTest::addColumn<QString>("text");
    QTest::newRow("an empty field sends nothing") << Dialog::Connected << false << u""_s;
    QTest::newRow("nothing is sent while disconnected")
        << Dialog::Disconnected << false << u"*IDN?"_s;
    QTest::newRow("nothing is sent during an update") << Dialog::Connected << true << u"*IDN?"_s;
}

void TestConsole::sendIsIgnoredWhenTheConsoleIsNotUsable()
{
    QFETCH(Dialog::SerialPortState, state);
    QFETCH(bool, updating);
    QFETCH(QString, text);
    openWindow(QStringList{"old"});
    m_win->setState(state);
    m_win->setUpdating(updating);
    m_win->commandField()->setText(text);
    m_win->sendCustomCommand();
    QCOMPARE(m_sent->size(), 0);
    QCOMPARE(m_win->history(), QStringList{"old"});
}

void TestConsole::historyIsSavedAfterEverySend()
{
    openWindow();
    const QList<QPair<QString, QStringList>> steps{
        {"*IDN?", {"*IDN?"}},
        {"*IDN?", {"*IDN?"}},
        {"*idn?", {"*idn?", "*IDN?"}},
        {"*IDN?", {"*IDN?", "*idn?"}},
    };
    for (const auto &[command, expected] : steps) {
        send(command, u"OK"_s);
        QCOMPARE(m_win->history(), expected);
        QCOMPARE(storedHistory(), expected);
        QCOMPARE(m_win->completions(), expected);
    }
}

void TestConsole::storedHistoryIsReadSafely_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QStringList>("loaded");
    QTest::newRow("25 stored entries are cut to their first 20")
        << QVariant(numbered(25)) << numbered(20);
    QTest::newRow("no stored history is an empty one") << QVariant() << QStringList();
    QTest::newRow("a single stored text is one entry")
        << QVariant(u"*IDN?"_s) << QStringList{"*IDN?"};
    QTest::newRow("a stored value of another kind is no history")
        << QVariant(QRect(1, 2, 3, 4)) << QStringList();
}

void TestConsole::storedHistoryIsReadSafely()
{
    QFETCH(QVariant, stored);
    QFETCH(QStringList, loaded);
    openWindow(stored);
    QCOMPARE(m_win->history(), loaded);
    QCOMPARE(m_win->completions(), loaded);
}

void TestConsole::arrowKeysBrowseUnlessAnInputMethodComposes()
{
    openWindow(QStringList{"new", "mid", "old"});
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
    press(Qt::Key_Up, u"old"_s, 2);
    press(Qt::Key_Up, u"old"_s, 2); // the oldest entry is the limit
    compose(edit, u"ha"_s);
    QTest::keyClick(edit, Qt::Key_Escape); // and Escape
    press(Qt::Key_Down, u"mid"_s, 1);
    press(Qt::Key_Down, u"new"_s, 0);
    press(Qt::Key_Down, QString(), -1); // past the newest the field empties and browsing ends
    press(Qt::Key_Down, QString(), -1);
    QCOMPARE(m_sent->size(), 0);
}

void TestConsole::historyMenuLists_data()
{
    QTest::addColumn<QStringList>("history");
    QTest::addColumn<QStringList>("texts"); // "-" is a separator, "(...)" a disabled line
    const QString clear = u"清空历史记录"_s;
    QTest::newRow("no history shows one disabled note")
        << QStringList() << QStringList{"(暂无历史记录)"};
    QTest::newRow("twelve entries need no hint")
        << numbered(12) << numbered(12) + QStringList{"-", clear};
    QTest::newRow("thirteen entries show twelve, the hint, a separator and clear")
        << numbered(13) << numbered(12) + QStringList{"(更早的命令：使用 ↑ / ↓)", "-", clear};
}

void TestConsole::historyMenuLists()
{
    QFETCH(QStringList, history);
    QFETCH(QStringList, texts);
    openWindow(history);
    m_win->populateHistoryMenu();
    m_win->populateHistoryMenu(); // a second fill replaces the first

    QStringList actual;
    const QList<QAction *> actions = m_win->historyMenu()->actions();
    for (QAction *action : actions) {
        const QString text = action->isSeparator() ? u"-"_s : action->text();
        actual << (action->isEnabled() ? text : '(' + text + ')');
    }
    QCOMPARE(actual, texts);
    for (int i = 0; i < std::min<qsizetype>(history.size(), 12); ++i)
        QCOMPARE(actions.at(i)->toolTip(), history.at(i));
}

void TestConsole::clearingTheHistoryEmptiesItEverywhere()
{
    openWindow(QStringList{"a", "b"});
    m_win->populateHistoryMenu();
    QPointer<QAction> clear = m_win->historyMenu()->actions().last();
    QTest::keyClick(m_win->commandField(), Qt::Key_Up);
    clear->trigger();
    // The menu is rebuilt from the clear entry's own signal; that entry must outlive it.
    QVERIFY(clear);

    QVERIFY(m_win->history().isEmpty());
    QVERIFY(m_win->completions().isEmpty());
    QVERIFY(storedHistory().isEmpty());
    QCOMPARE(m_win->historyIndex(), -1);
    QCOMPARE(m_win->historyMenu()->actions().size(), 1);
    QCOMPARE(m_win->historyMenu()->actions().first()->text(), u"暂无历史记录"_s);

    m_win->commandField()->setText(u"typed"_s);
    QTest::keyClick(m_win->commandField(), Qt::Key_Up);
    QTest::keyClick(m_win->commandField(), Qt::Key_Down);
    QCOMPARE(m_win->commandField()->text(), u"typed"_s);
}

void TestConsole::historyButtonOpensTheMenuOnTheScreen()
{
    const QString longCommand(45, u'z');
    openWindow(QStringList{"*IDN?", longCommand});
    QTest::keyClick(m_win->commandField(), Qt::Key_Up);
    QMenu *shown = nullptr;
    QRect geometry;
    QTimer::singleShot(0, this, [&] {
        shown = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!shown)
            return;
        geometry = shown->geometry();
        shown->actions().at(1)->trigger();
        shown->close();
    });
    QTest::mouseClick(m_win->historyButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(shown != nullptr, kMenuWaitMs);
    QCOMPARE(shown, m_win->historyMenu());
    QVERIFY(m_win->historyButton()->screen()->availableGeometry().contains(geometry));
    // The whole command fills the field, browsing ends, nothing is sent.
    QCOMPARE(m_win->commandField()->text(), longCommand);
    QCOMPARE(m_win->historyIndex(), -1);
    QCOMPARE(m_sent->size(), 0);
}

void TestConsole::commandTravelsThroughTheWorkerToTheDevice()
{
    FakeDevice device;
    QVERIFY(device.isValid());
    device.setResponder([](FakeDevice &self, const QByteArray &) {
        if (self.received().endsWith("*IDN?\r\n"))
            self.send("ORVANE,TAMSEL,V1.2\r\n");
    });
    g_ports = {{device.portName(), QString()}};
    store().clear();
    Dialog dialog;
    DialogTestAccess win(dialog);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(win.connectButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(win.state(), Dialog::Connected, kDeviceWaitMs);
    const int logged = win.log()->blockCount();

    QTest::keyClicks(win.commandField(), u"*IDN?"_s);
    QTest::keyClick(win.commandField(), Qt::Key_Return);
    QVERIFY(win.inFlight());
    QTRY_VERIFY_WITH_TIMEOUT(!win.inFlight(), kDeviceWaitMs);

    QCOMPARE(win.log()->blockCount(), logged + 2);
    QCOMPARE(messageOf(win.log()->findBlockByNumber(logged)), u">> *IDN?"_s);
    QVERIFY2(messageOf(win.log()->lastBlock()).startsWith(u"ORVANE,TAMSEL,V1.2"_s),
             qPrintable(win.log()->lastBlock().text()));
    QCOMPARE(messageFormat(win.log()->lastBlock()).foreground().color(), QColor("#86efac"));
    QVERIFY(win.sendButton()->isEnabled());
    QCOMPARE(storedHistory(), QStringList{"*IDN?"});
}

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
