// The window's visible state: initial look, each connection state's row, the update lock-out,
// and connecting for real against a fake device.

#include "app/layoutmath.h"
#include "fakedevice.h"
#include "window_access.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr int kWorkerReplyTimeoutMs = 5000;
const QColor kRed(u"#dc2626"_s);
const QColor kAmber(u"#f59e0b"_s);
const QColor kGreen(u"#22c55e"_s);
const QColor kErrorColour(u"#fca5a5"_s);
const QString kDisconnectedText = u"等待连接…"_s;

// How a press of the connect button ends.
enum class Ending { NoPort, CannotOpen, UserDisconnects, PortLost };

} // namespace

Q_DECLARE_METATYPE(Ending)

class WindowStateTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { useTestEnvironment(); }
    void init() { store().clear(); } // no remembered port, image or history

    void connectionStateRows_data();
    void connectionStateRows();
    void updateLocksControlsAndLeavesStateTexts();
    void resizeKeepsOverlayAndToastPlaced();
    void connectPressEndsDisconnected_data();
    void connectPressEndsDisconnected();
};

void WindowStateTest::connectionStateRows_data()
{
    QTest::addColumn<Dialog::SerialPortState>("before");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("buttonText");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QColor>("led");
    QTest::addColumn<bool>("connectEnabled");
    QTest::addColumn<bool>("consoleEnabled");
    QTest::addColumn<bool>("startEnabled");
    QTest::addColumn<bool>("baudShown");
    const QString conn = u"连接"_s, disc = u"断开"_s, connTip = u"连接到选定串口"_s;
    const QString path = u"/tmp/a.bin"_s;

    QTest::newRow("back to Disconnected: red, 连接, baud label hidden, no start")
        << Dialog::Connected << 0 << path << kDisconnectedText << conn << connTip << kRed << true
        << false << false << false;
    QTest::newRow("Connecting keeps 连接 and its tooltip, amber, connect button disabled")
        << Dialog::Disconnected << 1 << path << u"正在连接…"_s << conn << connTip << kAmber << false
        << false << false << false;
    QTest::newRow("Connected: 断开 in green, baud label as reported, start with a padded path")
        << Dialog::Connected << 2 << u"  /tmp/a.bin "_s << u"已连接"_s << disc << disc << kGreen
        << true << true << true << true;
    QTest::newRow("Connected with a path of blanks: no start")
        << Dialog::Connected << 2 << u" \t "_s << u"已连接"_s << disc << disc << kGreen << true
        << true << false << true;
    QTest::newRow("Disconnecting keeps 断开, amber, connect button disabled, baud label kept")
        << Dialog::Connected << 3 << path << u"正在断开…"_s << disc << disc << kAmber << false
        << false << false << true;
    QTest::newRow("an unknown state changes no text, only the enabled states")
        << Dialog::Connected << 7 << path << u"已连接"_s << disc << disc << kGreen << false << false
        << false << true;
}

void WindowStateTest::connectionStateRows()
{
    QFETCH(Dialog::SerialPortState, before);
    QFETCH(int, state);
    QFETCH(QString, path);
    QFETCH(QString, status);
    QFETCH(QString, buttonText);
    QFETCH(QString, toolTip);
    QFETCH(QColor, led);
    QFETCH(bool, connectEnabled);
    QFETCH(bool, consoleEnabled);
    QFETCH(bool, startEnabled);
    QFETCH(bool, baudShown);

    Dialog dialog;
    dialog.show();
    DialogTestAccess w(dialog);
    w.pathField()->setText(path);
    w.setState(before);
    w.reportBaudRate(115200);
    w.setState(Dialog::SerialPortState(state));

    QCOMPARE(w.statusLabel()->text(), status);
    QCOMPARE(w.connectButton()->text(), buttonText);
    QCOMPARE(w.connectButton()->toolTip(), toolTip);
    QCOMPARE(w.ledColour(), led);
    QCOMPARE(w.connectButton()->isEnabled(), connectEnabled);
    QCOMPARE(w.startButton()->isEnabled(), startEnabled);
    QCOMPARE(w.startButton()->text(), u"开始"_s);
    QCOMPARE(w.baudLabel()->isVisible(), baudShown);
    for (QWidget *console : QList<QWidget *>{w.commandField(), w.sendButton(), w.historyButton()})
        QCOMPARE(console->isEnabled(), consoleEnabled);
    // Choosing a port and an image stays possible in every state while no update runs.
    for (QWidget *choice : QList<QWidget *>{w.portSelector(), w.browseButton(), w.pathField()})
        QVERIFY(choice->isEnabled());
}

