// The window: each connection state's row, the update lock-out, connecting for real against a
// fake device, keys and closing, the worker thread and the tab order.

#include "app/layoutmath.h"
#include "app/translations.h"
#include "fakedevice.h"
#include "window_access.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr int kWaitMs = 5000;
const QColor kRed(u"#dc2626"_s), kAmber(u"#f59e0b"_s), kGreen(u"#22c55e"_s);

// Closes any modal window that opens while it runs, and notes its class.
std::unique_ptr<QTimer> modalWatchdog(QStringList &seen)
{
    auto timer = std::make_unique<QTimer>();
    QObject::connect(timer.get(), &QTimer::timeout, [&seen] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            seen << QString::fromLatin1(modal->metaObject()->className());
            modal->close();
        }
    });
    timer->start(20);
    return timer;
}

// How a press of the connect button ends.
enum class Ending { NoPort, CannotOpen, UserDisconnects, PortLost };

} // namespace

Q_DECLARE_METATYPE(Ending)

class WindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        useTestEnvironment({{"ttyUSB0", "USB Serial"}, {"ttyS0", QString()}});
        QVERIFY(installQtChineseTranslations(*QCoreApplication::instance()));
    }
    void init()
    {
        store().clear(); // no remembered port, image or history
        m_dialog.reset();
        m_dialog = std::make_unique<Dialog>();
        w = std::make_unique<DialogTestAccess>(*m_dialog);
        w->pathField()->setText(u"/tmp/app.bin"_s);
    }
    void cleanup()
    {
        m_dialog.reset();
        g_ports = {{"ttyUSB0", "USB Serial"}, {"ttyS0", QString()}};
    }

    void connectionStateRows_data();
    void connectionStateRows();
    void updateLocksControlsAndLeavesStateTexts();
    void connectPressEndsDisconnected_data();
    void connectPressEndsDisconnected();
    void keysAndClosingAskNothingAndStopTheWorker();
    void tabOrderAndQtsOwnMenus();

private:
    std::unique_ptr<Dialog> m_dialog;
    std::unique_ptr<DialogTestAccess> w;
};

void WindowTest::connectionStateRows_data()
{
    QTest::addColumn<Dialog::SerialPortState>("before");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QColor>("led");
    QTest::addColumn<QString>("enabled"); // c: connect, s: the console, b: start; C: 断开, B: baud
    const QString path = u"/tmp/a.bin"_s;
    QTest::newRow("back to Disconnected: red, 连接, no baud label, no start")
        << Dialog::Connected << 0 << path << u"等待连接…"_s << kRed << u"c"_s;
    QTest::newRow("Connecting: 连接 in amber, the connect button disabled")
        << Dialog::Disconnected << 1 << path << u"正在连接…"_s << kAmber << u""_s;
    QTest::newRow("Connected: 断开 in green, the baud label, start with a padded path")
        << Dialog::Connected << 2 << u"  /tmp/a.bin "_s << u"已连接"_s << kGreen << u"csbCB"_s;
    QTest::newRow("Connected with a path of blanks: no start")
        << Dialog::Connected << 2 << u" \t "_s << u"已连接"_s << kGreen << u"csCB"_s;
    QTest::newRow("Disconnecting: 断开 in amber, connect disabled, the baud label kept")
        << Dialog::Connected << 3 << path << u"正在断开…"_s << kAmber << u"CB"_s;
    QTest::newRow("an unknown state changes no text, only disables")
        << Dialog::Connected << 7 << path << u"已连接"_s << kGreen << u"CB"_s;
}

void WindowTest::connectionStateRows()
{
    QFETCH(Dialog::SerialPortState, before);
    QFETCH(int, state);
    QFETCH(QString, path);
    QFETCH(QString, status);
    QFETCH(QColor, led);
    QFETCH(QString, enabled);
    m_dialog->show();
    w->pathField()->setText(path);
    w->setState(before);
    w->reportBaudRate(115200);
    w->setState(Dialog::SerialPortState(state));
    QCOMPARE(w->statusLabel()->text(), status);
    QCOMPARE(w->ledColour(), led);
    QCOMPARE(w->connectButton()->text(), enabled.contains('C') ? u"断开"_s : u"连接"_s);
    QCOMPARE(w->baudLabel()->isVisible(), enabled.contains('B'));
    QCOMPARE(w->connectButton()->isEnabled(), enabled.contains('c'));
    QCOMPARE(w->startButton()->isEnabled(), enabled.contains('b'));
    for (QWidget *console :
         QList<QWidget *>{w->commandField(), w->sendButton(), w->historyButton()})
        QCOMPARE(console->isEnabled(), enabled.contains('s'));
    // Choosing a port and an image stays possible in every state while no update runs.
    for (QWidget *choice : QList<QWidget *>{w->portSelector(), w->browseButton(), w->pathField()})
        QVERIFY(choice->isEnabled());
}

