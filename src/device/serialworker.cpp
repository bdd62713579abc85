#include "device/serialworker.h"

#include "device/porterrortext.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <mutex>
#include <utility>

SerialWorker::SerialWorker(QObject *parent)
    : QObject(parent)
    , m_responseTimer(new QTimer(this))
    , m_initCommand(QByteArray::fromHex("5D0C2F7A19E4"))
{
    m_responseTimer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early: 3 s short of the 60 s handshake limit.
    m_responseTimer->setTimerType(Qt::PreciseTimer);
    connect(m_responseTimer, &QTimer::timeout, this, &SerialWorker::handleTimeout);

    static std::once_flag crcTableBuilt;
    std::call_once(crcTableBuilt, &SerialWorker::initCrcTable);
}

SerialWorker::~SerialWorker()
{
    if (m_port) {
        m_port->close();
        delete m_port;
        m_port = nullptr;
    }
}

void SerialWorker::setUseChecksum(bool on) { m_useChecksum = on; }
void SerialWorker::setDebugMode(bool on) { m_debugMode = on; }
void SerialWorker::setMaxFirmwareSize(int bytes) { m_maxFirmwareSize = bytes; }
void SerialWorker::setInitCommand(const QByteArray &command) { m_initCommand = command; }
void SerialWorker::setTimeoutsForTesting(const DeviceTimeouts &timeouts) { m_timeouts = timeouts; }
void SerialWorker::setState(TransferState state) { m_state = state; }

void SerialWorker::connectToPort(const QString &portName)
{
    if (m_port) {
        m_port->close();
        delete m_port;
        m_port = nullptr;
    }

    m_port = new QSerialPort(portName, this);
    m_port->setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    m_port->setFlowControl(QSerialPort::NoFlowControl);

    if (m_port->open(QIODevice::ReadWrite)) {
        connect(m_port, &QSerialPort::errorOccurred, this, &SerialWorker::handleSerialPortError,
                Qt::UniqueConnection);
        connect(m_port, &QSerialPort::readyRead, this, &SerialWorker::handleReadyRead,
                Qt::UniqueConnection);
        setState(Idle);
        Q_EMIT connected();
        Q_EMIT baudRateInfo(m_port->baudRate(QSerialPort::AllDirections));
    } else {
        const QString error =
            tr("无法打开串口 %1：%2")
                .arg(portName,
                     PortErrorText::withSystemText(m_port->error(), m_port->errorString()));
        delete m_port;
        m_port = nullptr;
        Q_EMIT connectionFailed(error);
    }
}

void SerialWorker::disconnectPort()
{
    // A port released while the device's receiver runs (fwflash ending right after Ctrl+C, the
    // release served inside the transfer's wait) tells the receiver first, as an abort does.
    if (m_cancelDue ||
        ((m_state == WaitingForReceiver || m_state == Transferring) && !m_imageDelivered))
        sendCancelSequence();
    m_responseTimer->stop();
    m_abortRequested = false;
    m_deviceCancelled = false;
    m_updateInProgress = false;
    m_failureReason.clear();
    m_deferredPortError.clear();
    m_deferredPortLog.clear();
    m_heldPortError.clear();

    if (m_port) {
        disconnect(m_port, nullptr, this, nullptr);
        m_port->close();
        delete m_port;
        m_port = nullptr;
    }
    setState(PortClosed);
    Q_EMIT disconnected();
}

void SerialWorker::handlePortLoss()
{
    if (m_state == PortClosed)
        return;
    if (m_port)
        m_port->close();
    setState(PortClosed);
    Q_EMIT disconnected();
}

void SerialWorker::handleReadyRead()
{
    if (!m_port)
        return;
    const QByteArray data = m_port->readAll();
    if (data.isEmpty())
        return;

    if (m_customCommandActive) {
        // A reply longer than any real device sends within the collection time is cut.
        const qsizetype room = kReplyBufferCap - m_customBuffer.size();
        if (room > 0)
            m_customBuffer.append(data.left(room));
        return;
    }

    m_rxBuffer.append(data);
    if (m_state == WaitingForBootloader || m_state == WaitingForReceiver) {
        processResponse();
    } else if (m_state == Idle || m_state == PortClosed) {
        // Nobody reads the buffer until the next update empties it: keep only the newest bytes,
        // so a device that chatters for hours cannot exhaust memory.
        if (m_rxBuffer.size() > kIdleBufferCap)
            m_rxBuffer.remove(0, m_rxBuffer.size() - kIdleBufferCap);
    }
}

