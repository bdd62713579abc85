// The command console on a real window: sending with the in-flight guard, logging the exchange,
// the persisted history, arrow-key browsing with an input method, and the history menu.

#include "app/dialog.h"
#include "device/serialworker.h"
#include "fakedevice.h"
#include "testsettings.h"

#include <QAction>
#include <QApplication>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QStringListModel>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>

#include <memory>

// Reaches the window's private console members.
class DialogTestAccess
{
public:
    explicit DialogTestAccess(Dialog &dialog) : d(dialog) {}

    // The test answers commands itself instead of the worker.
    void toggleConnection() { d.toggleConnection(); }
    Dialog::SerialPortState state() const { return d.m_connectionState; }
    void detachWorkerCommands()
    {
        QObject::disconnect(&d, &Dialog::requestSendCustomCommand, d.m_worker, nullptr);
    }
    void setState(Dialog::SerialPortState state, bool updating = false)
    {
        d.m_connectionState = state;
        d.m_updateInProgress = updating;
        d.refreshUiState();
    }
    void refreshUiState() { d.refreshUiState(); }
    void sendCustomCommand() { d.sendCustomCommand(); }
    void respond(const QString &response) { d.onCustomCommandResponse(response); }
    void populateHistoryMenu() { d.populateHistoryMenu(); }
    void showHistoryMenu() { d.showHistoryMenu(); }

    QLineEdit *cmdEdit() const { return d.m_cmdEdit; }
    QPushButton *sendButton() const { return d.m_sendButton; }
    QPushButton *historyButton() const { return d.m_historyButton; }
    QMenu *historyMenu() const { return d.m_historyMenu; }
    QTextDocument *log() const { return d.m_logView->document(); }
    QStringList history() const { return d.m_commandHistory; }
    QStringList modelList() const { return d.m_historyModel->stringList(); }
    int historyIndex() const { return d.m_historyIndex; }
    bool inFlight() const { return d.m_commandInFlight; }

private:
    Dialog &d;
};

