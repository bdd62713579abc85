#include "device/serialworker.h"
#include "device/versionrule.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>

namespace {

// The bootloader's menu line for downloading to internal flash (text, CR, LF, LF).
const QByteArray kMenuLine =
    QByteArrayLiteral("Download Firmware To the Internal Flash -------- d\r\n\n");
// The key of that menu entry.
constexpr char kMenuChoice = 0x64;
// The YMODEM receiver asks for a CRC-mode transfer with a run of these.
constexpr char kReceiverRequest = 'C';
constexpr int kReceiverRunLength = 8;
// One pass of the handshake wait.
constexpr int kHandshakePollMs = 10;
// Pieces in which the image is read, so a huge file is never loaded whole.
constexpr qint64 kReadChunk = 64 * 1024;
const QByteArray kIdentificationQuery = QByteArrayLiteral("*idn?\r\n");

// Reads at most cap bytes of the file. No widgets.
QByteArray readAtMost(QFile &file, qint64 cap)
{
    QByteArray data;
    while (data.size() < cap) {
        const QByteArray piece = file.read(std::min(kReadChunk, cap - data.size()));
        if (piece.isEmpty())
            break;
        data.append(piece);
    }
    return data;
}

// Clears a flag on every way out of a scope.
class FlagReset
{
public:
    explicit FlagReset(bool &flag) : m_flag(flag) {}
    ~FlagReset() { m_flag = false; }
    FlagReset(const FlagReset &) = delete;
    FlagReset &operator=(const FlagReset &) = delete;

private:
    bool &m_flag;
};

} // namespace