void SerialWorker::handleSerialPortError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::PermissionError:
    case QSerialPort::WriteError:
    case QSerialPort::ReadError:
    case QSerialPort::ResourceError:
        break;
    default:
        return;
    }

    if (m_port && m_port->errorString().contains(QLatin1String("Resource temporarily unavailable"))) {
        m_port->clearError();
        return;
    }

    const QString systemText = m_port ? m_port->errorString() : QString();
    const QString reason = tr("串口错误：%1").arg(PortErrorText::hint(error, systemText));
    const QString logged = tr("串口错误：%1").arg(PortErrorText::withSystemText(error, systemText));
    if (m_customCommandActive) {
        // The exchange clears the port's error when it ends; remember the failure so that a port
        // lost during a command is still treated as lost once the exchange is over.
        if (m_deferredPortError.isEmpty()) {
            m_deferredPortError = reason;
            m_deferredPortLog = logged;
        }
        return;
    }
    reportPortFailure(reason, logged);
}

void SerialWorker::applyDeferredPortError()
{
    if (m_deferredPortError.isEmpty())
        return;
    const QString reason = std::exchange(m_deferredPortError, QString());
    const QString logged = std::exchange(m_deferredPortLog, QString());
    reportPortFailure(reason, logged);
}

void SerialWorker::reportPortFailure(const QString &reason, const QString &logged)
{
    if (m_state == PortClosed)
        return;

    m_failureReason = reason;
    if (m_imageDelivered)
        m_heldPortError = logged; // reported after the update's success
    else
        Q_EMIT errorOccurred(logged);

    if (m_state == WaitingForBootloader || m_state == WaitingForReceiver
        || m_state == Transferring) {
        setState(Aborted);
        return;
    }
    // An update that is already stopping (or still querying the device) reports the failure
    // and closes the port itself, after its own report.
    if (m_state == Aborted || m_updateInProgress)
        return;
    QMetaObject::invokeMethod(this, &SerialWorker::handlePortLoss, Qt::QueuedConnection);
}

void SerialWorker::handleTimeout()
{
    if (m_abortRequested)
        return;
    if (m_state != WaitingForBootloader && m_state != WaitingForReceiver)
        return;

    Q_EMIT updateFailed(tr("设备响应超时"));
    clearPortBuffers(QSerialPort::AllDirections);
    m_rxBuffer.clear();
    m_lastResponse.clear();
    setState(Idle);
}

void SerialWorker::abort()
{
    if (m_customCommandActive && m_replyLoop) {
        if (m_updateInProgress)
            m_abortRequested = true;
        m_replyLoop->quit();
    }
    if (m_state == WaitingForBootloader || m_state == WaitingForReceiver
        || m_state == Transferring) {
        // The receiver runs from the menu choice until the end-of-batch block is acknowledged;
        // left alone it would wait for the next block and take no start command.
        m_cancelDue = m_cancelDue || (m_state != WaitingForBootloader && !m_imageDelivered);
        m_abortRequested = true;
        m_responseTimer->stop();
        setState(Aborted);
    }
}

QString SerialWorker::updateFailureReason() const
{
    if (m_abortRequested)
        return tr("用户取消更新");
    if (!m_failureReason.isEmpty())
        return m_failureReason;
    if (m_deviceCancelled)
        return tr("设备中止了传输");
    return QString();
}

void SerialWorker::clearPortBuffers(QSerialPort::Directions directions)
{
    // A port that has failed only raises a further error for every request: leave it alone.
    if (m_port && m_port->isOpen() && m_failureReason.isEmpty())
        m_port->clear(directions);
}

void SerialWorker::cleanupHardware()
{
    clearPortBuffers(QSerialPort::AllDirections);
    m_rxBuffer.clear();
    m_lastResponse.clear();
}

void SerialWorker::sendInfo(const QString &text) { Q_EMIT logMessage(text); }
void SerialWorker::sendWarning(const QString &text) { Q_EMIT logWarning(text); }

void SerialWorker::sendDebug(const QString &text)
{
    if (m_debugMode)
        Q_EMIT logMessage(QStringLiteral("[DEBUG] %1").arg(text));
}

bool SerialWorker::portUsable() const { return m_port && m_port->isOpen(); }

void SerialWorker::pollEvents(int sleepMs)
{
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    if (sleepMs <= 0)
        return;
    // Rather than sleep the time away, wait on the port: a reply ends the wait the moment it
    // arrives. The port then delivers readyRead, and so handleReadyRead, from inside the wait;
    // like any other event it only appends to the buffers and may move the state on, which the
    // caller looks at next. Every other event is served by the next call.
    if (portUsable() && m_failureReason.isEmpty()) {
        QElapsedTimer waited;
        waited.start();
        if (m_port->waitForReadyRead(sleepMs))
            return;
        // A port that cannot wait (it has failed) returns at once: sleep the rest.
        sleepMs -= int(std::min<qint64>(waited.elapsed(), sleepMs));
    }
    if (sleepMs > 0)
        QThread::msleep(static_cast<unsigned long>(sleepMs));
}