namespace {

constexpr int kMenuWaitMs = 5000;
// The worker answers at the latest about 2 s after it starts collecting a reply.
constexpr int kDeviceWaitMs = 10000;
const QString kHistoryKey = QStringLiteral("commandHistory");

QStringList storedHistory()
{
    return QSettings(QStringLiteral("YourCompany"), QStringLiteral("YourApp"))
        .value(kHistoryKey)
        .toStringList();
}

// Whatever the settings store holds under the history key; an invalid value removes it.
void storeHistory(const QVariant &stored)
{
    QSettings settings(QStringLiteral("YourCompany"), QStringLiteral("YourApp"));
    settings.clear();
    if (stored.isValid())
        settings.setValue(kHistoryKey, stored);
}

QStringList numbered(int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << QStringLiteral("cmd%1").arg(i);
    return list;
}

// Message of a log paragraph, without the time stamp.
QString messageOf(const QTextBlock &block)
{
    static const QRegularExpression stamp(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\]\u00A0"));
    return block.text().remove(stamp);
}

QColor colourOf(const QTextBlock &block)
{
    QTextCharFormat format;
    for (auto it = block.begin(); !it.atEnd(); ++it)
        format = it.fragment().charFormat();
    return format.foreground().color();
}

void sendKey(QWidget *widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTest::keyClick(widget, Qt::Key(key), modifiers);
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
    void initTestCase();
    void cleanup();

    void returnSendsAndLocksUntilTheResponse();
    void responseIsLoggedAfterTheEcho_data();
    void responseIsLoggedAfterTheEcho();
    void sendIsIgnoredWhenTheConsoleIsNotUsable_data();
    void sendIsIgnoredWhenTheConsoleIsNotUsable();
    void buttonsStayOffWhenTheResponseComesAfterDisconnecting();

    void historyIsSavedAfterEverySend();
    void storedHistoryIsReadSafely_data();
    void storedHistoryIsReadSafely();
    void arrowKeysBrowseTheHistory();
    void arrowKeysBelongToAComposingInputMethod();

    void historyMenuLists_data();
    void historyMenuLists();
    void choosingAMenuEntryFillsTheFieldWithoutSending();
    void clearingTheHistoryEmptiesItEverywhere();
    void historyButtonOpensTheMenuOnTheScreen();

    void commandTravelsThroughTheWorkerToTheDevice();

private:
    void openWindow(const QStringList &stored = {});
    void openWindowWith(const QVariant &stored);

    std::unique_ptr<Dialog> m_dialog;
    std::unique_ptr<DialogTestAccess> m_access;
    std::unique_ptr<QSignalSpy> m_sent;
};

void TestConsole::initTestCase()
{
    usePrivateSettingsFolder();
    Dialog::setPortEnumerator([] { return QList<PortListing>{{"ttyTEST0", "Test port"}}; });
}

void TestConsole::openWindow(const QStringList &stored)
{
    openWindowWith(stored.isEmpty() ? QVariant() : QVariant(stored));
}

void TestConsole::openWindowWith(const QVariant &stored)
{
    storeHistory(stored);
    m_dialog = std::make_unique<Dialog>();
    m_access = std::make_unique<DialogTestAccess>(*m_dialog);
    m_access->detachWorkerCommands();
    m_sent = std::make_unique<QSignalSpy>(m_dialog.get(), &Dialog::requestSendCustomCommand);
    QVERIFY(m_sent->isValid());
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    m_access->setState(Dialog::Connected);
    QVERIFY(m_access->cmdEdit()->isEnabled());
    QVERIFY(m_access->sendButton()->isEnabled());
}

void TestConsole::cleanup()
{
    m_sent.reset();
    m_access.reset();
    m_dialog.reset();
}

void TestConsole::returnSendsAndLocksUntilTheResponse()
{
    openWindow();
    QLineEdit *edit = m_access->cmdEdit();
    QSignalSpy returnPressed(edit, &QLineEdit::returnPressed);
    QVERIFY(returnPressed.isValid());
    QTest::keyClicks(edit, QStringLiteral("*IDN?"));

    sendKey(edit, Qt::Key_Return);
    QCOMPARE(m_sent->size(), 1);
    QCOMPARE(m_sent->at(0).at(0).toString(), QStringLiteral("*IDN?"));
    QVERIFY(m_access->inFlight());
    QVERIFY(!m_access->sendButton()->isEnabled());
    QVERIFY(!m_access->historyButton()->isEnabled());
    QVERIFY(edit->isEnabled());
    QCOMPARE(edit->text(), QStringLiteral("*IDN?"));
    QCOMPARE(edit->selectedText(), QStringLiteral("*IDN?"));
    QVERIFY(m_access->log()->isEmpty()); // logged only with the response

    // In flight: Return and keypad Enter do nothing but are still consumed (the field never
    // reports them), also after a refresh has re-enabled the buttons.
    m_access->refreshUiState();
    sendKey(edit, Qt::Key_Return);
    sendKey(edit, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(m_sent->size(), 1);
    QCOMPARE(returnPressed.size(), 0);

    m_access->respond(QStringLiteral("ORVANE,1.2\r\n"));
    QVERIFY(!m_access->inFlight());
    QVERIFY(m_access->sendButton()->isEnabled());
    QVERIFY(m_access->historyButton()->isEnabled());

    sendKey(edit, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(m_sent->size(), 2);
}

void TestConsole::responseIsLoggedAfterTheEcho_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("response");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("colour");
    QTest::newRow("a reply is logged unchanged in green") << "*IDN?"
                                                          << "ORVANE,V1.2"
                                                          << "ORVANE,V1.2"
                                                          << "#86efac";
    QTest::newRow("a refusal of the worker is logged like a reply") << "*IDN?"
                                                                    << "串口未打开"
                                                                    << "串口未打开"
                                                                    << "#86efac";
    QTest::newRow("an empty reply is no response, as info") << "*IDN?"
                                                            << ""
                                                            << "（无响应）"
                                                            << "#cbd5e1";
    QTest::newRow("a reply of white space is no response, as info") << "   "
                                                                    << " \r\n\t"
                                                                    << "（无响应）"
                                                                    << "#cbd5e1";
    QTest::newRow("a command with a placeholder is echoed literally") << "SET %1 %2"
                                                                      << "OK"
                                                                      << "OK"
                                                                      << "#86efac";
}

void TestConsole::responseIsLoggedAfterTheEcho()
{
    QFETCH(QString, command);
    QFETCH(QString, response);
    QFETCH(QString, shown);
    QFETCH(QString, colour);
    openWindow();
    m_access->cmdEdit()->setText(command);
    m_access->sendCustomCommand();
    QCOMPARE(m_sent->size(), 1);
    QCOMPARE(m_sent->at(0).at(0).toString(), command); // sent untrimmed

    m_access->respond(response);
    QTextDocument *log = m_access->log();
    QCOMPARE(log->blockCount(), 2);
    QCOMPARE(messageOf(log->firstBlock()), QStringLiteral(">> ") + command);
    QCOMPARE(colourOf(log->firstBlock()), QColor("#93c5fd"));
    QCOMPARE(messageOf(log->lastBlock()), shown);
    QCOMPARE(colourOf(log->lastBlock()), QColor(colour));
}

void TestConsole::sendIsIgnoredWhenTheConsoleIsNotUsable_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("updating");
    QTest::addColumn<QString>("text");
    QTest::newRow("an empty field sends nothing") << int(Dialog::Connected) << false << "";
    QTest::newRow("nothing is sent while disconnected")
        << int(Dialog::Disconnected) << false << "*IDN?";
    QTest::newRow("nothing is sent while connecting")
        << int(Dialog::Connecting) << false << "*IDN?";
    QTest::newRow("nothing is sent during an update") << int(Dialog::Connected) << true << "*IDN?";
}

void TestConsole::sendIsIgnoredWhenTheConsoleIsNotUsable()
{
    QFETCH(int, state);
    QFETCH(bool, updating);
    QFETCH(QString, text);
    openWindow({QStringLiteral("old")});
    m_access->setState(static_cast<Dialog::SerialPortState>(state), updating);
    m_access->cmdEdit()->setText(text);
    m_access->sendCustomCommand();
    QCOMPARE(m_sent->size(), 0);
    QVERIFY(!m_access->inFlight());
    QCOMPARE(m_access->history(), QStringList{"old"});
    QCOMPARE(storedHistory(), QStringList{"old"});
}

void TestConsole::buttonsStayOffWhenTheResponseComesAfterDisconnecting()
{
    openWindow();
    m_access->cmdEdit()->setText(QStringLiteral("*IDN?"));
    m_access->sendCustomCommand();
    m_access->setState(Dialog::Disconnected);
    m_access->respond(QStringLiteral("设备未连接"));
    QVERIFY(!m_access->inFlight());
    QVERIFY(!m_access->sendButton()->isEnabled());
    QVERIFY(!m_access->historyButton()->isEnabled());
    QCOMPARE(m_access->log()->blockCount(), 2);
}

void TestConsole::historyIsSavedAfterEverySend()
{
    openWindow();
    const auto send = [this](const QString &command) {
        m_access->cmdEdit()->setText(command);
        m_access->sendCustomCommand();
        m_access->respond(QStringLiteral("OK"));
    };
    const QList<QPair<QString, QStringList>> steps{
        {"*IDN?", {"*IDN?"}},
        {"*IDN?", {"*IDN?"}},
        {"*idn?", {"*idn?", "*IDN?"}},
        {"*IDN?", {"*IDN?", "*idn?"}},
    };
    for (const auto &[command, expected] : steps) {
        send(command);
        QCOMPARE(m_access->history(), expected);
        QCOMPARE(storedHistory(), expected);
        QCOMPARE(m_access->modelList(), expected);
        QCOMPARE(m_access->historyIndex(), -1);
    }
    QCOMPARE(m_sent->size(), steps.size());
}

void TestConsole::storedHistoryIsReadSafely_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QStringList>("loaded");
    QTest::newRow("25 stored entries are cut to their first 20")
        << QVariant(numbered(25)) << numbered(20);
    QTest::newRow("no stored history is an empty one") << QVariant() << QStringList();
    QTest::newRow("a single stored text is one entry")
        << QVariant(QStringLiteral("*IDN?")) << QStringList{"*IDN?"};
    QTest::newRow("a stored value of another kind is no history")
        << QVariant(QRect(1, 2, 3, 4)) << QStringList();
}