void WindowStateTest::updateLocksControlsAndLeavesStateTexts()
{
    Dialog dialog;
    dialog.show();
    DialogTestAccess w(dialog);
    w.pathField()->setText(u"/tmp/app.bin"_s);
    w.setState(Dialog::Connected);
    w.reportBaudRate(115200);
    QVERIFY(w.startButton()->isEnabled());

    // The update flow stops the scan and writes its own progress text.
    w.portScanTimer()->stop();
    const QString progressText = u"已发送 4096 / 8192 字节"_s;
    w.updateStatus(progressText);
    w.setUpdating(true);

    for (QWidget *control :
         QList<QWidget *>{w.connectButton(), w.portSelector(), w.browseButton(), w.pathField(),
                          w.commandField(), w.sendButton(), w.historyButton()})
        QVERIFY2(!control->isEnabled(), control->metaObject()->className());
    // The start button is the update's cancel button meanwhile.
    QVERIFY(w.startButton()->isEnabled());
    QCOMPARE(w.startButton()->text(), u"取消更新"_s);

    // Neither a state change nor a resize touches the state texts while the update runs.
    w.setState(Dialog::Disconnected);
    dialog.resize(dialog.width() + 20, dialog.height() + 20);
    QTest::qWait(0);
    QCOMPARE(w.statusLabel()->text(), progressText);
    QCOMPARE(w.ledColour(), kGreen);
    QCOMPARE(w.connectButton()->text(), u"断开"_s);
    QVERIFY(w.baudLabel()->isVisible());
    QVERIFY(!w.portScanTimer()->isActive());
    QVERIFY(!w.connectButton()->isEnabled());

    // Once the update is over, the state row and the port scan come back.
    w.setState(Dialog::Connected);
    w.setUpdating(false);
    QCOMPARE(w.statusLabel()->text(), u"已连接"_s);
    QCOMPARE(w.startButton()->text(), u"开始"_s);
    QVERIFY(w.startButton()->isEnabled());
    QVERIFY(w.portScanTimer()->isActive());
}

void WindowStateTest::resizeKeepsOverlayAndToastPlaced()
{
    Dialog dialog;
    dialog.resize(640, 560);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    DialogTestAccess w(dialog);

    w.dropOverlay()->setGeometry(0, 0, 10, 10);
    w.dropOverlay()->show();
    w.toast()->setFixedSize(121, 22);
    w.toast()->show();
    dialog.resize(700, 600);
    QTRY_COMPARE(w.dropOverlay()->geometry(), QRect(0, 0, 700, 600));
    QCOMPARE(w.toast()->pos(), toastPosition(w.logPanel()->size(), QSize(121, 22)));
    // The rule itself: centred with truncation, 54 px above the panel's bottom edge.
    QCOMPARE(toastPosition(QSize(301, 200), QSize(100, 22)), QPoint(100, 146));
}

void WindowStateTest::connectPressEndsDisconnected_data()
{
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<bool>("error");
    QTest::newRow("with no port the press logs 未选择串口。 as an error and sends nothing")
        << Ending::NoPort << u"未选择串口。"_s << true;
    QTest::newRow("a port that cannot be opened is reported and the press undone")
        << Ending::CannotOpen << u"无法打开串口 /dev/fw-test-no-such-port："_s << true;
    QTest::newRow("connected to the device, the user presses 断开")
        << Ending::UserDisconnects << u"已断开连接"_s << false;
    QTest::newRow("connected to the device, the port goes away without a request")
        << Ending::PortLost << u"串口错误："_s << true;
}

void WindowStateTest::connectPressEndsDisconnected()
{
    QFETCH(Ending, ending);
    QFETCH(QString, logged);
    QFETCH(bool, error);
    FakeDevice device;
    QVERIFY(device.isValid());
    const bool connects = ending == Ending::UserDisconnects || ending == Ending::PortLost;
    if (ending == Ending::NoPort)
        g_ports.clear();
    else
        g_ports = {{connects ? device.portName() : u"/dev/fw-test-no-such-port"_s, {}}};
    Dialog dialog;
    dialog.show();
    DialogTestAccess w(dialog);
    QSignalSpy connectSpy(&dialog, &Dialog::requestConnect);
    QSignalSpy disconnectSpy(&dialog, &Dialog::requestDisconnect);
    QVERIFY(connectSpy.isValid() && disconnectSpy.isValid());

    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    QCOMPARE(connectSpy.count(), ending == Ending::NoPort ? 0 : 1);
    if (connects) {
        QCOMPARE(connectSpy.at(0).at(0).toString(), device.portName());
        QTRY_COMPARE_WITH_TIMEOUT(w.state(), Dialog::Connected, kWorkerReplyTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(w.baudLabel()->isVisible(), kWorkerReplyTimeoutMs);
        QCOMPARE(w.baudLabel()->text(), u"波特率：115200"_s);
        QVERIFY2(w.logText().contains("已连接：" + device.portName()), qPrintable(w.logText()));
        if (ending == Ending::UserDisconnects)
            QTest::mouseClick(w.connectButton(), Qt::LeftButton);
        else
            device.closeMaster();
    }
    QTRY_COMPARE_WITH_TIMEOUT(w.state(), Dialog::Disconnected, kWorkerReplyTimeoutMs);
    QCOMPARE(disconnectSpy.count(), ending == Ending::UserDisconnects ? 1 : 0);
    QCOMPARE(w.ledColour(), kRed);
    QVERIFY(!w.baudLabel()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(w.logText().contains(logged), kWorkerReplyTimeoutMs);
    QVERIFY2(!connects || w.logText().contains(u"已断开连接"_s), qPrintable(w.logText()));
    QCOMPARE(w.logFormatOf(logged).foreground().color(), error ? kErrorColour : QColor("#cbd5e1"));
    QCOMPARE(w.logFormatOf(logged).fontWeight() == QFont::Bold, error);
}

QTEST_MAIN(WindowStateTest)
#include "tst_window_state.moc"
