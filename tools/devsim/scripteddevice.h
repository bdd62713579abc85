#pragma once

// ScriptedDevice: a stand-in for the real device on the fake serial line, following the device
// contract step by step. Its running application answers text commands (above all the
// identification query) and hands over to its bootloader on either start command ("*FWUPD\r\n"
// or the six legacy bytes 5D 0C 2F 7A 19 E4). The bootloader prints its menu with the download
// line, answers the download key 0x64 with a run of 'C', receives the image by YMODEM (through
// YmodemReceiver, with its scripted faults), prints the completion report and jumps back to the
// application. Every step can be varied through the Script, for the worker tests, the window's
// end-to-end test and the device simulator tool.
//
// Threading: the device runs on its own thread (see FakeDevice). setScript() and setEventHook()
// are meant to be called before the worker talks to the device; the accessors return
// thread-safe copies and may be called at any time.
//
// Events, in the order they happen, as events() reports them:
//   "command:<LINE>"   a text line arrived in the application (upper-cased, CR/LF removed)
//   "identification"   the identification query arrived (answered by Script::identification)
//   "start:fwupd"      the text start command arrived
//   "start:legacy"     the six legacy bytes arrived
//   "menu"             the menu was printed
//   "choice"           the download key 0x64 arrived in the menu
//   "C:<n>"            a run of n 'C' bytes was sent
//   "block:<target>"   the receiver took a block or EOT (0 header, 1.. data, -2 EOT,
//                      -3 end of batch; see YmodemReceiver)
//   "finished"         the end-of-batch block was acknowledged
//   "cancelled"        the receiver cancelled the transfer
//   "host-cancel"      the sender cancelled the transfer (CAN CAN); the application runs again
//   "cancel-ignored"   the sender's CAN came and was ignored (faults.ignoreCancel)
//   "receiver-timeout" after an ignored cancel no block came in time: the receiver gave up the
//                      batch and asks for a new file
//   "report"           the completion report was printed
//   "closed"           the device closed the line (Script::closeAt)

#include "fakedevice.h"
#include "ymodemreceiver.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QStringList>

#include <functional>
#include <optional>

class ScriptedDevice : public FakeDevice
{
    Q_OBJECT

public:
    // One piece of a reply, sent delayMs after the previous piece (the first: after the command).
    struct Chunk
    {
        int delayMs = 0;
        QByteArray bytes;
    };
    // The device's answer to one command. With repeatEveryMs > 0 the last piece is sent again at
    // that interval, without end, until the host sends anything (a device that never pauses).
    // Any bytes from the host also cancel pieces not yet sent.
    struct Reply
    {
        QList<Chunk> chunks;
        int repeatEveryMs = 0;
    };
    static Reply text(const QByteArray &bytes) { return Reply{{Chunk{0, bytes}}, 0}; }
    static Reply silence() { return Reply{}; }
    static Reply chunks(const QList<Chunk> &pieces) { return Reply{pieces, 0}; }
    static Reply stream(const QByteArray &piece, int everyMs)
    {
        return Reply{{{0, piece}}, everyMs};
    }

    // Moments at which the device closes the line (the cable pulled), instead of answering.
    enum class CloseAt {
        Never,
        OnIdentification, // the identification query arrives
        OnStartCommand,   // a start command arrives
        OnMenuChoice,     // the download key arrives
        OnFirstBlock,     // the first YMODEM bytes arrive
    };

    struct Script
    {
        // Reply to the identification query ("*IDN?" in any case).
        Reply identification = text("Orvane,TM-1,SN0001,1.0.38\r\n");
        // Replies to other command lines; keys upper-case, without CR LF. Unknown lines get
        // unknownCommand.
        QHash<QByteArray, Reply> commands;
        Reply unknownCommand = silence();

