#pragma once

// Test helpers for the serial worker: access to its private state, a recorder of its signals and
// a rig of worker + device.

#include "device/serialworker.h"
#include "testimage.h"

#include <QFile>
#include <QObject>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QVariant>

#include <utility>

// Reaches SerialWorker's private state for tests (SerialWorker declares this class a friend).
class SerialWorkerTestAccess
{
public:
    static void setAbortRequested(SerialWorker &w, bool on) { w.m_abortRequested = on; }
    static bool abortRequested(const SerialWorker &w) { return w.m_abortRequested; }
    static void setDeviceCancelled(SerialWorker &w, bool on) { w.m_deviceCancelled = on; }
    static bool deviceCancelled(const SerialWorker &w) { return w.m_deviceCancelled; }
    static void setFailureReason(SerialWorker &w, const QString &text) { w.m_failureReason = text; }
    static void setUpdateInProgress(SerialWorker &w, bool on) { w.m_updateInProgress = on; }
    static bool updateInProgress(const SerialWorker &w) { return w.m_updateInProgress; }
    static bool customCommandActive(const SerialWorker &w) { return w.m_customCommandActive; }
    static void setRxBuffer(SerialWorker &w, const QByteArray &bytes) { w.m_rxBuffer = bytes; }
    static QByteArray rxBuffer(const SerialWorker &w) { return w.m_rxBuffer; }
    static void setLastResponse(SerialWorker &w, const QByteArray &b) { w.m_lastResponse = b; }
    static QByteArray lastResponse(const SerialWorker &w) { return w.m_lastResponse; }
    static QTimer *responseTimer(SerialWorker &w) { return w.m_responseTimer; }

    // Replaces the worker's port with one the test made; the worker owns it from now on.
    static void replacePort(SerialWorker &w, QSerialPort *port)
    {
        delete w.m_port;
        w.m_port = port;
        port->setParent(&w);
    }

    // Runs a transfer from where startUpdate hands over once the receiver asked for the file.
    static void runTransfer(SerialWorker &w, const QByteArray &image, const QByteArray &name)
    {
        w.m_abortRequested = w.m_deviceCancelled = w.m_resyncUsed = false;
        w.m_failureReason.clear();
        w.m_lastResponse.clear();
        w.m_rxBuffer.clear();
        w.m_firmware = image;
        w.m_fileName = name;
        w.setState(SerialWorker::Transferring);
        w.runBlockingYmodemTransfer();
    }
};

// Records every signal of a worker, in order, as lines such as "connected", "baud:115200",
// "log:...", "warn:...", "error:...", "progress:4096/10000", "success", "failed:..." and
// "response:...".
class WorkerTrace
{
public:
    explicit WorkerTrace(SerialWorker &w)
    {
        using W = SerialWorker;
        record(w, &W::connected, "connected");
        record(w, &W::disconnected, "disconnected");
        record(w, &W::baudRateInfo, "baud");
        record(w, &W::connectionFailed, "connectionFailed");
        record(w, &W::progress, "progress");
        record(w, &W::updateSuccess, "success");
        record(w, &W::updateFailed, "failed");
        record(w, &W::logMessage, "log");
        record(w, &W::logWarning, "warn");
        record(w, &W::errorOccurred, "error");
        record(w, &W::customCommandResponse, "response");
    }

    // The lines that start with prefix, with the prefix removed.
    QStringList with(const QString &prefix) const
    {
        QStringList out =
            lines.filter(QRegularExpression('^' + QRegularExpression::escape(prefix)));
        for (QString &line : out)
            line.remove(0, prefix.size());
        return out;
    }
    // The results of updates: "success" and "failed:..." lines.
    QStringList outcomes() const { return lines.filter(QRegularExpression("^(success$|failed:)")); }

    QStringList lines;

private:
    // Adds "name" for a signal without arguments, else "name:" and the arguments joined by '/'.
    template <class... A>
    void record(SerialWorker &w, void (SerialWorker::*signal)(A...), const char *name)
    {
        QObject::connect(&w, signal, &m_context, [this, name](A... args) {
            const QStringList parts{QVariant(args).toString()...};
            lines << (parts.isEmpty() ? name : name + (':' + parts.join(u'/')));
        });
    }

    QObject m_context;
};

// A worker on the test thread connected to a device of the given kind (its waits serve the
// device's replies), with shortened time limits; the trace starts after the connection.
template <class Device> struct WorkerRig
{
    template <class... Args>
    explicit WorkerRig(const DeviceTimeouts &timeouts, Args &&...deviceArgs)
        : device(std::forward<Args>(deviceArgs)...)
    {
        worker.setTimeoutsForTesting(timeouts);
        worker.connectToPort(device.portName());
        trace.lines.clear();
    }

    // Writes an image file into a folder of the rig; returns its path.
    QString writeImage(const QByteArray &image, const QString &name = QStringLiteral("app.bin"))
    {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(image) == image.size()
                   ? file.fileName()
                   : QString();
    }

    Device device;
    SerialWorker worker;
    WorkerTrace trace{worker};
    QTemporaryDir dir;
};