void SerialWorker::startUpdate(const QString &firmwarePath)
{
    if (!portUsable()) {
        Q_EMIT updateFailed(tr("串口未打开"));
        return;
    }
    // An update requested while a console command still collects its reply: end that wait (the
    // command is answered with what arrived so far) and start the update right after it, rather
    // than nesting the update inside the command's wait.
    if (m_customCommandActive && m_replyLoop && m_state == Idle && !m_updateInProgress) {
        m_replyLoop->quit();
        QMetaObject::invokeMethod(
            this, [this, firmwarePath] { startUpdate(firmwarePath); }, Qt::QueuedConnection);
        return;
    }
    // A second request delivered inside a running update's waits finds the line busy.
    if (m_state != Idle || m_updateInProgress || m_customCommandActive) {
        Q_EMIT updateFailed(tr("设备未连接"));
        return;
    }

    m_abortRequested = false;
    m_cancelDue = false;
    m_deviceCancelled = false;
    m_failureReason.clear();
    m_resyncUsed = false;
    m_lastResponse.clear();
    m_updateInProgress = true;
    const FlagReset updateEnds(m_updateInProgress);

    QFile file(firmwarePath);
    if (!file.open(QIODevice::ReadOnly)) {
        Q_EMIT updateFailed(tr("无法打开固件文件"));
        return;
    }
    // One byte more than the larger limit is enough to refuse with the right text.
    const qint64 readCap = std::max<qint64>(m_maxFirmwareSize, kBootloaderMaxImage) + 1;
    m_firmware = readAtMost(file, readCap);
    file.close();

    if (m_firmware.isEmpty()) {
        Q_EMIT updateFailed(tr("固件文件为空"));
        return;
    }
    if (m_firmware.size() > m_maxFirmwareSize) {
        Q_EMIT updateFailed(tr("固件文件超出大小限制"));
        return;
    }
    if (m_firmware.size() > kBootloaderMaxImage) {
        Q_EMIT updateFailed(tr("固件为 %1 字节；bootloader 最多只能写入 %2 字节（App 区 "
                               "0x08004000-0x0803DFFF，最后一个可编程字节 0x0803DFFE）")
                                .arg(m_firmware.size())
                                .arg(kBootloaderMaxImage));
        return;
    }
    m_fileName = QFileInfo(firmwarePath).fileName().toUtf8();

    // Whether an outcome has gone out yet: handleTimeout and processResponse report from inside
    // the waits, and this call must end with exactly one report.
    bool reported = false;
    const QMetaObject::Connection failedSeen = connect(
        this, &SerialWorker::updateFailed, this, [&reported] { reported = true; },
        Qt::DirectConnection);
    const QMetaObject::Connection successSeen = connect(
        this, &SerialWorker::updateSuccess, this, [&reported] { reported = true; },
        Qt::DirectConnection);
    struct Disconnect
    {
        QMetaObject::Connection a, b;
        ~Disconnect()
        {
            QObject::disconnect(a);
            QObject::disconnect(b);
        }
    } const watchEnds{failedSeen, successSeen};

    // Ends the update with the recorded reason; a port that failed is then treated as lost.
    // A port that a disconnect request closed stays closed.
    auto failureExit = [this](const QString &fallback) {
        QString reason = updateFailureReason();
        if (reason.isEmpty())
            reason = fallback;
        const bool portFailed = !m_failureReason.isEmpty();
        m_responseTimer->stop();
        // A failed port answers every further request with another error; it is closed below.
        if (portFailed)
            m_lastResponse.clear();
        else
            cleanupHardware();
        clearHandshakeBuffer();
        if (m_cancelDue)
            sendCancelSequence();
        if (m_state != PortClosed)
            setState(Idle);
        Q_EMIT updateFailed(reason);
        if (portFailed)
            handlePortLoss();
    };

    m_initCommand = queryInitCommand();
    // An abort, a port error or a disconnect request served during the query: the start
    // command is not written.
    if (m_abortRequested || !m_failureReason.isEmpty() || m_state != Idle || !portUsable()) {
        failureExit(portUsable() ? tr("串口错误") : tr("串口未打开"));
        return;
    }

    clearHandshakeBuffer();
    m_port->clear(QSerialPort::AllDirections);
    setState(WaitingForBootloader);
    Q_EMIT updatePhaseChanged(UpdatePhase::WaitingForBootloader);
    sendInfo(tr("正在等待设备进入下载模式…"));

    const bool written =
        m_port->write(m_initCommand) == m_initCommand.size() &&
        m_port->waitForBytesWritten(static_cast<int>(m_timeouts.startCommandWrite.count()));
    if (!written) {
        const bool portFailed = !m_failureReason.isEmpty();
        setState(Idle);
        Q_EMIT updateFailed(tr("启动命令发送失败"));
        if (portFailed)
            handlePortLoss();
        return;
    }

    m_handshakeClock.start();
    // The write wait may already have delivered the receiver's 'C' run.
    if (m_state == WaitingForBootloader || m_state == WaitingForReceiver)
        m_responseTimer->start(m_timeouts.handshake);

    for (;;) {
        if (m_state == WaitingForBootloader || m_state == WaitingForReceiver) {
            if (m_abortRequested) {
                failureExit(tr("串口错误"));
                return;
            }
            if (m_handshakeClock.elapsed() > m_timeouts.handshake.count()) {
                m_responseTimer->stop();
                Q_EMIT updateFailed(tr("设备响应超时"));
                cleanupHardware();
                clearHandshakeBuffer();
                setState(Idle);
                return;
            }
            pollEvents(kHandshakePollMs);
            continue;
        }
        if (m_state == Aborted || m_abortRequested || !m_failureReason.isEmpty()) {
            failureExit(tr("串口错误"));
            return;
        }
        if (m_state == Transferring) {
            runBlockingYmodemTransfer();
            return;
        }
        // Idle: the response timer or the menu answer has already reported. PortClosed: a
        // disconnect request was served; it still gets its one report.
        if (!reported)
            failureExit(tr("串口未打开"));
        return;
    }
}

