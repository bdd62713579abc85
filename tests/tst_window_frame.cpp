// The window frame: Escape, closing and destruction with the worker thread, default buttons.

#include "testsettings.h"
#include "window_access.h"

#include <QApplication>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

// Rejects any modal window that opens while it runs, and remembers its class.
class ModalWatchdog : public QObject
{
public:
    ModalWatchdog()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                m_seen << QString::fromLatin1(modal->metaObject()->className());
                if (auto *dialog = qobject_cast<QDialog *>(modal))
                    dialog->reject();
                else
                    modal->close();
            }
        });
        m_timer.start(kPollMs);
    }
    QStringList seen() const { return m_seen; }

private:
    static constexpr int kPollMs = 20;
    QTimer m_timer;
    QStringList m_seen;
};

} // namespace

class WindowFrameTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void escapeLeavesWindowOpen();
    void workerLivesOnItsOwnThread();
    void connectAndSendNeverBecomeDefault();
    void closingWhileIdleStopsThreadWithoutDialog();
    void destroyingAfterCloseDoesNotWaitAgain();
    void destroyingWithoutCloseStopsThread();
};

void WindowFrameTest::initTestCase()
{
    usePrivateSettingsFolder();
    Dialog::setPortEnumerator([] { return QList<PortListing>{{QStringLiteral("ttyFW0"), {}}}; });
}

void WindowFrameTest::escapeLeavesWindowOpen()
{
    Dialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    DialogTestAccess w(dialog);
    QSignalSpy rejected(&dialog, &QDialog::rejected);
    QSignalSpy finished(&dialog, &QDialog::finished);
    QVERIFY(rejected.isValid());
    QVERIFY(finished.isValid());

    QTest::keyClick(&dialog, Qt::Key_Escape);
    // Escape in a field bubbles up to the window as well.
    w.pathField()->setFocus();
    QTest::keyClick(w.pathField(), Qt::Key_Escape);
    QTest::keyClick(w.portSelector(), Qt::Key_Escape);
    QCoreApplication::processEvents();

    QVERIFY(dialog.isVisible());
    QCOMPARE(rejected.count(), 0);
    QCOMPARE(finished.count(), 0);
    QVERIFY(w.workerThread()->isRunning());
}

void WindowFrameTest::workerLivesOnItsOwnThread()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    QVERIFY(w.worker());
    QVERIFY(w.workerThread()->isRunning());
    QCOMPARE(w.worker()->thread(), w.workerThread());
    QVERIFY(w.worker()->thread() != QThread::currentThread());
    QCOMPARE(w.worker()->parent(), nullptr);
    QCOMPARE(w.workerThread()->parent(), &dialog);
}

void WindowFrameTest::connectAndSendNeverBecomeDefault()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    // Connected, so that the command field and the send button are live.
    w.setState(Dialog::Connected);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy connectSpy(&dialog, &Dialog::requestConnect);
    QSignalSpy disconnectSpy(&dialog, &Dialog::requestDisconnect);
    QSignalSpy sendSpy(&dialog, &Dialog::requestSendCustomCommand);
    QVERIFY(connectSpy.isValid());
    QVERIFY(disconnectSpy.isValid());
    QVERIFY(sendSpy.isValid());

    QVERIFY(!w.connectButton()->autoDefault());
    QVERIFY(!w.sendButton()->autoDefault());

    {
        // Return in any field must not press connect or send; whatever else it opens is closed.
        ModalWatchdog watchdog;
        for (QWidget *field :
             QList<QWidget *>{w.portSelector(), w.pathField(), w.connectButton(), w.sendButton()}) {
            field->setFocus();
            QTest::keyClick(field, Qt::Key_Return);
            QVERIFY(!w.connectButton()->isDefault());
            QVERIFY(!w.sendButton()->isDefault());
        }
        // Nor may it press any other button (browse would open the file dialog).
        QVERIFY2(watchdog.seen().isEmpty(), qPrintable(watchdog.seen().join(u',')));
    }
    QCOMPARE(connectSpy.count(), 0);
    QCOMPARE(disconnectSpy.count(), 0);
    QCOMPARE(sendSpy.count(), 0);
    QCOMPARE(w.state(), Dialog::Connected);
    QVERIFY(dialog.isVisible());
}

void WindowFrameTest::closingWhileIdleStopsThreadWithoutDialog()
{
    Dialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    DialogTestAccess w(dialog);
    QPointer<QObject> worker = w.worker();
    QVERIFY(worker);

    ModalWatchdog watchdog;
    QVERIFY(dialog.close());
    QVERIFY(watchdog.seen().isEmpty());
    QVERIFY(!dialog.isVisible());
    QVERIFY(w.workerThread()->isFinished());
    QCOMPARE(w.worker(), nullptr);
    // The finished thread hands the worker to deleteLater.
    QTRY_VERIFY(worker.isNull());
}

void WindowFrameTest::destroyingAfterCloseDoesNotWaitAgain()
{
    auto dialog = std::make_unique<Dialog>();
    dialog->show();
    DialogTestAccess w(*dialog);
    QVERIFY(dialog->close());
    QCOMPARE(w.worker(), nullptr);

    // A second shutdown would queue an abort for a running update; the first one already ran,
    // so the destructor must return from it at once.
    w.setUpdating(true);
    QSignalSpy abortSpy(dialog.get(), &Dialog::requestAbort);
    QVERIFY(abortSpy.isValid());
    dialog.reset();
    QCOMPARE(abortSpy.count(), 0);
}

void WindowFrameTest::destroyingWithoutCloseStopsThread()
{
    auto dialog = std::make_unique<Dialog>();
    DialogTestAccess w(*dialog);
    QPointer<QThread> thread = w.workerThread();
    QPointer<QObject> worker = w.worker();
    QSignalSpy finishedSpy(thread.data(), &QThread::finished);
    QVERIFY(finishedSpy.isValid());
    dialog.reset();
    QCOMPARE(finishedSpy.count(), 1);
    QVERIFY(thread.isNull());
    QTRY_VERIFY(worker.isNull());
}

QTEST_MAIN(WindowFrameTest)
#include "tst_window_frame.moc"
