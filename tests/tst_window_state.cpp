// The window's visible state: initial look, each connection state's row, the update lock-out,
// and connecting for real against a fake device.

#include "app/layoutmath.h"
#include "fakedevice.h"
#include "testsettings.h"
#include "window_access.h"

#include <QSettings>
#include <QSignalSpy>
#include <QStyle>
#include <QTest>

#include <memory>

namespace {

constexpr int kWorkerReplyTimeoutMs = 5000;
const QColor kRed(QStringLiteral("#dc2626"));
const QColor kAmber(QStringLiteral("#f59e0b"));
const QColor kGreen(QStringLiteral("#22c55e"));
const QColor kErrorColour(QStringLiteral("#fca5a5"));

QList<PortListing> g_ports;

} // namespace

class WindowStateTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void initialWindow();
    void connectionStateRows_data();
    void connectionStateRows();
    void unknownStateChangesNoStateText();
    void startButtonNeedsConnectionAndPath_data();
    void startButtonNeedsConnectionAndPath();
    void updateLocksControlsAndLeavesStateTexts();
    void connectWithoutPortLogsErrorAndSendsNothing();
    void connectionFailureReturnsToDisconnected();
    void ledPixmapFollowsDevicePixelRatio_data();
    void ledPixmapFollowsDevicePixelRatio();
    void resizeKeepsOverlayAndToastPlaced();
    void connectAndDisconnectAgainstFakeDevice();
    void portLostWithoutRequestReturnsToDisconnected();

private:
    std::unique_ptr<Dialog> makeDialog();
};

void WindowStateTest::initTestCase()
{
    usePrivateSettingsFolder();
    Dialog::setPortEnumerator([] { return g_ports; });
}

void WindowStateTest::init()
{
    // Every case starts from a fresh installation: no remembered port, image or history.
    QSettings(QStringLiteral("YourCompany"), QStringLiteral("YourApp")).clear();
    g_ports = {{QStringLiteral("ttyFW0"), QStringLiteral("Test adapter")}};
}

std::unique_ptr<Dialog> WindowStateTest::makeDialog()
{
    return std::make_unique<Dialog>();
}

void WindowStateTest::initialWindow()
{
    auto dialog = makeDialog();
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    DialogTestAccess w(*dialog);

    QCOMPARE(w.statusLabel()->text(), QStringLiteral("等待连接…"));
    QCOMPARE(w.ledColour(), kRed);
    QCOMPARE(w.connectButton()->text(), QStringLiteral("连接"));
    QCOMPARE(w.connectButton()->toolTip(), QStringLiteral("连接到选定串口"));
    QVERIFY(w.connectButton()->isEnabled());
    QVERIFY(w.portSelector()->isEnabled());
    QVERIFY(w.browseButton()->isEnabled());
    QVERIFY(w.pathField()->isEnabled());

    QVERIFY(!w.startButton()->isEnabled());
    QCOMPARE(w.startButton()->text(), QStringLiteral("开始"));
    QVERIFY(!w.sendButton()->isEnabled());
    QVERIFY(!w.commandField()->isEnabled());
    QVERIFY(!w.historyButton()->isEnabled());

    QVERIFY(!w.progressBar()->isVisible());
    QVERIFY(!w.baudLabel()->isVisible());
    QVERIFY(!w.logToast()->isVisible());
    QVERIFY(!w.dropOverlay()->isVisible());

    QVERIFY(!w.saveButton()->isEnabled());
    QVERIFY(!w.copyButton()->isEnabled());
    QVERIFY(!w.clearButton()->isEnabled());

    QCOMPARE(w.portSelector()->count(), 1);
    QCOMPARE(w.portSelector()->itemText(0), QStringLiteral("ttyFW0 (Test adapter)"));
    QCOMPARE(w.portSelector()->itemData(0, Qt::UserRole).toString(), QStringLiteral("ttyFW0"));
    QVERIFY(w.portScanTimer()->isActive());
}