void WindowTest::updateLocksControlsAndLeavesStateTexts()
{
    m_dialog->resize(640, 560);
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    w->setState(Dialog::Connected);
    w->reportBaudRate(115200);
    // The update flow stops the scan and writes its own progress text.
    w->portScanTimer()->stop();
    w->updateStatus(u"已发送 4096 / 8192 字节"_s);
    w->setUpdating(true);
    for (QWidget *control :
         QList<QWidget *>{w->connectButton(), w->portSelector(), w->browseButton(), w->pathField(),
                          w->commandField(), w->sendButton(), w->historyButton()})
        QVERIFY2(!control->isEnabled(), control->metaObject()->className());
    QVERIFY(w->startButton()->isEnabled()); // it cancels the update meanwhile
    QCOMPARE(w->startButton()->text(), u"取消更新"_s);

    // Neither a state change nor a resize touches the state texts while the update runs; the
    // resize keeps the drop overlay covering the window and the toast placed.
    w->setState(Dialog::Disconnected);
    w->dropOverlay()->show();
    w->toast()->setFixedSize(121, 22);
    w->toast()->show();
    m_dialog->resize(700, 600);
    QTRY_COMPARE(w->dropOverlay()->geometry(), QRect(0, 0, 700, 600));
    QCOMPARE(w->toast()->pos(), toastPosition(w->logPanel()->size(), QSize(121, 22)));
    QCOMPARE(toastPosition(QSize(301, 200), QSize(100, 22)), QPoint(100, 146));
    QCOMPARE(w->statusLabel()->text(), u"已发送 4096 / 8192 字节"_s);
    QCOMPARE(w->ledColour(), kGreen);
    QVERIFY(w->baudLabel()->isVisible() && !w->portScanTimer()->isActive());

    // Once the update is over, the state row and the port scan come back.
    w->setState(Dialog::Connected);
    w->setUpdating(false);
    QCOMPARE(w->statusLabel()->text(), u"已连接"_s);
    QCOMPARE(w->startButton()->text(), u"开始"_s);
    QVERIFY(w->startButton()->isEnabled() && w->portScanTimer()->isActive());
}

void WindowTest::connectPressEndsDisconnected_data()
{
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<QString>("logged");
    QTest::newRow("with no port the press logs 未选择串口。 as an error and sends nothing")
        << Ending::NoPort << u"未选择串口。"_s;
    QTest::newRow("a port that cannot be opened is reported and the press undone")
        << Ending::CannotOpen << u"无法打开串口 /dev/fw-test-no-such-port："_s;
    QTest::newRow("connected to the device, the user presses 断开 and it is logged as info")
        << Ending::UserDisconnects << u"已断开连接"_s;
    QTest::newRow("connected to the device, the port goes away without a request")
        << Ending::PortLost << u"串口错误："_s;
}

