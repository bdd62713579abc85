// The window frame: Escape, closing and destruction with the worker thread, default buttons and
// the tab order.

#include "app/translations.h"
#include "window_access.h"

#include <QApplication>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Rejects any modal window that opens while it exists, and remembers its class.
class ModalWatchdog : public QObject
{
public:
    ModalWatchdog()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                m_seen << QString::fromLatin1(modal->metaObject()->className());
                modal->close();
            }
        });
        m_timer.start(kPollMs);
    }
    QStringList m_seen;

private:
    static constexpr int kPollMs = 20;
    QTimer m_timer;
};

} // namespace

class WindowFrameTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { useTestEnvironment(); }
    void escapeLeavesWindowOpen();
    void workerLivesOnItsOwnThreadUntilTheWindowGoes();
    void returnInAnyFieldPressesNoButton();
    void closingWhileIdleStopsThreadWithoutDialogOnce();
    void qtsOwnMenusSpeakChinese();
    void tabOrder();
};

void WindowFrameTest::escapeLeavesWindowOpen()
{
    Dialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    DialogTestAccess w(dialog);
    QSignalSpy finished(&dialog, &QDialog::finished);
    QVERIFY(finished.isValid());

    // Escape in a field bubbles up to the window as well.
    for (QWidget *target : QList<QWidget *>{&dialog, w.pathField(), w.portSelector()}) {
        target->setFocus();
        QTest::keyClick(target, Qt::Key_Escape);
    }
    QCoreApplication::processEvents();
    QVERIFY(dialog.isVisible());
    QCOMPARE(finished.count(), 0);
}

void WindowFrameTest::workerLivesOnItsOwnThreadUntilTheWindowGoes()
{
    auto dialog = std::make_unique<Dialog>();
    DialogTestAccess w(*dialog);
    QVERIFY(w.workerThread()->isRunning());
    QCOMPARE(w.worker()->thread(), w.workerThread());
    QCOMPARE(w.worker()->parent(), nullptr);

    // Destroyed without a close, the window still stops the thread and frees the worker.
    QPointer<QObject> worker = w.worker();
    QSignalSpy finishedSpy(w.workerThread(), &QThread::finished);
    QVERIFY(finishedSpy.isValid());
    dialog.reset();
    QCOMPARE(finishedSpy.count(), 1);
    QTRY_VERIFY(worker.isNull());
}

void WindowFrameTest::returnInAnyFieldPressesNoButton()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    w.setState(Dialog::Connected); // the command field and the send button are live
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy connectSpy(&dialog, &Dialog::requestConnect);
    QSignalSpy disconnectSpy(&dialog, &Dialog::requestDisconnect);
    QSignalSpy sendSpy(&dialog, &Dialog::requestSendCustomCommand);
    QVERIFY(connectSpy.isValid() && disconnectSpy.isValid() && sendSpy.isValid());

    // Whatever a key opens (browse would open the file dialog) is closed and remembered.
    ModalWatchdog watchdog;
    for (QWidget *field :
         QList<QWidget *>{w.portSelector(), w.pathField(), w.connectButton(), w.sendButton()}) {
        field->setFocus();
        QTest::keyClick(field, Qt::Key_Return);
        QVERIFY(!w.connectButton()->isDefault() && !w.sendButton()->isDefault());
    }
    QVERIFY2(watchdog.m_seen.isEmpty(), qPrintable(watchdog.m_seen.join(u',')));
    QCOMPARE(connectSpy.count() + disconnectSpy.count() + sendSpy.count(), 0);
}

void WindowFrameTest::closingWhileIdleStopsThreadWithoutDialogOnce()
{
    auto dialog = std::make_unique<Dialog>();
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    DialogTestAccess w(*dialog);
    QPointer<QObject> worker = w.worker();
    {
        ModalWatchdog watchdog;
        QVERIFY(dialog->close());
        QVERIFY(watchdog.m_seen.isEmpty());
    }
    QVERIFY(w.workerThread()->isFinished());
    QTRY_VERIFY(worker.isNull()); // the finished thread hands the worker to deleteLater

    // A second shutdown would queue an abort for the running update; the destructor must not.
    w.setUpdating(true);
    QSignalSpy abortSpy(dialog.get(), &Dialog::requestAbort);
    QVERIFY(abortSpy.isValid());
    dialog.reset();
    QCOMPARE(abortSpy.count(), 0);
}

void WindowFrameTest::qtsOwnMenusSpeakChinese()
{
    QVERIFY(installQtChineseTranslations(*QCoreApplication::instance()));
    QLineEdit field(QStringLiteral("text"));
    const std::unique_ptr<QMenu> menu(field.createStandardContextMenu());
    QStringList entries;
    for (const QAction *action : menu->actions())
        entries << action->text();
    QVERIFY2(entries.join(u' ').contains(QStringLiteral("复制")), qPrintable(entries.join(u'|')));
}

void WindowFrameTest::tabOrder()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    w.pathField()->setText(u"/tmp/app.bin"_s);
    w.setState(Dialog::Connected);
    const QList<QWidget *> order = {w.portSelector(),  w.connectButton(), w.pathField(),
                                    w.browseButton(),  w.startButton(),   w.commandField(),
                                    w.historyButton(), w.sendButton()};
    for (int i = 0; i + 1 < order.size(); ++i) {
        QWidget *next = order[i]->nextInFocusChain();
        // Skip what the keyboard never focuses, and the field inside the port selector.
        while (!(next->focusPolicy() & Qt::TabFocus) || order[i]->isAncestorOf(next))
            next = next->nextInFocusChain();
        QVERIFY2(next == order[i + 1], qPrintable(QString::number(i)));
    }
}

QTEST_MAIN(WindowFrameTest)
#include "tst_window_frame.moc"