void WindowStateTest::connectionStateRows_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("buttonText");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QColor>("led");
    QTest::addColumn<bool>("connectEnabled");
    QTest::addColumn<bool>("consoleEnabled");
    QTest::addColumn<bool>("baudShown");

    QTest::newRow("back to Disconnected from Connected: red, 连接, baud label hidden")
        << int(Dialog::Connected) << int(Dialog::Disconnected) << QStringLiteral("等待连接…")
        << QStringLiteral("连接") << QStringLiteral("连接到选定串口") << kRed << true << false
        << false;
    QTest::newRow("Connecting keeps 连接 and its tooltip, amber, connect button disabled")
        << int(Dialog::Disconnected) << int(Dialog::Connecting) << QStringLiteral("正在连接…")
        << QStringLiteral("连接") << QStringLiteral("连接到选定串口") << kAmber << false << false
        << false;
    QTest::newRow("Connected shows 断开 in green and leaves the baud label as reported")
        << int(Dialog::Connected) << int(Dialog::Connected) << QStringLiteral("已连接")
        << QStringLiteral("断开") << QStringLiteral("断开") << kGreen << true << true << true;
    QTest::newRow("Disconnecting keeps 断开, amber, connect button disabled, baud label kept")
        << int(Dialog::Connected) << int(Dialog::Disconnecting) << QStringLiteral("正在断开…")
        << QStringLiteral("断开") << QStringLiteral("断开") << kAmber << false << false << true;
}

void WindowStateTest::connectionStateRows()
{
    QFETCH(int, before);
    QFETCH(int, state);
    QFETCH(QString, status);
    QFETCH(QString, buttonText);
    QFETCH(QString, toolTip);
    QFETCH(QColor, led);
    QFETCH(bool, connectEnabled);
    QFETCH(bool, consoleEnabled);
    QFETCH(bool, baudShown);

    auto dialog = makeDialog();
    dialog->show();
    DialogTestAccess w(*dialog);
    w.setState(Dialog::SerialPortState(before));
    // The worker's report shows the baud label; only some states hide it again.
    w.reportBaudRate(115200);
    QCOMPARE(w.baudLabel()->text(), QStringLiteral("波特率：115200"));
    QVERIFY(w.baudLabel()->isVisible());
    w.setState(Dialog::SerialPortState(state));

    QCOMPARE(w.statusLabel()->text(), status);
    QCOMPARE(w.connectButton()->text(), buttonText);
    QCOMPARE(w.connectButton()->toolTip(), toolTip);
    QCOMPARE(w.ledColour(), led);
    QCOMPARE(w.connectButton()->isEnabled(), connectEnabled);
    QCOMPARE(w.baudLabel()->isVisible(), baudShown);
    QCOMPARE(w.commandField()->isEnabled(), consoleEnabled);
    QCOMPARE(w.sendButton()->isEnabled(), consoleEnabled);
    QCOMPARE(w.historyButton()->isEnabled(), consoleEnabled);
    // Choosing a port and an image stays possible in every state while no update runs.
    QVERIFY(w.portSelector()->isEnabled());
    QVERIFY(w.browseButton()->isEnabled());
    QVERIFY(w.pathField()->isEnabled());
    QCOMPARE(w.startButton()->text(), QStringLiteral("开始"));
}

void WindowStateTest::unknownStateChangesNoStateText()
{
    auto dialog = makeDialog();
    dialog->show();
    DialogTestAccess w(*dialog);
    w.setState(Dialog::Connected);
    w.setState(Dialog::SerialPortState(7));
    QCOMPARE(w.statusLabel()->text(), QStringLiteral("已连接"));
    QCOMPARE(w.connectButton()->text(), QStringLiteral("断开"));
    QCOMPARE(w.ledColour(), kGreen);
    // Only Disconnected and Connected allow the connect button.
    QVERIFY(!w.connectButton()->isEnabled());
}