        // The bootloader: after the start command it stays silent for good.
        bool silentAfterStart = false;
        // The receiver is already waiting: the 'C' run follows the start command, no menu.
        bool receiverWaiting = false;
        // The menu is printed this many times: every download key before the last brings it back
        // (as for a key the bootloader was not ready for); the last one gets the 'C' run.
        int menuCount = 1;
        // Extra text printed before the menu (a device that chatters).
        QByteArray bannerBeforeMenu;
        // The 'C' run; with cRunSplitAt > 0 only that many go out at first and the rest
        // cRunSplitDelayMs later.
        int cRunLength = 8;
        int cRunSplitAt = 0;
        int cRunSplitDelayMs = 300;

        // The YMODEM receiver's faults (see YmodemReceiver::Faults).
        YmodemReceiver::Faults faults;
        // The receiver's own time-out. While it waits for a file it drops what cannot start a
        // block and asks again with its 'C' run this often; after it ignored a cancel
        // (faults.ignoreCancel) it gives up the batch once no block came for this long.
        int receiverTimeoutMs = 1000;
        // The receiver is busy when this block (a fault target) first arrives: its answer, and
        // those to whatever comes meanwhile (the sender's copy), go out lateReplyMs later.
        int lateReplyBlock = -1;
        int lateReplyMs = 0;
        // After the final ACK, in the same write, unless faults.completionText is set:
        // "Programming Completed Successfully!\r\nSize: <n> Bytes\r\nJump To App\r\n", n the
        // bytes received. reportSize >= 0 reports that number instead.
        bool printReport = true;
        int reportSize = -1;

        CloseAt closeAt = CloseAt::Never;

        // Once an update has completed, the application answers the identification query with
        // this instead (the version of the image just received).
        std::optional<Reply> identificationAfterUpdate;
    };

    // Runs on the device thread for every event, right after it was recorded (see the list
    // above). It may call closeMaster(), send() or queue calls to the worker.
    using EventHook = std::function<void(ScriptedDevice &device, const QString &event)>;

    // The menu line the worker looks for (text, CR, LF, LF).
    static QByteArray downloadLine();
    // The whole menu as the bootloader prints it.
    static QByteArray menuText();
    static QByteArray legacyStartCommand();

    ScriptedDevice();
    explicit ScriptedDevice(const Script &script);
    ~ScriptedDevice() override;

    void setScript(const Script &script);
    void setEventHook(EventHook hook);
    // The device is reset: its application runs again on the same line and a menu or transfer
    // in progress is forgotten (a closed line stays closed). Thread-safe.
    void restart();

    QStringList events() const;
    bool hasEvent(const QString &event) const { return events().contains(event); }
    int countEvents(const QString &event) const { return int(events().count(event)); }
    // Thread-safe copy of the receiver as it stands (empty before the transfer began).
    YmodemReceiver receiver() const;

protected:
    void onReceived(const QByteArray &chunk) override;

private:
    enum class Phase { Application, Menu, Receiving, Silent, Closed };

    void record(const QString &event);
    void handleApplicationBytes(const QByteArray &chunk);
    void handleLine(const QByteArray &line);
    void enterBootloader(const QString &event);
    void handleMenuBytes(const QByteArray &chunk);
    void handleTransferBytes(const QByteArray &chunk);
    void printMenu();
    void sendCRun();
    // Starts a new batch: the 'C' run now and again every receiverTimeoutMs until a block comes.
    void askForFile();
    bool receiverStarted() const;
    // After an ignored cancel: gives up the batch when no block came within the time-out.
    void giveUpUnlessServed(int blocksBefore);
    void play(const Reply &reply);
    void playFrom(const Reply &reply, int index, quint64 generation);
    // Closes the line when the script says so at this moment; true when it did.
    bool closesAt(CloseAt moment);
    void schedule(int delayMs, std::function<void()> fn);

    // Device thread only.
    Phase m_phase = Phase::Application;
    QByteArray m_input;
    int m_choices = 0;
    quint64 m_generation = 0; // bumped by every host byte, cancels pending reply pieces
    quint64 m_batch = 0;      // bumped by every new receiver and every end of one
    QObject *m_scheduler = nullptr;

    mutable QMutex m_lock; // guards the members below
    Script m_script;
    EventHook m_hook;
    QStringList m_events;
    YmodemReceiver m_receiver;
};
