#pragma once

// Test access to the main window's private parts, shared by the update, port discovery and
// settings tests.

#include "app/dialog.h"
#include "device/serialworker.h"
#include "ui/widgets.h"

#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>

class DialogTestAccess
{
public:
    static FlatComboBox *portSelector(Dialog &d) { return d.m_portCombo; }
    static QPushButton *connectButton(Dialog &d) { return d.m_connectButton; }
    static QLineEdit *pathEdit(Dialog &d) { return d.m_pathEdit; }
    static QPushButton *startButton(Dialog &d) { return d.m_startButton; }
    static UpdateProgressBar *progressBar(Dialog &d) { return d.m_progressBar; }
    static DropOverlay *overlay(Dialog &d) { return d.m_dropOverlay; }
    static QLabel *statusLabel(Dialog &d) { return d.m_statusLabel; }
    static QTimer *portScanTimer(Dialog &d) { return d.m_portScanTimer; }
    static SerialWorker *worker(Dialog &d) { return d.m_worker; }
    static QString log(Dialog &d) { return d.m_logView->toPlainText(); }
    static QStringList &history(Dialog &d) { return d.m_commandHistory; }
    static QRect defaultGeometry(Dialog &d) { return d.m_defaultGeometry; }
    static bool updating(Dialog &d) { return d.m_updateInProgress; }
    static Dialog::SerialPortState state(Dialog &d) { return d.m_connectionState; }

    static void setUpdating(Dialog &d, bool on) { d.m_updateInProgress = on; }
    // Pretends the last progress text was written msAgo milliseconds ago with these bytes.
    static void setLastRefresh(Dialog &d, qint64 msAgo, int bytes)
    {
        d.m_lastProgressRefreshMs = QDateTime::currentMSecsSinceEpoch() - msAgo;
        d.m_bytesAtLastRefresh = bytes;
    }

    static bool validate(Dialog &d, const QString &path) { return d.validateFirmwareFile(path); }
    static void browse(Dialog &d) { d.browse(); }
    static void startUpdate(Dialog &d) { d.updateFirmware(); }
    static void progress(Dialog &d, int sent, int total) { d.onUpdateProgress(sent, total); }
    static void success(Dialog &d) { d.onUpdateSuccess(); }
    static void failure(Dialog &d, const QString &error) { d.onUpdateFailed(error); }
    static void scan(Dialog &d) { d.scanSerialPorts(); }
    static void ensureOnScreen(Dialog &d) { d.ensureOnScreen(); }
    static void setScreens(ScreenProvider provider)
    {
        Dialog::setScreenProvider(std::move(provider));
    }
};