void WindowStateTest::startButtonNeedsConnectionAndPath_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("connected with a path: enabled")
        << int(Dialog::Connected) << QStringLiteral("/tmp/app.bin") << true;
    QTest::newRow("connected with a path in blanks: enabled")
        << int(Dialog::Connected) << QStringLiteral("  /tmp/app.bin ") << true;
    QTest::newRow("connected with an empty path: disabled")
        << int(Dialog::Connected) << QString() << false;
    QTest::newRow("connected with only blanks: disabled")
        << int(Dialog::Connected) << QStringLiteral(" \t ") << false;
    QTest::newRow("disconnected with a path: disabled")
        << int(Dialog::Disconnected) << QStringLiteral("/tmp/app.bin") << false;
    QTest::newRow("connecting with a path: disabled")
        << int(Dialog::Connecting) << QStringLiteral("/tmp/app.bin") << false;
    QTest::newRow("disconnecting with a path: disabled")
        << int(Dialog::Disconnecting) << QStringLiteral("/tmp/app.bin") << false;
}

void WindowStateTest::startButtonNeedsConnectionAndPath()
{
    QFETCH(int, state);
    QFETCH(QString, path);
    QFETCH(bool, enabled);

    auto dialog = makeDialog();
    DialogTestAccess w(*dialog);
    w.setState(Dialog::SerialPortState(state));
    // Typing alone does not refresh the controls; the next refresh does.
    w.pathField()->setText(path);
    QVERIFY(!w.startButton()->isEnabled());
    dialog->resize(dialog->width() + 10, dialog->height());
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    QCOMPARE(w.startButton()->isEnabled(), enabled);
}

void WindowStateTest::updateLocksControlsAndLeavesStateTexts()
{
    auto dialog = makeDialog();
    dialog->show();
    DialogTestAccess w(*dialog);
    w.pathField()->setText(QStringLiteral("/tmp/app.bin"));
    w.setState(Dialog::Connected);
    w.reportBaudRate(115200);
    QVERIFY(w.startButton()->isEnabled());

    // The update flow stops the scan and writes its own progress text.
    w.portScanTimer()->stop();
    const QString progressText = QStringLiteral("已发送 4096 / 8192 字节");
    w.updateStatus(progressText);
    w.setUpdating(true);

    for (QWidget *control :
         QList<QWidget *>{w.connectButton(), w.portSelector(), w.browseButton(), w.pathField(),
                          w.startButton(), w.commandField(), w.sendButton(), w.historyButton()})
        QVERIFY2(!control->isEnabled(), control->metaObject()->className());
    QCOMPARE(w.startButton()->text(), QStringLiteral("正在更新…"));

    // Neither a state change nor a resize touches the state texts while the update runs.
    w.setState(Dialog::Disconnected);
    dialog->resize(dialog->width() + 20, dialog->height() + 20);
    QTest::qWait(0);
    QCOMPARE(w.statusLabel()->text(), progressText);
    QCOMPARE(w.ledColour(), kGreen);
    QCOMPARE(w.connectButton()->text(), QStringLiteral("断开"));
    QCOMPARE(w.connectButton()->toolTip(), QStringLiteral("断开"));
    QVERIFY(w.baudLabel()->isVisible());
    QVERIFY(!w.portScanTimer()->isActive());
    QVERIFY(!w.connectButton()->isEnabled());

    // Once the update is over, the state row and the port scan come back.
    w.setState(Dialog::Connected);
    w.setUpdating(false);
    QCOMPARE(w.statusLabel()->text(), QStringLiteral("已连接"));
    QCOMPARE(w.startButton()->text(), QStringLiteral("开始"));
    QVERIFY(w.startButton()->isEnabled());
    QVERIFY(w.portScanTimer()->isActive());
}

