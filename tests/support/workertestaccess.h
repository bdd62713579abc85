#pragma once

// Reaches SerialWorker's private state for tests (SerialWorker declares this class a friend):
// sets up the conditions a test needs and reads back what the worker did.

#include "device/serialworker.h"

#include <QByteArray>
#include <QEventLoop>
#include <QString>

class SerialWorkerTestAccess
{
public:
    static QByteArray firmware(const SerialWorker &w) { return w.m_firmware; }
    static void setFirmware(SerialWorker &w, const QByteArray &image) { w.m_firmware = image; }
    static QByteArray fileName(const SerialWorker &w) { return w.m_fileName; }
    static void setFileName(SerialWorker &w, const QByteArray &name) { w.m_fileName = name; }

    static bool abortRequested(const SerialWorker &w) { return w.m_abortRequested; }
    static void setAbortRequested(SerialWorker &w, bool on) { w.m_abortRequested = on; }
    static bool deviceCancelled(const SerialWorker &w) { return w.m_deviceCancelled; }
    static void setDeviceCancelled(SerialWorker &w, bool on) { w.m_deviceCancelled = on; }
    static QString failureReason(const SerialWorker &w) { return w.m_failureReason; }
    static void setFailureReason(SerialWorker &w, const QString &text) { w.m_failureReason = text; }
    static bool resyncUsed(const SerialWorker &w) { return w.m_resyncUsed; }
    static void setResyncUsed(SerialWorker &w, bool on) { w.m_resyncUsed = on; }
    static bool updateInProgress(const SerialWorker &w) { return w.m_updateInProgress; }
    static void setUpdateInProgress(SerialWorker &w, bool on) { w.m_updateInProgress = on; }
    static bool useChecksum(const SerialWorker &w) { return w.m_useChecksum; }

    static QByteArray rxBuffer(const SerialWorker &w) { return w.m_rxBuffer; }
    static void setRxBuffer(SerialWorker &w, const QByteArray &bytes) { w.m_rxBuffer = bytes; }
    static QByteArray lastResponse(const SerialWorker &w) { return w.m_lastResponse; }
    static void setLastResponse(SerialWorker &w, const QByteArray &bytes)
    {
        w.m_lastResponse = bytes;
    }

    static bool customCommandActive(const SerialWorker &w) { return w.m_customCommandActive; }
    static void setCustomCommandActive(SerialWorker &w, bool on) { w.m_customCommandActive = on; }
    static QByteArray customBuffer(const SerialWorker &w) { return w.m_customBuffer; }
    static void setReplyLoop(SerialWorker &w, QEventLoop *loop) { w.m_replyLoop = loop; }
    static bool responseTimerActive(const SerialWorker &w);
    // The handshake's response timer, to look at or shorten while an update waits.
    static QTimer *responseTimer(SerialWorker &w) { return w.m_responseTimer; }

    // Replaces the worker's port object with one the test made (already open or not); the worker
    // owns it from now on. The old port is deleted.
    static void replacePort(SerialWorker &w, QSerialPort *port)
    {
        delete w.m_port;
        w.m_port = port;
        if (port)
            port->setParent(&w);
    }

    // Puts the worker where startUpdate leaves it when the receiver asked for the file: flags
    // cleared, image and name loaded, buffers empty, state Transferring.
    static void prepareTransfer(SerialWorker &w, const QByteArray &image, const QByteArray &name)
    {
        w.m_abortRequested = false;
        w.m_deviceCancelled = false;
        w.m_failureReason.clear();
        w.m_resyncUsed = false;
        w.m_lastResponse.clear();
        w.m_rxBuffer.clear();
        w.m_firmware = image;
        w.m_fileName = name;
        w.setState(SerialWorker::Transferring);
    }
};

#include <QTimer>

inline bool SerialWorkerTestAccess::responseTimerActive(const SerialWorker &w)
{
    return w.m_responseTimer && w.m_responseTimer->isActive();
}
