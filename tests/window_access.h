#pragma once

// Test access to the main window's private parts and small helpers, shared by the window, log
// panel and console tests.

#include "app/dialog.h"
#include "console/logview.h"
#include "device/serialworker.h"
#include "testsettings.h"
#include "ui/widgets.h"

#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QStringListModel>
#include <QTextBlock>
#include <QThread>
#include <QTimer>

Q_DECLARE_METATYPE(Dialog::SerialPortState)
Q_DECLARE_METATYPE(Dialog::LogLevel)

// The ports every new window finds; a test may change the list before it builds a window.
inline QList<PortListing> &testPorts()
{
    static QList<PortListing> ports;
    return ports;
}

// Call from initTestCase: private settings and the test port list instead of the real ones.
inline void setUpWindowTests(const QList<PortListing> &ports = {{"ttyFW0", "Test adapter"}})
{
    usePrivateSettingsFolder();
    testPorts() = ports;
    Dialog::setPortEnumerator([] { return testPorts(); });
}

inline QSettings appSettings()
{
    return QSettings("YourCompany", "YourApp");
}

// The message of a log paragraph, without its time stamp.
inline QString messageOf(const QTextBlock &block)
{
    static const QRegularExpression stamp(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\]\u00A0"));
    return block.text().remove(stamp);
}

// The character format of a log paragraph's message (its last fragment).
inline QTextCharFormat messageFormat(const QTextBlock &block)
{
    QTextCharFormat format;
    for (auto it = block.begin(); !it.atEnd(); ++it)
        format = it.fragment().charFormat();
    return format;
}

class DialogTestAccess
{
public:
    explicit DialogTestAccess(Dialog &dialog) : d(dialog) {}

    FlatComboBox *portSelector() const { return d.m_portCombo; }
    QPushButton *connectButton() const { return d.m_connectButton; }
    QLineEdit *pathField() const { return d.m_pathEdit; }
    QPushButton *browseButton() const { return d.m_browseButton; }
    QPushButton *startButton() const { return d.m_startButton; }
    UpdateProgressBar *progressBar() const { return d.m_progressBar; }
    QFrame *serialCard() const { return d.m_serialCard; }
    QFrame *firmwareCard() const { return d.m_firmwareCard; }
    QFrame *logCard() const { return d.m_logCard; }
    QFrame *logPanel() const { return d.m_logPanel; }
    LogView *logView() const { return d.m_logView; }
    QTextDocument *log() const { return d.m_logView->document(); }
    QString logText() const { return d.m_logView->toPlainText(); }
    QList<QPushButton *> footerButtons() const
    {
        return {d.m_saveButton, d.m_copyButton, d.m_clearButton};
    }
    QLabel *toast() const { return d.m_logToast; }
    QTimer *toastTimer() const { return d.m_toastTimer; }
    DropOverlay *dropOverlay() const { return d.m_dropOverlay; }
    QLineEdit *commandField() const { return d.m_cmdEdit; }
    QPushButton *historyButton() const { return d.m_historyButton; }
    QPushButton *sendButton() const { return d.m_sendButton; }
    QMenu *historyMenu() const { return d.m_historyMenu; }
    QStringList history() const { return d.m_commandHistory; }
    QStringList completions() const { return d.m_historyModel->stringList(); }
    int historyIndex() const { return d.m_historyIndex; }
    bool inFlight() const { return d.m_commandInFlight; }
    QLabel *statusLabel() const { return d.m_statusLabel; }
    QLabel *baudLabel() const { return d.m_baudLabel; }
    QTimer *portScanTimer() const { return d.m_portScanTimer; }
    QThread *workerThread() const { return d.m_workerThread; }
    SerialWorker *worker() const { return d.m_worker; }
    Dialog::SerialPortState state() const { return d.m_connectionState; }

    void setState(Dialog::SerialPortState state) { d.updateSerialPortState(state); }
    // Sets the update flag the way the update flow does, then refreshes.
    void setUpdating(bool on)
    {
        d.m_updateInProgress = on;
        d.refreshUiState();
    }
    void refresh() { d.refreshUiState(); }
    void updateStatus(const QString &text) { d.updateStatus(text); }
    void reportBaudRate(int baud) { d.onBaudRateInfo(baud); }

    bool writeLogFile(const QString &path) { return d.writeLogFile(path); }
    void copyLog() { d.copyLog(); }
    void clearLog() { d.clearLog(); }
    void deleteSelectedLog() { d.deleteSelectedLog(); }
    void showToast(const QString &text) { d.showToast(text); }

    // Commands then go nowhere; the test answers them itself through respond().
    void detachWorkerCommands()
    {
        QObject::disconnect(&d, &Dialog::requestSendCustomCommand, d.m_worker, nullptr);
    }
    void sendCustomCommand() { d.sendCustomCommand(); }
    void respond(const QString &response) { d.onCustomCommandResponse(response); }
    void populateHistoryMenu() { d.populateHistoryMenu(); }

    // The format of the first log message that contains needle; invalid when none does.
    QTextCharFormat logFormatOf(const QString &needle) const
    {
        for (QTextBlock block = log()->begin(); block.isValid(); block = block.next()) {
            if (messageOf(block).contains(needle))
                return messageFormat(block);
        }
        return {};
    }

    // Colour at the centre of the status LED on the connect button, as the button shows it in its
    // current (normal or disabled) mode.
    QColor ledColour() const
    {
        const QIcon::Mode mode = d.m_connectButton->isEnabled() ? QIcon::Normal : QIcon::Disabled;
        const QImage image =
            d.m_connectButton->icon().pixmap(d.m_connectButton->iconSize(), mode).toImage();
        return image.pixelColor(image.width() / 2, image.height() / 2);
    }

private:
    Dialog &d;
};
