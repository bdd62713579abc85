#include "device/porterrortext.h"
#include "device/serialworker.h"
#include "device/versionrule.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

void SerialWorker::sendCustomCommand(const QString &command)
{
    if (!portUsable()) {
        Q_EMIT customCommandResponse(tr("串口未打开"));
        return;
    }
    // An update (also during its identity query) or another exchange owns the line.
    if (m_state != Idle || m_updateInProgress || m_customCommandActive) {
        Q_EMIT customCommandResponse(tr("设备未连接"));
        return;
    }

    m_customCommandActive = true;
    m_customBuffer.clear();
    m_port->clear(QSerialPort::Input);

    const QByteArray line = DeviceReply::commandLine(command);
    if (m_port->write(line) < line.size()) {
        const QString error =
            tr("写入错误：%1")
                .arg(PortErrorText::withSystemText(m_port->error(), m_port->errorString()));
        m_customCommandActive = false;
        Q_EMIT customCommandResponse(error);
        applyDeferredPortError();
        return;
    }
    m_port->flush();

    const bool timedOut = collectReply();
    const QString response = (m_customBuffer.isEmpty() && timedOut)
                                 ? QString()
                                 : DeviceReply::consoleText(m_customBuffer);
    Q_EMIT customCommandResponse(response);
    finishExchange();
}

bool SerialWorker::collectReply()
{
    const QPointer<QSerialPort> port = m_port;
    if (!port || !port->isOpen())
        return false;

    QEventLoop loop;
    QTimer overall;
    QTimer quiet;
    overall.setSingleShot(true);
    quiet.setSingleShot(true);
    // A coarse timer may fire 5 % early; both limits are promises to the user and the device.
    overall.setTimerType(Qt::PreciseTimer);
    quiet.setTimerType(Qt::PreciseTimer);
    bool timedOut = false;

    connect(&overall, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    connect(&quiet, &QTimer::timeout, &loop, &QEventLoop::quit);
    // Made after the worker's own readyRead connection, so each chunk is already in
    // m_customBuffer when the quiet gap starts again.
    const QMetaObject::Connection chunk =
        connect(port, &QSerialPort::readyRead, &quiet,
                [this, &quiet] { quiet.start(m_timeouts.replyQuiet); });
    // A failed port sends nothing more, and a disconnect request served inside the wait closes
    // the port: neither is worth waiting out.
    const QMetaObject::Connection failed =
        connect(port, &QSerialPort::errorOccurred, &loop, [this, &loop] {
            if (!m_deferredPortError.isEmpty())
                loop.quit();
        });
    const QMetaObject::Connection closing =
        connect(port, &QIODevice::aboutToClose, &loop, &QEventLoop::quit);

    m_replyLoop = &loop;
    overall.start(m_timeouts.replyOverall);
    loop.exec();
    m_replyLoop = nullptr;

    // Safe also when the port was deleted meanwhile: the handles outlive their sender.
    disconnect(chunk);
    disconnect(failed);
    disconnect(closing);
    return timedOut;
}

void SerialWorker::finishExchange()
{
    // The port may have been closed and deleted by a disconnect request during the wait; then
    // m_port is null (or a new port) and nothing of the old one is touched.
    if (m_port && m_port->isOpen() && m_deferredPortError.isEmpty())
        m_port->clearError();
    m_customBuffer.clear();
    m_customCommandActive = false;
    // A port that failed during the exchange is lost, as it would be outside one.
    applyDeferredPortError();
}