void WindowStateTest::connectWithoutPortLogsErrorAndSendsNothing()
{
    g_ports.clear();
    auto dialog = makeDialog();
    dialog->show();
    DialogTestAccess w(*dialog);
    QCOMPARE(w.portSelector()->count(), 0);
    QVERIFY(w.connectButton()->isEnabled());
    QSignalSpy connectSpy(dialog.get(), &Dialog::requestConnect);
    QVERIFY(connectSpy.isValid());

    QTest::mouseClick(w.connectButton(), Qt::LeftButton);

    QCOMPARE(connectSpy.count(), 0);
    QCOMPARE(w.state(), Dialog::Disconnected);
    QCOMPARE(w.statusLabel()->text(), QStringLiteral("等待连接…"));
    QCOMPARE(w.ledColour(), kRed);
    QVERIFY2(w.logText().contains(QStringLiteral("未选择串口。")), qPrintable(w.logText()));
    const QTextCharFormat format = w.logFormatOf(QStringLiteral("未选择串口。"));
    QCOMPARE(format.foreground().color(), kErrorColour);
    QCOMPARE(format.fontWeight(), int(QFont::Bold));
}

void WindowStateTest::connectionFailureReturnsToDisconnected()
{
    g_ports = {{QStringLiteral("/dev/fw-test-no-such-port"), QString()}};
    auto dialog = makeDialog();
    dialog->show();
    DialogTestAccess w(*dialog);
    QCOMPARE(w.portSelector()->itemText(0), QStringLiteral("/dev/fw-test-no-such-port"));

    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    QCOMPARE(w.state(), Dialog::Connecting);
    QCOMPARE(w.ledColour(), kAmber);

    QTRY_COMPARE_WITH_TIMEOUT(w.state(), Dialog::Disconnected, kWorkerReplyTimeoutMs);
    QCOMPARE(w.ledColour(), kRed);
    QCOMPARE(w.statusLabel()->text(), QStringLiteral("等待连接…"));
    QVERIFY(w.connectButton()->isEnabled());
    const QString expected = QStringLiteral("无法打开串口 /dev/fw-test-no-such-port：");
    QVERIFY2(w.logText().contains(expected), qPrintable(w.logText()));
    QCOMPARE(w.logFormatOf(expected).foreground().color(), kErrorColour);
}

void WindowStateTest::ledPixmapFollowsDevicePixelRatio_data()
{
    QTest::addColumn<int>("smallIconSize");
    QTest::addColumn<double>("ratio");
    QTest::addColumn<int>("side");
    QTest::addColumn<int>("deviceSide");

    QTest::newRow("common 16 px icons at ratio 1 give a 12 px LED") << 16 << 1.0 << 12 << 12;
    QTest::newRow("small icon sizes below 16 still give 12 px") << 10 << 1.0 << 12 << 12;
    QTest::newRow("20 px icons give a 16 px LED") << 20 << 1.0 << 16 << 16;
    QTest::newRow("ratio 1.25 rounds 15 device pixels") << 16 << 1.25 << 12 << 15;
    QTest::newRow("ratio 1.125 rounds 13.5 away from zero") << 16 << 1.125 << 12 << 14;
    QTest::newRow("ratio 2 doubles") << 16 << 2.0 << 12 << 24;
}

void WindowStateTest::ledPixmapFollowsDevicePixelRatio()
{
    QFETCH(int, smallIconSize);
    QFETCH(double, ratio);
    QFETCH(int, side);
    QFETCH(int, deviceSide);
    QCOMPARE(ledSide(smallIconSize), side);
    QCOMPARE(ledPixmapSide(side, ratio), deviceSide);
}

void WindowStateTest::resizeKeepsOverlayAndToastPlaced()
{
    auto dialog = makeDialog();
    dialog->resize(640, 560);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    DialogTestAccess w(*dialog);

    const int led = ledSide(dialog->style()->pixelMetric(QStyle::PM_SmallIconSize));
    QCOMPARE(w.connectButton()->iconSize(), QSize(led, led));

    w.dropOverlay()->setGeometry(0, 0, 10, 10);
    w.dropOverlay()->show();
    w.logToast()->setFixedSize(121, 22);
    w.logToast()->show();

    dialog->resize(700, 600);
    QTRY_COMPARE(w.dropOverlay()->geometry(), QRect(0, 0, 700, 600));
    const QSize panel = w.logPanel()->size();
    QCOMPARE(w.logToast()->pos(), QPoint((panel.width() - 121) / 2, panel.height() - 54));

    // The rule itself: centred with truncation, 54 px above the panel's bottom edge.
    QCOMPARE(toastPosition(QSize(301, 200), QSize(100, 22)), QPoint(100, 146));
    QCOMPARE(toastPosition(QSize(80, 40), QSize(100, 22)), QPoint(-10, -14));
}

