#pragma once

// Test access to the main window's private parts, shared by the window tests.

#include "app/dialog.h"
#include "device/serialworker.h"
#include "ui/widgets.h"

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QThread>
#include <QTimer>

class DialogTestAccess
{
public:
    explicit DialogTestAccess(Dialog &dialog) : m_dialog(dialog) {}

    FlatComboBox *portSelector() const { return m_dialog.m_portCombo; }
    QPushButton *connectButton() const { return m_dialog.m_connectButton; }
    QLineEdit *pathField() const { return m_dialog.m_pathEdit; }
    QPushButton *browseButton() const { return m_dialog.m_browseButton; }
    QPushButton *startButton() const { return m_dialog.m_startButton; }
    UpdateProgressBar *progressBar() const { return m_dialog.m_progressBar; }
    QFrame *serialCard() const { return m_dialog.m_serialCard; }
    QFrame *firmwareCard() const { return m_dialog.m_firmwareCard; }
    QFrame *logCard() const { return m_dialog.m_logCard; }
    QFrame *logPanel() const { return m_dialog.m_logPanel; }
    QTextEdit *logView() const { return m_dialog.m_logView; }
    QPushButton *saveButton() const { return m_dialog.m_saveButton; }
    QPushButton *copyButton() const { return m_dialog.m_copyButton; }
    QPushButton *clearButton() const { return m_dialog.m_clearButton; }
    QLabel *logToast() const { return m_dialog.m_logToast; }
    DropOverlay *dropOverlay() const { return m_dialog.m_dropOverlay; }
    QPushButton *historyButton() const { return m_dialog.m_historyButton; }
    QLineEdit *commandField() const { return m_dialog.m_cmdEdit; }
    QPushButton *sendButton() const { return m_dialog.m_sendButton; }
    QLabel *statusLabel() const { return m_dialog.m_statusLabel; }
    QStatusBar *statusBar() const { return m_dialog.m_statusBar; }
    QLabel *baudLabel() const { return m_dialog.m_baudLabel; }
    QTimer *portScanTimer() const { return m_dialog.m_portScanTimer; }
    QThread *workerThread() const { return m_dialog.m_workerThread; }
    SerialWorker *worker() const { return m_dialog.m_worker; }
    Dialog::SerialPortState state() const { return m_dialog.m_connectionState; }

    void setState(Dialog::SerialPortState state) { m_dialog.updateSerialPortState(state); }
    // Sets the update flag the way the update flow does, then refreshes.
    void setUpdating(bool on)
    {
        m_dialog.m_updateInProgress = on;
        m_dialog.refreshUiState();
    }
    void refresh() { m_dialog.refreshUiState(); }
    void updateStatus(const QString &text) { m_dialog.updateStatus(text); }
    void reportBaudRate(int baud) { m_dialog.onBaudRateInfo(baud); }
    void reportConnectionFailed(const QString &error) { m_dialog.onConnectionFailed(error); }
    void positionToast() { m_dialog.positionToast(); }

    QString logText() const { return m_dialog.m_logView->toPlainText(); }

    // The character format of the log text that contains needle; invalid when there is none.
    QTextCharFormat logFormatOf(const QString &needle) const
    {
        for (QTextBlock block = m_dialog.m_logView->document()->begin(); block.isValid();
             block = block.next()) {
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                if (it.fragment().text().contains(needle))
                    return it.fragment().charFormat();
            }
        }
        return {};
    }

    // Colour at the centre of the status LED on the connect button.
    QColor ledColour() const
    {
        const QIcon icon = m_dialog.m_connectButton->icon();
        const QSize size = m_dialog.m_connectButton->iconSize();
        const QImage image = icon.pixmap(size).toImage();
        return image.pixelColor(image.width() / 2, image.height() / 2);
    }

private:
    Dialog &m_dialog;
};
