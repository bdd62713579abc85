#pragma once

// SerialWorker: the only owner of the serial port. It lives on its own thread and talks to the
// window only through queued signals and slots.
//
// Where the members are defined:
//   serialworker.cpp          construction, opening/closing, routing of received bytes, port
//                             errors and port loss, response time-out, abort
//   ymodem_packet.cpp         CRC table, CRC-16/checksum, block builders, ymodemSendPacket,
//                             the cancel sequence
//   ymodem_transfer.cpp       startYmodemTransfer, receiveByte, runBlockingYmodemTransfer
//   completion_check.cpp      confirmDeviceCompletion
//   bootloader_handshake.cpp  startUpdate, queryInitCommand, processResponse
//   command_exchange.cpp      sendCustomCommand and the shared reply collection
//
// Signals beyond the window's ten, for front ends that show more (the command-line flasher):
// updatePhaseChanged (emitted in bootloader_handshake.cpp and completion_check.cpp) and
// identified (bootloader_handshake.cpp, queryInitCommand).

#include "device/devicetimeouts.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>

class QEventLoop;
class QTimer;

class SerialWorker : public QObject
{
    Q_OBJECT

public:
    enum TransferState : int {
        PortClosed = 0,
        Idle = 1,
        WaitingForBootloader = 2,
        WaitingForReceiver = 3,
        Transferring = 4,
        Aborted = 5,
    };
    // The steps of an update as a front end shows them; updatePhaseChanged reports each.
    enum class UpdatePhase : int {
        Querying,             // the identification query
        WaitingForBootloader, // start command written, waiting for the menu and the 'C' run
        Transferring,         // YMODEM blocks
        CheckingReport,       // reading the bootloader's completion report
    };
    Q_ENUM(UpdatePhase)

    explicit SerialWorker(QObject *parent = nullptr);
    ~SerialWorker() override;

    void setUseChecksum(bool on);
    void setDebugMode(bool on);
    void setMaxFirmwareSize(int bytes);
    void setInitCommand(const QByteArray &command);

    // Test hook: every time limit of the device link, real values by default.
    void setTimeoutsForTesting(const DeviceTimeouts &timeouts);
    const DeviceTimeouts &timeouts() const { return m_timeouts; }

    TransferState state() const { return m_state; }
    QSerialPort *port() const { return m_port; }
    QByteArray initCommand() const { return m_initCommand; }
    int maxFirmwareSize() const { return m_maxFirmwareSize; }
    QString updateFailureReason() const;

    // --- YMODEM packet layer (ymodem_packet.cpp) ---
    static void initCrcTable();
    static const unsigned short *crcTable() { return m_crcTable; }
    unsigned short updateCRC16(unsigned short crc, unsigned char byte) const;
    unsigned short calcCRC16(const unsigned char *data, unsigned int size) const;
    unsigned char calcChecksum(const unsigned char *data, unsigned int size) const;
    void int2Str(unsigned char *out, int value) const;
    void ymodemPrepareInitialPacket(unsigned char *buffer, const unsigned char *fileName,
                                    int *fileSize) const;
    void ymodemPreparePacket(const unsigned char *source, unsigned char *buffer,
                             unsigned char blockNumber, unsigned int remaining) const;
    void ymodemSendPacket(const unsigned char *data, unsigned short size);

    // Sizes on the wire.
    static constexpr int kPacketHeaderSize = 3;
    static constexpr int kPacketSize = 128;
    static constexpr int kPacket1KSize = 1024;
    static constexpr int kWorkBufferSize = kPacketHeaderSize + kPacket1KSize; // 1027
    static constexpr int kFileNameMax = 111;
    // The bootloader can program at most this many bytes of its application area.
    static constexpr int kBootloaderMaxImage = 237440;
    // Bytes kept from a device that chatters while nobody waits for it.
    static constexpr int kIdleBufferCap = 64 * 1024;
    // Largest reply a console command collects.
    static constexpr int kReplyBufferCap = 64 * 1024;

Q_SIGNALS:
    void connected();
    void disconnected();
    void connectionFailed(const QString &error);
    void progress(int bytesSent, int totalBytes);
    void updateSuccess();
    void updateFailed(const QString &reason);
    void logMessage(const QString &msg);
    // A line the user should notice (a re-sent block, a receiver still waiting): shown in orange
    // by the window.
    void logWarning(const QString &msg);
    void errorOccurred(const QString &error);
    void baudRateInfo(int baudRate);
    void customCommandResponse(const QString &response);
    // An update entered a phase.
    void updatePhaseChanged(SerialWorker::UpdatePhase phase);
    // The identification query of an update ended: the reply's text (empty when none came) and
    // the start command chosen from it.
    void identified(const QString &identification, const QByteArray &startCommand);

public Q_SLOTS:
    void connectToPort(const QString &portName);
    void disconnectPort();
    void startUpdate(const QString &firmwarePath);
    void abort();
    void sendCustomCommand(const QString &command);
    void handleReadyRead();
    void handleTimeout();

public:
    // --- core (serialworker.cpp) ---
    void setState(TransferState state);
    void handleSerialPortError(QSerialPort::SerialPortError error);
    void handlePortLoss();
    void cleanupHardware();
    void sendInfo(const QString &text);
    void sendWarning(const QString &text);
    void sendDebug(const QString &text);