void TestConsole::storedHistoryIsReadSafely()
{
    QFETCH(QVariant, stored);
    QFETCH(QStringList, loaded);
    openWindowWith(stored);
    QCOMPARE(m_access->history(), loaded);
    QCOMPARE(m_access->modelList(), loaded);
}

void TestConsole::arrowKeysBrowseTheHistory()
{
    openWindow({"new", "mid", "old"});
    QLineEdit *edit = m_access->cmdEdit();
    edit->setText(QStringLiteral("draft"));

    const QList<QPair<int, QString>> steps{
        {Qt::Key_Up, "new"},   {Qt::Key_Up, "mid"},   {Qt::Key_Up, "old"}, {Qt::Key_Up, "old"},
        {Qt::Key_Down, "mid"}, {Qt::Key_Down, "new"}, {Qt::Key_Down, ""},  {Qt::Key_Down, ""},
    };
    const QList<int> indexes{0, 1, 2, 2, 1, 0, -1, -1};
    for (int i = 0; i < steps.size(); ++i) {
        sendKey(edit, steps.at(i).first);
        QCOMPARE(edit->text(), steps.at(i).second);
        QCOMPARE(m_access->historyIndex(), indexes.at(i));
    }
    QCOMPARE(m_sent->size(), 0);
}

void TestConsole::arrowKeysBelongToAComposingInputMethod()
{
    openWindow({"new", "mid", "old"});
    QLineEdit *edit = m_access->cmdEdit();
    sendKey(edit, Qt::Key_Up);
    QCOMPARE(m_access->historyIndex(), 0);

    compose(edit, QStringLiteral("ni"));
    sendKey(edit, Qt::Key_Up);
    QCOMPARE(m_access->historyIndex(), 0);
    sendKey(edit, Qt::Key_Down);
    QCOMPARE(m_access->historyIndex(), 0);
    QCOMPARE(edit->text(), QStringLiteral("new"));

    compose(edit, QString(), QStringLiteral("你"));
    sendKey(edit, Qt::Key_Up);
    QCOMPARE(m_access->historyIndex(), 1);
    QCOMPARE(edit->text(), QStringLiteral("mid"));

    // Losing the focus ends a composition, so the arrows browse again.
    compose(edit, QStringLiteral("ha"));
    QFocusEvent focusOut(QEvent::FocusOut, Qt::OtherFocusReason);
    QApplication::sendEvent(edit, &focusOut);
    sendKey(edit, Qt::Key_Up);
    QCOMPARE(m_access->historyIndex(), 2);

    // Escape also ends it.
    compose(edit, QStringLiteral("ha"));
    sendKey(edit, Qt::Key_Escape);
    sendKey(edit, Qt::Key_Down);
    QCOMPARE(m_access->historyIndex(), 1);
}