void WindowStateTest::connectAndDisconnectAgainstFakeDevice()
{
    FakeDevice device;
    QVERIFY(device.isValid());
    g_ports = {{device.portName(), QString()}};
    auto dialog = makeDialog();
    dialog->show();
    DialogTestAccess w(*dialog);
    QSignalSpy connectSpy(dialog.get(), &Dialog::requestConnect);
    QSignalSpy disconnectSpy(dialog.get(), &Dialog::requestDisconnect);
    QVERIFY(connectSpy.isValid());
    QVERIFY(disconnectSpy.isValid());

    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    QCOMPARE(connectSpy.count(), 1);
    QCOMPARE(connectSpy.at(0).at(0).toString(), device.portName());
    QCOMPARE(w.state(), Dialog::Connecting);
    QCOMPARE(w.statusLabel()->text(), QStringLiteral("正在连接…"));

    QTRY_COMPARE_WITH_TIMEOUT(w.state(), Dialog::Connected, kWorkerReplyTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(w.baudLabel()->isVisible(), kWorkerReplyTimeoutMs);
    QCOMPARE(w.baudLabel()->text(), QStringLiteral("波特率：115200"));
    QCOMPARE(w.ledColour(), kGreen);
    QCOMPARE(w.connectButton()->text(), QStringLiteral("断开"));
    QVERIFY(w.commandField()->isEnabled());
    QVERIFY2(w.logText().contains(QStringLiteral("已连接：%1").arg(device.portName())),
             qPrintable(w.logText()));

    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    QCOMPARE(disconnectSpy.count(), 1);
    QCOMPARE(w.state(), Dialog::Disconnecting);
    QCOMPARE(w.ledColour(), kAmber);
    QVERIFY(!w.connectButton()->isEnabled());

    QTRY_COMPARE_WITH_TIMEOUT(w.state(), Dialog::Disconnected, kWorkerReplyTimeoutMs);
    QVERIFY(!w.baudLabel()->isVisible());
    QCOMPARE(w.connectButton()->text(), QStringLiteral("连接"));
    QVERIFY2(w.logText().contains(QStringLiteral("已断开连接")), qPrintable(w.logText()));
}

void WindowStateTest::portLostWithoutRequestReturnsToDisconnected()
{
    FakeDevice device;
    QVERIFY(device.isValid());
    g_ports = {{device.portName(), QStringLiteral("pty")}};
    auto dialog = makeDialog();
    dialog->show();
    DialogTestAccess w(*dialog);
    QSignalSpy disconnectSpy(dialog.get(), &Dialog::requestDisconnect);
    QVERIFY(disconnectSpy.isValid());

    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(w.state(), Dialog::Connected, kWorkerReplyTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(w.baudLabel()->isVisible(), kWorkerReplyTimeoutMs);

    device.closeMaster();

    QTRY_COMPARE_WITH_TIMEOUT(w.state(), Dialog::Disconnected, kWorkerReplyTimeoutMs);
    QCOMPARE(disconnectSpy.count(), 0);
    QCOMPARE(w.ledColour(), kRed);
    QCOMPARE(w.statusLabel()->text(), QStringLiteral("等待连接…"));
    QVERIFY(!w.baudLabel()->isVisible());
    QVERIFY(w.connectButton()->isEnabled());
    QVERIFY2(w.logText().contains(QStringLiteral("已断开连接")), qPrintable(w.logText()));
    QTRY_VERIFY_WITH_TIMEOUT(w.logText().contains(QStringLiteral("串口错误：")),
                             kWorkerReplyTimeoutMs);
}

QTEST_MAIN(WindowStateTest)
#include "tst_window_state.moc"
