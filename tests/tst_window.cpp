// The window: each connection state's row, the update lock-out, connecting for real against a
// fake device, keys and closing, the worker thread; then its custom-painted widgets and the
// confirmation dialog.

#include "app/layoutmath.h"
#include "ui/translations.h"
#include "fakedevice.h"
#include "ui/theme.h"
#include "window_access.h"

#include <QPointer>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

constexpr int kWaitMs = 10000; // the worker answers a console command within about 2 s
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
Q_DECLARE_METATYPE(ProgressTextLook)

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

    void connectionStateRows_data()
    {
        QTest::addColumn<Dialog::SerialPortState>("before");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QColor>("led");
        // U: an update runs; enabled: c connect, s the console, b start, p the port and image
        // choice; C: the connect button reads 断开; B: the baud label shows.
        QTest::addColumn<QString>("flags");
        const QString path = u"/tmp/a.bin"_s;
        QTest::newRow("back to Disconnected: red, 连接, no baud label, no start")
            << Dialog::Connected << 0 << path << u"等待连接…"_s << kRed << u"cp"_s;
        QTest::newRow("Connecting: 连接 in amber, the connect button disabled")
            << Dialog::Disconnected << 1 << path << u"正在连接…"_s << kAmber << u"p"_s;
        QTest::newRow("Connected: 断开 in green, the baud label, start with a padded path")
            << Dialog::Connected << 2 << u"  /tmp/a.bin "_s << u"已连接"_s << kGreen << u"csbpCB"_s;
        QTest::newRow("Connected with a path of blanks: no start")
            << Dialog::Connected << 2 << u" \t "_s << u"已连接"_s << kGreen << u"cspCB"_s;
        QTest::newRow("Disconnecting: 断开 in amber, connect disabled, the baud label kept")
            << Dialog::Connected << 3 << path << u"正在断开…"_s << kAmber << u"pCB"_s;
        QTest::newRow("an unknown state changes no text, only disables")
            << Dialog::Connected << 7 << path << u"已连接"_s << kGreen << u"pCB"_s;
        QTest::newRow("an update locks all but 取消更新, the console included")
            << Dialog::Connected << 2 << path << u"已连接"_s << kGreen << u"UbCB"_s;
        QTest::newRow("a state change during an update keeps the row's texts")
            << Dialog::Connected << 0 << path << u"已连接"_s << kGreen << u"UbCB"_s;
    }
    void connectionStateRows()
    {
        QFETCH(Dialog::SerialPortState, before);
        QFETCH(int, state);
        QFETCH(QString, path);
        QFETCH(QString, status);
        QFETCH(QColor, led);
        QFETCH(QString, flags);
        m_dialog->show();
        w->pathField()->setText(path);
        w->setState(before);
        w->reportBaudRate(115200);
        w->setUpdating(flags.contains('U'));
        w->setState(Dialog::SerialPortState(state));
        QCOMPARE(w->statusLabel()->text(), status);
        QCOMPARE(w->ledColour(), led);
        QCOMPARE(w->connectButton()->text(), flags.contains('C') ? u"断开"_s : u"连接"_s);
        QCOMPARE(w->startButton()->text(), flags.contains('U') ? u"取消更新"_s : u"开始"_s);
        QCOMPARE(w->baudLabel()->isVisible(), flags.contains('B'));
        QCOMPARE(w->connectButton()->isEnabled(), flags.contains('c'));
        QCOMPARE(w->startButton()->isEnabled(), flags.contains('b'));
        for (QWidget *console :
             QList<QWidget *>{w->commandField(), w->sendButton(), w->historyButton()})
            QCOMPARE(console->isEnabled(), flags.contains('s'));
        for (QWidget *choice :
             QList<QWidget *>{w->portSelector(), w->browseButton(), w->pathField()})
            QCOMPARE(choice->isEnabled(), flags.contains('p'));
    }
    void resizeDuringAnUpdateKeepsItsTextAndPlacesOverlays()
    {
        m_dialog->resize(640, 560);
        m_dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
        w->setState(Dialog::Connected);
        // The update flow stops the scan and writes its own progress text.
        w->portScanTimer()->stop();
        w->updateStatus(u"已发送 4096 / 8192 字节"_s);
        w->setUpdating(true);
        w->dropOverlay()->show();
        w->toast()->setFixedSize(121, 22);
        w->toast()->show();
        m_dialog->resize(700, 600);
        QTRY_COMPARE(w->dropOverlay()->geometry(), QRect(0, 0, 700, 600));
        QCOMPARE(w->toast()->pos(), toastPosition(w->logPanel()->size(), QSize(121, 22)));
        QCOMPARE(toastPosition(QSize(301, 200), QSize(100, 22)), QPoint(100, 146)); // 54 px up
        QCOMPARE(w->statusLabel()->text(), u"已发送 4096 / 8192 字节"_s);
        QVERIFY(!w->portScanTimer()->isActive());
        // Once the update is over, the state row and the port scan come back.
        w->setUpdating(false);
        QCOMPARE(w->statusLabel()->text(), u"已连接"_s);
        QVERIFY(w->portScanTimer()->isActive());
        const std::unique_ptr<QMenu> menu(w->pathField()->createStandardContextMenu());
        const QList<QAction *> entries = menu->actions(); // Qt's own texts are Chinese
        QVERIFY(std::any_of(entries.cbegin(), entries.cend(),
                            [](QAction *a) { return a->text().startsWith(u"复制"_s); }));
    }
    void connectPressEndsDisconnected_data()
    {
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<QString>("logged");
        QTest::newRow("with no port the press logs 未选择串口。 as an error and sends nothing")
            << Ending::NoPort << u"未选择串口。"_s;
        QTest::newRow("a port that cannot be opened is reported and the press undone")
            << Ending::CannotOpen << u"无法打开串口 /dev/fw-test-no-such-port："_s;
        QTest::newRow("connected, the user sends a command and then presses 断开, logged as info")
            << Ending::UserDisconnects << u"已断开连接"_s;
        QTest::newRow("connected to the device, the port goes away without a request")
            << Ending::PortLost << u"串口错误："_s;
    }
    void connectPressEndsDisconnected()
    {
        QFETCH(Ending, ending);
        QFETCH(QString, logged);
        FakeDevice device;
        QVERIFY(device.isValid());
        device.setResponder([](FakeDevice &self, const QByteArray &) {
            if (self.received().endsWith("*IDN?\r\n"))
                self.send("ORVANE,TAMSEL,V1.2\r\n");
        });
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
            if (ending == Ending::PortLost) {
                device.closeMaster();
            } else { // a console command travels through the worker to the device and back first
                QTest::keyClicks(w->commandField(), u"*IDN?"_s);
                QTest::keyClick(w->commandField(), Qt::Key_Return);
                QTRY_VERIFY_WITH_TIMEOUT(!w->inFlight(), kWaitMs);
                QVERIFY2(w->logText().contains(u">> *IDN?"_s) &&
                             w->logText().contains(u"ORVANE,TAMSEL,V1.2"_s),
                         qPrintable(w->logText()));
                QTest::mouseClick(w->connectButton(), Qt::LeftButton);
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(w->state(), Dialog::Disconnected, kWaitMs);
        QCOMPARE(disconnectSpy.count(), ending == Ending::UserDisconnects ? 1 : 0);
        QCOMPARE(w->ledColour(), kRed);
        QVERIFY(!w->baudLabel()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(w->logText().contains(logged), kWaitMs);
        QVERIFY2(!connects || w->logText().contains(u"已断开连接"_s), qPrintable(w->logText()));
        // Logged as an error (bold) unless the user asked for it.
        QCOMPARE(w->logFormatOf(logged).fontWeight() == QFont::Bold,
                 ending != Ending::UserDisconnects);
    }
    void keysAndClosingAskNothingAndStopTheWorker()
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
        for (QWidget *target : QList<QWidget *>{m_dialog.get(), w->pathField(), w->portSelector(),
                                                w->connectButton(), w->sendButton()}) {
            for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
                target->setFocus();
                QTest::keyClick(target, key);
                QVERIFY(!w->connectButton()->isDefault() && !w->sendButton()->isDefault());
            }
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
        // Destroyed without a close, the window stops the thread too: every test's cleanup does
        // that, and a thread still running there would abort the program.
    }
    void progressBar_data()
    {
        QTest::addColumn<int>("minimum");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("filledOf201");
        // Of a text 22 px wide in the middle of that bar: dark, white, or dark on a white halo
        // where the chunk's edge runs through it.
        QTest::addColumn<ProgressTextLook>("look");
        using L = ProgressTextLook;
        QTest::newRow("half way: 50%, 99.5 px round to 100; the edge runs through the text")
            << 0 << 100 << 50 << u"50%"_s << 100 << L::Haloed;
        QTest::newRow("0.5 % rounds up to 1%") << 0 << 1000 << 5 << u"1%"_s << 1 << L::Dark;
        QTest::newRow("0.4 % shows 0% yet fills a pixel") << 0 << 1000 << 4 << u"0%"_s << 1
                                                          << L::Dark;
        QTest::newRow("a range counts from its minimum")
            << 100 << 300 << 150 << u"25%"_s << 50 << L::Dark;
        QTest::newRow("a huge range does not overflow")
            << -2147483647 << 2147483647 << 0 << u"50%"_s << 100 << L::Haloed;
        QTest::newRow("an edge 2 px short of the text leaves it dark")
            << 0 << 199 << 87 << u"44%"_s << 87 << L::Dark;
        QTest::newRow("an edge 2 px past the text makes it white")
            << 0 << 199 << 113 << u"57%"_s << 113 << L::White;
        QTest::newRow("a value below the minimum shows 0%") << 10 << 20 << 3 << u"0%"_s << 0
                                                            << L::Dark;
        QTest::newRow("a value above the maximum shows 100% and fills the inner 199 px")
            << 0 << 10 << 99 << u"100%"_s << 199 << L::White;
        QTest::newRow("an empty range shows 0%") << 7 << 7 << 7 << u"0%"_s << 0 << L::Dark;
    }
    void progressBar()
    {
        QFETCH(int, minimum);
        QFETCH(int, maximum);
        QFETCH(int, value);
        QFETCH(QString, text);
        QFETCH(int, filledOf201);
        QFETCH(ProgressTextLook, look);
        const double fraction = progressFraction(minimum, maximum, value);
        QCOMPARE(progressPercentText(fraction), text);
        QCOMPARE(progressFilledWidth(201, fraction), filledOf201);
        QCOMPARE(progressTextLook(1 + filledOf201, 90, 112), look);
    }
    void disabledSelectorArrowIsLighter()
    {
        // Rendered at four times the resolution so that the 1.4 px chevron has fully covered
        // pixels.
        constexpr int kScale = 4;
        for (const bool enabled : {true, false}) {
            FlatComboBox combo;
            combo.setStyleSheet(Theme::windowStyleSheet());
            combo.resize(200, 30);
            combo.setEnabled(enabled);
            QImage image(combo.size() * kScale, QImage::Format_ARGB32_Premultiplied);
            image.setDevicePixelRatio(kScale);
            image.fill(Qt::white);
            combo.render(&image);
            // The chevron spans x = W - 16.5 .. W - 9.5 around y = H / 2.
            QColor darkest = Qt::white;
            for (int y = (15 - 3) * kScale; y < (15 + 3) * kScale; ++y) {
                for (int x = (200 - 18) * kScale; x < (200 - 8) * kScale; ++x) {
                    if (image.pixelColor(x, y).lightness() < darkest.lightness())
                        darkest = image.pixelColor(x, y);
                }
            }
            const QColor expected(enabled ? Theme::kTextSub : Theme::kDisabledText);
            QVERIFY2(qAbs(darkest.red() - expected.red()) <= 6 &&
                         qAbs(darkest.green() - expected.green()) <= 6 &&
                         qAbs(darkest.blue() - expected.blue()) <= 6,
                     qPrintable(darkest.name()));
        }
    }
    void confirmation_data()
    {
        QTest::addColumn<int>("parentWidth");
        QTest::addColumn<int>("width");
        // The parent sits off the screen's top left (-1) or bottom right (1).
        QTest::addColumn<int>("corner");
        QTest::addColumn<int>("key"); // 0: click the confirm button
        QTest::newRow("over a 320 px window it is 300 px wide and centred; Return cancels")
            << 320 << 300 << 0 << int(Qt::Key_Return);
        QTest::newRow("over a 360 px window it is 24 px narrower; Escape cancels")
            << 360 << 336 << 0 << int(Qt::Key_Escape);
        QTest::newRow("over a 500 px window it is 400 px wide; the red button accepts")
            << 500 << 400 << 0 << 0;
        QTest::newRow("near the bottom right screen corner it stays on the screen")
            << 500 << 400 << 1 << int(Qt::Key_Escape);
        QTest::newRow("above and left of the screen it moves onto the screen")
            << 500 << 400 << -1 << int(Qt::Key_Escape);
    }
    void confirmation()
    {
        QFETCH(int, parentWidth);
        QFETCH(int, width);
        QFETCH(int, corner);
        QFETCH(int, key);
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        QWidget parent;
        parent.resize(parentWidth, 300);
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        if (corner) {
            const QPoint at = corner > 0 ? available.bottomRight() - QPoint(200, 100)
                                         : available.topLeft() - QPoint(300, 200);
            parent.move(at);
            QTRY_COMPARE(parent.pos(), at);
        }

        QRect seen;
        bool overlayCovers = false, cancelIsDefault = false;
        QPointer<QWidget> overlay;
        QTimer::singleShot(0, &parent, [&] {
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            seen = dialog->frameGeometry();
            // ModalOverlay has no meta-object of its own, so look it up by its C++ type.
            for (QObject *object : parent.children()) {
                if (auto *child = dynamic_cast<ModalOverlay *>(object)) {
                    overlay = child;
                    overlayCovers = child->isVisible() && child->geometry() == parent.rect();
                }
            }
            auto *cancel = dialog->findChild<QPushButton *>(u"confirmCancel"_s);
            auto *ok = dialog->findChild<QPushButton *>(u"confirmOk"_s);
            QVERIFY(cancel && ok && dialog->findChild<QLabel *>(u"confirmDanger"_s));
            // The cancel button holds the dialog's focus, whether or not the window is active yet.
            cancelIsDefault = cancel->isDefault() && !ok->isDefault() && !ok->autoDefault() &&
                              dialog->focusWidget() == cancel;
            if (key)
                QTest::keyClick(dialog, Qt::Key(key));
            else
                QTest::mouseClick(ok, Qt::LeftButton);
        });
        QTimer::singleShot(3000, &parent, [] { // fails the test instead of hanging it
            if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
                dialog->accept();
        });
        const bool result =
            runConfirmDialog(&parent, u"确认固件更新"_s, {"第一行", "第二行"},
                             u"更新过程中请勿断开设备或关闭电源。"_s, u"取消"_s, u"继续"_s);
        QCOMPARE(result, key == 0);
        QCOMPARE(seen.width(), width);
        QVERIFY(available.contains(seen));
        if (corner == 0)
            QVERIFY((seen.center() - parent.geometry().center()).manhattanLength() <= 2);
        else
            QCOMPARE(corner > 0 ? seen.bottomRight() : seen.topLeft(),
                     corner > 0 ? available.bottomRight() : available.topLeft());
        QVERIFY(overlayCovers && cancelIsDefault);
        QTRY_VERIFY(overlay.isNull()); // gone with the next round of deferred deletes
    }

private:
    std::unique_ptr<Dialog> m_dialog;
    std::unique_ptr<DialogTestAccess> w;
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