void TestConsole::historyMenuLists_data()
{
    QTest::addColumn<QStringList>("history");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QList<bool>>("enabled");
    const QString forty(40, QLatin1Char('a'));
    QTest::newRow("no history shows one disabled note")
        << QStringList() << QStringList{"暂无历史记录"} << QList<bool>{false};
    QTest::newRow("one entry, a separator and the clear entry")
        << QStringList{"*IDN?"} << QStringList{"*IDN?", "-", "清空历史记录"}
        << QList<bool>{true, true, true};
    QTest::newRow("41 characters are cut to 40 and an ellipsis; 40 are whole")
        << QStringList{forty + "b", forty}
        << QStringList{forty + QChar(0x2026), forty, "-", "清空历史记录"}
        << QList<bool>{true, true, true, true};
    QStringList thirteenTexts = numbered(12);
    thirteenTexts << "更早的命令：使用 ↑ / ↓"
                  << "-"
                  << "清空历史记录";
    QList<bool> thirteenEnabled(12, true);
    thirteenEnabled << false << true << true;
    QTest::newRow("thirteen entries show twelve, the hint, a separator and clear")
        << numbered(13) << thirteenTexts << thirteenEnabled;
}

void TestConsole::historyMenuLists()
{
    QFETCH(QStringList, history);
    QFETCH(QStringList, texts);
    QFETCH(QList<bool>, enabled);
    openWindow(history);
    m_access->populateHistoryMenu();
    m_access->populateHistoryMenu(); // a second fill replaces the first

    QStringList actualTexts;
    QList<bool> actualEnabled;
    const QList<QAction *> actions = m_access->historyMenu()->actions();
    for (QAction *action : actions) {
        actualTexts << (action->isSeparator() ? QStringLiteral("-") : action->text());
        actualEnabled << action->isEnabled();
    }
    QCOMPARE(actualTexts, texts);
    QCOMPARE(actualEnabled, enabled);
    for (int i = 0; i < std::min<qsizetype>(history.size(), 12); ++i)
        QCOMPARE(actions.at(i)->toolTip(), history.at(i));
}