    // --- transfer engine (ymodem_transfer.cpp) ---
    void runBlockingYmodemTransfer();
    unsigned char startYmodemTransfer(unsigned char *data, const unsigned char *fileName,
                                      int size);
    int receiveByte(unsigned char *out, unsigned int timeoutMs);

    // --- completion check (completion_check.cpp) ---
    void confirmDeviceCompletion(int declaredSize);

    // --- handshake (bootloader_handshake.cpp) ---
    QByteArray queryInitCommand();
    void processResponse();

private:
    // Serves the worker's pending events, user input excluded, then waits up to sleepMs for the
    // port's next bytes (a plain sleep when the port is gone or has failed).
    void pollEvents(int sleepMs);
    bool portUsable() const;
    // The reaction to a handled port error: record, report, then abort the update or lose the
    // port (queued).
    // reason: "串口错误：<hint>" for the update's result; logged: the same with the system's text.
    void reportPortFailure(const QString &reason, const QString &logged);
    void applyDeferredPortError();
    // Clears the port's buffers unless the port is gone or has failed.
    void clearPortBuffers(QSerialPort::Directions directions);

    // --- reply collection (command_exchange.cpp), shared by the console and the identity
    // query; both run with m_customCommandActive set ---
    // Waits in a nested loop for the reply to the line just written, until replyQuiet without a
    // new chunk, replyOverall in all, abort(), or the port failing or closing. True when the
    // overall limit ended it.
    bool collectReply();
    // Ends an exchange: clears the port's error (unless a port error is pending), empties
    // m_customBuffer, clears m_customCommandActive, then acts on a pending port error.
    void finishExchange();
    // --- handshake (bootloader_handshake.cpp) ---
    void clearHandshakeBuffer();
    void answerMenu();

    // --- YMODEM sender (ymodem_packet.cpp, ymodem_transfer.cpp) ---
    // Writes a built block (3 + fieldSize bytes), then each check byte in a write of its own.
    void sendBlockWithCheck(const unsigned char *buffer, int fieldSize, bool useChecksum);
    // Records "写入错误：<hint>", reports it with the system's text and aborts the transfer.
    void reportWriteFailure();
    // One block of the batch as transmitBlock sends it.
    struct OutgoingBlock
    {
        const unsigned char *bytes; // built block, or the single EOT byte
        int fieldSize;              // 128 or 1024; 0 for the single byte at bytes
        std::chrono::milliseconds replyTimeout;
        QString name; // for the retry lines: "第 3 块", "首包", ...
        // Allows the one resynchronisation of the update on a NAK, with this line; empty: none.
        QString resyncMessage;
        // Replies to extra copies are waited out after acceptance (not after the last block).
        bool moreToFollow = true;
    };
    // Sends a block until it is accepted: returns 0 and the failed attempts, or the code the
    // transfer stops with. Every re-send is logged as a warning.
    unsigned char transmitBlock(const OutgoingBlock &block, bool useChecksum,
                                unsigned int *failedAttempts);
    // After a block that went out more than once was accepted: takes up to extra replies that
    // belong to its other copies, until the line has been quiet for extraReplyQuiet.
    void absorbExtraReplies(int extra);
    // Tells the device's receiver that the transfer is cancelled, and lets the bytes leave.
    void sendCancelSequence();
    // The state left Transferring, the user aborted, or the port is gone.
    bool transferInterrupted() const;
    // Acts on the received bytes: 0 for ACK or NAK (stored in out), -1 for CAN, 1 for nothing
    // of use; empties m_rxBuffer.
    int takeReply(unsigned char *out);

    QSerialPort *m_port = nullptr;
    QByteArray m_rxBuffer;
    bool m_useChecksum = false;
    TransferState m_state = PortClosed;
    bool m_debugMode = false;
    QByteArray m_firmware;
    QByteArray m_fileName;
    QElapsedTimer m_handshakeClock;
    QTimer *m_responseTimer = nullptr;
    QByteArray m_initCommand;
    int m_maxFirmwareSize = 2097152;
    bool m_customCommandActive = false;
    QByteArray m_customBuffer;
    QEventLoop *m_replyLoop = nullptr;
    bool m_abortRequested = false;
    // The abort came while the device's receiver was running (asking for the file, or taking
    // it): the update tells it with the cancel sequence before it reports.
    bool m_cancelDue = false;
    bool m_deviceCancelled = false;
    bool m_updateInProgress = false;
    QString m_failureReason;
    bool m_resyncUsed = false;
    QByteArray m_lastResponse;
    // The end-of-batch block was acknowledged: the image is delivered and the update a success,
    // whatever happens while the completion report is read.
    bool m_imageDelivered = false;
    // A port error during the completion-report wait, reported after the success.
    QString m_heldPortError;

    // Not part of the protocol state: how far processResponse has already looked.
    int m_scanOffset = 0;
    int m_cRun = 0;
    // A port error that arrived while a command exchange was collecting (reason and logged text
    // as for reportPortFailure); acted on by applyDeferredPortError() once the exchange is over.
    QString m_deferredPortError;
    QString m_deferredPortLog;
    DeviceTimeouts m_timeouts;

    static unsigned short m_crcTable[256];

    friend class SerialWorkerTestAccess;
};