QByteArray SerialWorker::queryInitCommand()
{
    Q_EMIT updatePhaseChanged(UpdatePhase::Querying);
    sendInfo(tr("正在查询设备标识…"));

    bool timedOut = false;
    if (portUsable()) {
        m_customCommandActive = true;
        m_customBuffer.clear();
        m_port->clear(QSerialPort::Input);
        // A query that cannot be written gets no reply; a port error it raised is acted on
        // when the exchange ends.
        if (m_port->write(kIdentificationQuery) == kIdentificationQuery.size()) {
            m_port->flush();
            timedOut = collectReply();
        }
    }
    const QString text = DeviceReply::identificationText(m_customBuffer, timedOut);
    // A receiver left waiting (a device that ignored a cancel, or a menu that took the query's
    // 'd' as its choice) answers with its requests, not with text. The start command is then
    // noise to it, and its next run of 'C' starts the transfer, as for a receiver that is
    // already waiting.
    const bool receiverWaiting = !timedOut && DeviceReply::onlyProtocolBytes(m_customBuffer);
    if (m_customCommandActive)
        finishExchange();

    // Control bytes of the reply never reach the log or the front ends raw.
    const QString shown = DeviceReply::escapedText(text);
    if (!text.isEmpty())
        sendInfo(tr("*IDN? 响应：%1").arg(shown));
    else
        sendInfo(tr("*IDN? 响应：%1 —— 使用旧版启动命令").arg(tr("（无响应）")));
    if (receiverWaiting)
        sendWarning(
            tr("设备的 YMODEM 接收端仍在等待数据（应答只有协议字节），将等待它重新请求传输"));

    const QByteArray command = VersionRule::startCommandFor(text);
    if (command == VersionRule::firmwareUpdateCommand())
        sendInfo(tr("已发送启动命令：*fwupd"));
    else
        sendInfo(tr("已发送启动命令：%1").arg(QString::fromLatin1(command.toHex(' '))));
    Q_EMIT identified(shown, command);
    return command;
}

void SerialWorker::clearHandshakeBuffer()
{
    m_rxBuffer.clear();
    m_scanOffset = 0;
    m_cRun = 0;
}

void SerialWorker::processResponse()
{
    if (m_state != WaitingForBootloader && m_state != WaitingForReceiver)
        return;
    if (m_scanOffset > m_rxBuffer.size()) {
        // Emptied behind the scanner's back: start over.
        m_scanOffset = 0;
        m_cRun = 0;
    }

    // Everything before m_scanOffset has been looked at and holds neither a menu line nor a full
    // run of C's, so only matches that reach into the new bytes are possible. The menu line is
    // looked for first, as a menu printed together with C's must still be answered.
    const qsizetype menuFrom = std::max<qsizetype>(0, m_scanOffset - (kMenuLine.size() - 1));
    if (m_rxBuffer.indexOf(kMenuLine, menuFrom) >= 0) {
        answerMenu();
        return;
    }
    for (qsizetype i = m_scanOffset; i < m_rxBuffer.size(); ++i) {
        m_cRun = m_rxBuffer.at(i) == kReceiverRequest ? m_cRun + 1 : 0;
        if (m_cRun >= kReceiverRunLength) {
            m_responseTimer->stop();
            sendInfo(tr("设备就绪，正在传输固件…"));
            clearHandshakeBuffer();
            setState(Transferring);
            Q_EMIT updatePhaseChanged(UpdatePhase::Transferring);
            return;
        }
    }

    // Keep only the tail that could still begin a menu line; the C run is carried in m_cRun.
    // A device that prints for the whole minute thus costs constant memory and linear time.
    const qsizetype keep = kMenuLine.size() - 1;
    if (m_rxBuffer.size() > keep)
        m_rxBuffer.remove(0, m_rxBuffer.size() - keep);
    m_scanOffset = m_rxBuffer.size();
}

void SerialWorker::answerMenu()
{
    sendDebug(tr("下载命令已发送"));
    clearHandshakeBuffer();

    const char choice = kMenuChoice;
    const bool written =
        portUsable() && m_port->write(&choice, 1) == 1 &&
        m_port->waitForBytesWritten(static_cast<int>(m_timeouts.menuChoiceWrite.count()));

    // The write wait can deliver the port's signals: a port error has then already aborted the
    // update, or a read inside it has moved on to the transfer. Neither is overridden here.
    if (m_state != WaitingForBootloader && m_state != WaitingForReceiver)
        return;
    if (written) {
        setState(WaitingForReceiver);
        m_responseTimer->start(m_timeouts.handshake);
        return;
    }
    Q_EMIT updateFailed(tr("下载命令发送失败"));
    cleanupHardware();
    clearHandshakeBuffer();
    setState(Idle);
}