void WindowTest::connectPressEndsDisconnected()
{
    QFETCH(Ending, ending);
    QFETCH(QString, logged);
    FakeDevice device;
    QVERIFY(device.isValid());
    const bool connects = ending == Ending::UserDisconnects || ending == Ending::PortLost;
    const QString port = connects ? device.portName() : u"/dev/fw-test-no-such-port"_s;
    g_ports = ending == Ending::NoPort ? QList<PortListing>() : QList<PortListing>{{port, {}}};
    init(); // a window that lists only that port
    m_dialog->show();
    QSignalSpy connectSpy(m_dialog.get(), &Dialog::requestConnect);
    QSignalSpy disconnectSpy(m_dialog.get(), &Dialog::requestDisconnect);
    QTest::mouseClick(w->connectButton(), Qt::LeftButton);
    QCOMPARE(connectSpy.count(), ending == Ending::NoPort ? 0 : 1);
    if (connects) {
        QTRY_COMPARE_WITH_TIMEOUT(w->state(), Dialog::Connected, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(w->baudLabel()->isVisible(), kWaitMs);
        QCOMPARE(w->baudLabel()->text(), u"波特率：115200"_s);
        QVERIFY2(w->logText().contains("已连接：" + port), qPrintable(w->logText()));
        if (ending == Ending::UserDisconnects)
            QTest::mouseClick(w->connectButton(), Qt::LeftButton);
        else
            device.closeMaster();
    }
    QTRY_COMPARE_WITH_TIMEOUT(w->state(), Dialog::Disconnected, kWaitMs);
    QCOMPARE(disconnectSpy.count(), ending == Ending::UserDisconnects ? 1 : 0);
    QCOMPARE(w->ledColour(), kRed);
    QVERIFY(!w->baudLabel()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(w->logText().contains(logged), kWaitMs);
    QVERIFY2(!connects || w->logText().contains(u"已断开连接"_s), qPrintable(w->logText()));
    // Logged as an error (bold) unless the user asked for it.
    QCOMPARE(w->logFormatOf(logged).fontWeight() == QFont::Bold, ending != Ending::UserDisconnects);
}

void WindowTest::keysAndClosingAskNothingAndStopTheWorker()
{
    w->setState(Dialog::Connected); // the command field and the send button are live
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    QSignalSpy finished(m_dialog.get(), &QDialog::finished);
    QSignalSpy requests(m_dialog.get(), &Dialog::requestConnect);
    QSignalSpy sends(m_dialog.get(), &Dialog::requestSendCustomCommand);
    QStringList modals; // what a key or closing opens (browse: the file dialog) is noted
    auto watchdog = modalWatchdog(modals);
    // Escape in a field bubbles up to the window as well; Return presses no button.
    for (QWidget *target : QList<QWidget *>{m_dialog.get(), w->pathField(), w->portSelector()}) {
        target->setFocus();
        QTest::keyClick(target, Qt::Key_Escape);
    }
    for (QWidget *field :
         QList<QWidget *>{w->portSelector(), w->pathField(), w->connectButton(), w->sendButton()}) {
        field->setFocus();
        QTest::keyClick(field, Qt::Key_Return);
        QVERIFY(!w->connectButton()->isDefault() && !w->sendButton()->isDefault());
    }
    QCoreApplication::processEvents();
    QVERIFY(m_dialog->isVisible());
    QCOMPARE(finished.count() + requests.count() + sends.count(), 0);
    QCOMPARE(w->state(), Dialog::Connected); // no disconnect was asked for either

    // The worker lives on its own thread, which a close of the idle window stops.
    QVERIFY(w->workerThread()->isRunning());
    QCOMPARE(w->worker()->thread(), w->workerThread());
    QCOMPARE(w->worker()->parent(), nullptr);
    QPointer<QObject> worker = w->worker();
    QVERIFY(m_dialog->close());
    QVERIFY2(modals.isEmpty(), qPrintable(modals.join(u',')));
    QVERIFY(w->workerThread()->isFinished());
    QTRY_VERIFY(worker.isNull()); // the finished thread hands the worker to deleteLater
    // A second shutdown would queue an abort for the running update; the destructor must not.
    w->setUpdating(true);
    QSignalSpy abortSpy(m_dialog.get(), &Dialog::requestAbort);
    m_dialog.reset();
    QCOMPARE(abortSpy.count(), 0);

    // Destroyed without a close, the window still stops the thread and frees the worker.
    init();
    worker = w->worker();
    QSignalSpy threadFinished(w->workerThread(), &QThread::finished);
    m_dialog.reset();
    QCOMPARE(threadFinished.count(), 1);
    QTRY_VERIFY(worker.isNull());
}

void WindowTest::tabOrderAndQtsOwnMenus()
{
    w->setState(Dialog::Connected);
    const QList<QWidget *> order = {w->portSelector(),  w->connectButton(), w->pathField(),
                                    w->browseButton(),  w->startButton(),   w->commandField(),
                                    w->historyButton(), w->sendButton()};
    for (int i = 0; i + 1 < order.size(); ++i) {
        QWidget *next = order[i]->nextInFocusChain();
        // Skip what the keyboard never focuses, and the field inside the port selector.
        while (!(next->focusPolicy() & Qt::TabFocus) || order[i]->isAncestorOf(next))
            next = next->nextInFocusChain();
        QVERIFY2(next == order[i + 1], qPrintable(QString::number(i)));
    }
    const std::unique_ptr<QMenu> menu(w->pathField()->createStandardContextMenu());
    QStringList entries;
    for (const QAction *action : menu->actions())
        entries << action->text();
    QVERIFY2(entries.join(u' ').contains(u"复制"_s), qPrintable(entries.join(u'|')));
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