void TestConsole::choosingAMenuEntryFillsTheFieldWithoutSending()
{
    const QString longCommand = QString(45, QLatin1Char('z'));
    openWindow({"first", longCommand});
    sendKey(m_access->cmdEdit(), Qt::Key_Up);
    m_access->populateHistoryMenu();
    m_access->historyMenu()->actions().at(1)->trigger();
    QCOMPARE(m_access->cmdEdit()->text(), longCommand);
    QCOMPARE(m_access->historyIndex(), -1);
    QCOMPARE(m_sent->size(), 0);
}

void TestConsole::clearingTheHistoryEmptiesItEverywhere()
{
    openWindow({"a", "b"});
    m_access->populateHistoryMenu();
    QAction *clear = m_access->historyMenu()->actions().last();
    QCOMPARE(clear->text(), QStringLiteral("清空历史记录"));
    sendKey(m_access->cmdEdit(), Qt::Key_Up);
    clear->trigger();

    QVERIFY(m_access->history().isEmpty());
    QVERIFY(m_access->modelList().isEmpty());
    QVERIFY(storedHistory().isEmpty());
    QCOMPARE(m_access->historyIndex(), -1);
    const QList<QAction *> actions = m_access->historyMenu()->actions();
    QCOMPARE(actions.size(), 1);
    QCOMPARE(actions.first()->text(), QStringLiteral("暂无历史记录"));

    m_access->cmdEdit()->setText(QStringLiteral("typed"));
    sendKey(m_access->cmdEdit(), Qt::Key_Up);
    sendKey(m_access->cmdEdit(), Qt::Key_Down);
    QCOMPARE(m_access->cmdEdit()->text(), QStringLiteral("typed"));
    QCOMPARE(m_access->historyIndex(), -1);
}

void TestConsole::historyButtonOpensTheMenuOnTheScreen()
{
    openWindow({"*IDN?", "*RST"});
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
    QTest::mouseClick(m_access->historyButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(shown != nullptr, kMenuWaitMs);
    QCOMPARE(shown, m_access->historyMenu());
    const QRect screen = m_access->historyButton()->screen()->availableGeometry();
    QVERIFY2(screen.contains(geometry), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                       .arg(geometry.x())
                                                       .arg(geometry.y())
                                                       .arg(geometry.width())
                                                       .arg(geometry.height())));
    QCOMPARE(m_access->cmdEdit()->text(), QStringLiteral("*RST"));
    QCOMPARE(m_sent->size(), 0);
}

void TestConsole::commandTravelsThroughTheWorkerToTheDevice()
{
    FakeDevice device;
    QVERIFY(device.isValid());
    QByteArray line;
    device.setResponder([&line](FakeDevice &self, const QByteArray &chunk) {
        line += chunk;
        if (line.endsWith("\r\n")) {
            if (line == "*IDN?\r\n")
                self.send("ORVANE,TAMSEL,V1.2\r\n");
            line.clear();
        }
    });
    const QString port = device.portName();
    Dialog::setPortEnumerator([port] { return QList<PortListing>{{port, QString()}}; });
    storeHistory(QVariant());
    Dialog dialog;
    DialogTestAccess access(dialog);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    access.toggleConnection();
    QTRY_COMPARE_WITH_TIMEOUT(access.state(), Dialog::Connected, kDeviceWaitMs);
    const int before = access.log()->blockCount();

    QTest::keyClicks(access.cmdEdit(), QStringLiteral("*IDN?"));
    QTest::keyClick(access.cmdEdit(), Qt::Key_Return);
    QVERIFY(access.inFlight());
    QTRY_VERIFY_WITH_TIMEOUT(!access.inFlight(), kDeviceWaitMs);

    QTextDocument *log = access.log();
    QCOMPARE(log->blockCount(), before + 2);
    QCOMPARE(messageOf(log->findBlockByNumber(before)), QStringLiteral(">> *IDN?"));
    QVERIFY2(messageOf(log->lastBlock()).startsWith(QStringLiteral("ORVANE,TAMSEL,V1.2")),
             qPrintable(log->lastBlock().text()));
    QCOMPARE(colourOf(log->lastBlock()), QColor("#86efac"));
    QVERIFY(access.sendButton()->isEnabled());
    QCOMPARE(storedHistory(), QStringList{"*IDN?"});

    Dialog::setPortEnumerator([] { return QList<PortListing>{{"ttyTEST0", "Test port"}}; });
}

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
