#pragma once

// What the update, port discovery, settings and end-to-end tests share: access to the window's
// private parts, the fake port list, the store, image files, drops and a user who answers the
// window's modal dialogs.

#include "app/dialog.h"
#include "console/logview.h"
#include "device/serialworker.h"
#include "testimage.h"
#include "testsettings.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QDateTime>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

class DialogTestAccess
{
public:
    static FlatComboBox *portSelector(Dialog &d) { return d.m_portCombo; }
    static QPushButton *connectButton(Dialog &d) { return d.m_connectButton; }
    static QLineEdit *pathEdit(Dialog &d) { return d.m_pathEdit; }
    static QPushButton *startButton(Dialog &d) { return d.m_startButton; }
    static UpdateProgressBar *progressBar(Dialog &d) { return d.m_progressBar; }
    static DropOverlay *overlay(Dialog &d) { return d.m_dropOverlay; }
    static QString status(Dialog &d) { return d.m_statusLabel->text(); }
    static QString selectedPort(Dialog &d) { return d.selectedPortName(); }
    static QLabel *statusLabel(Dialog &d) { return d.m_statusLabel; }
    static QTimer *portScanTimer(Dialog &d) { return d.m_portScanTimer; }
    static SerialWorker *worker(Dialog &d) { return d.m_worker; }
    static QString log(Dialog &d) { return d.m_logView->toPlainText(); }
    static bool updating(Dialog &d) { return d.m_updateInProgress; }
    static Dialog::SerialPortState state(Dialog &d) { return d.m_connectionState; }
    static void setUpdating(Dialog &d, bool on) { d.m_updateInProgress = on; }
    static void setConnected(Dialog &d) { d.updateSerialPortState(Dialog::Connected); }
    // Pretends the progress text was last written msAgo milliseconds ago, at these bytes.
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
    static void portLost(Dialog &d) { d.onDisconnected(); }
    static void scan(Dialog &d) { d.scanSerialPorts(); }
    static void setScreens(ScreenProvider p) { Dialog::setScreenProvider(std::move(p)); }
};
using Access = DialogTestAccess;

// The serial ports the system lists in these tests, and how often the window asked for them.
inline QList<PortListing> g_ports;
inline int g_enumerations = 0;

// A private settings folder and the fake port list; called once in initTestCase.
inline void useTestEnvironment()
{
    usePrivateSettingsFolder();
    Dialog::setPortEnumerator([] {
        ++g_enumerations;
        return g_ports;
    });
}

inline QSettings store()
{
    return QSettings(QStringLiteral("YourCompany"), QStringLiteral("YourApp"));
}

// A file of size bytes that starts with start (a plausible vector table by default), then zeros.
inline QString makeFile(const QTemporaryDir &dir, const QString &name, qint64 size,
                        QByteArray start = QByteArray())
{
    if (start.isEmpty() && size >= ImageCheck::kVectorBytes)
        start = plausibleVectorTable(size);
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(start.left(size)) < 0 || !file.resize(size))
        qFatal("cannot create %s", qPrintable(file.fileName()));
    return file.fileName();
}

// Drags data into the window; drops it when the window takes the drag. Returns that it did.
inline bool dragAndDrop(Dialog &d, const QMimeData &mime)
{
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&d, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&d, &drop);
    return true;
}

inline bool dropUrls(Dialog &d, const QList<QUrl> &urls)
{
    QMimeData mime;
    mime.setUrls(urls);
    return dragAndDrop(d, mime);
}

// Answers the next modal window, from its own event loop, while the returned poll lives.
[[nodiscard]] inline std::unique_ptr<QTimer> answerNextModal(std::function<void(QWidget *)> answer)
{
    auto poll = std::make_unique<QTimer>();
    QTimer *raw = poll.get();
    QObject::connect(raw, &QTimer::timeout, raw, [raw, answer] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            raw->stop();
            answer(modal);
        }
    });
    constexpr int kPollMs = 10;
    raw->start(kPollMs);
    return poll;
}

// Runs action (a start) and answers the confirmation it opens; returns what the confirmation
// showed (title, detail lines, notice, warning, the two buttons), empty when none opened.
inline QStringList confirmAfter(const std::function<void()> &action, bool confirm = true)
{
    QStringList texts;
    const auto poll = answerNextModal([&texts, confirm](QWidget *box) {
        for (const char *name : {"confirmTitle", "confirmText", "confirmNotice", "confirmDanger",
                                 "confirmCancel", "confirmOk"}) {
            const auto parts = box->findChildren<QWidget *>(QString::fromLatin1(name));
            for (const QWidget *part : parts)
                texts << part->property("text").toString();
        }
        if (auto *button = box->findChild<QPushButton *>(confirm ? "confirmOk" : "confirmCancel"))
            button->click();
        else
            box->close(); // not the confirmation
    });
    action();
    return texts;
}

inline QStringList startUpdate(Dialog &d, bool confirm = true)
{
    return confirmAfter([&d] { Access::startUpdate(d); }, confirm);
}
