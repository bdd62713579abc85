#include "scripteddevice.h"

#include <QTimer>

namespace {

constexpr char kMenuChoice = 0x64;
constexpr char kReceiverRequest = 'C';
constexpr char kCan = 0x18;
// A busy receiver catches up with one answer at a time.
constexpr int kCatchUpGapMs = 20;
// A line longer than this is no command the device knows; the application drops it.
constexpr int kMaxLine = 4096;

} // namespace

QByteArray ScriptedDevice::downloadLine()
{
    return QByteArrayLiteral("Download Firmware To the Internal Flash -------- d\r\n\n");
}

QByteArray ScriptedDevice::menuText()
{
    return QByteArrayLiteral("\r\n=========================================================\r\n"
                             "=        Orvane TM-1 In-Application Programming         =\r\n"
                             "=========================================================\r\n\r\n"
                             "================== Main Menu ============================\r\n\n") +
           "  " + downloadLine() +
           QByteArrayLiteral("  Upload Image From the Internal Flash ----------- 2\r\n\n"
                             "  Execute The New Program ------------------------ 3\r\n\n"
                             "=========================================================\r\n\n");
}

QByteArray ScriptedDevice::legacyStartCommand()
{
    return QByteArray::fromHex("5D0C2F7A19E4");
}

ScriptedDevice::ScriptedDevice() : ScriptedDevice(Script()) {}

ScriptedDevice::ScriptedDevice(const Script &script) : m_script(script)
{
    m_receiver = YmodemReceiver(script.faults);
    runOnDeviceThread([this] { m_scheduler = new QObject(this); });
}

ScriptedDevice::~ScriptedDevice()
{
    // Stop everything that could still run this class's code on the device thread before its
    // members go: the read notifier (closing the master) and the pending timers.
    runOnDeviceThread([this] {
        delete m_scheduler;
        m_scheduler = nullptr;
        m_phase = Phase::Closed;
    });
    closeMaster();
}

void ScriptedDevice::setScript(const Script &script)
{
    QMutexLocker lock(&m_lock);
    m_script = script;
    m_receiver = YmodemReceiver(script.faults);
}

void ScriptedDevice::setEventHook(EventHook hook)
{
    QMutexLocker lock(&m_lock);
    m_hook = std::move(hook);
}

void ScriptedDevice::restart()
{
    runOnDeviceThread([this] {
        if (m_phase == Phase::Closed)
            return;
        m_phase = Phase::Application;
        m_input.clear();
        m_choices = 0;
        ++m_generation; // drops reply pieces still scheduled
        ++m_batch;
        QMutexLocker lock(&m_lock);
        m_receiver = YmodemReceiver(m_script.faults);
    });
}

QStringList ScriptedDevice::events() const
{
    QMutexLocker lock(&m_lock);
    return m_events;
}

YmodemReceiver ScriptedDevice::receiver() const
{
    QMutexLocker lock(&m_lock);
    return m_receiver;
}

void ScriptedDevice::record(const QString &event)
{
    EventHook hook;
    {
        QMutexLocker lock(&m_lock);
        m_events.append(event);
        hook = m_hook;
    }
    if (hook)
        hook(*this, event);
}

void ScriptedDevice::schedule(int delayMs, std::function<void()> fn)
{
    if (m_scheduler)
        QTimer::singleShot(delayMs, m_scheduler, std::move(fn));
}

bool ScriptedDevice::closesAt(CloseAt moment)
{
    CloseAt closeAt;
    {
        QMutexLocker lock(&m_lock);
        closeAt = m_script.closeAt;
    }
    if (closeAt != moment)
        return false;
    m_phase = Phase::Closed;
    closeMaster();
    record(QStringLiteral("closed"));
    return true;
}

void ScriptedDevice::onReceived(const QByteArray &chunk)
{
    ++m_generation;
    switch (m_phase) {
    case Phase::Application:
        handleApplicationBytes(chunk);
        break;
    case Phase::Menu:
        handleMenuBytes(chunk);
        break;
    case Phase::Receiving:
        handleTransferBytes(chunk);
        break;
    case Phase::Silent:
    case Phase::Closed:
        break;
    }
}

void ScriptedDevice::handleApplicationBytes(const QByteArray &chunk)
{
    // The rest of a sender's cancel sequence, after the receiver stopped, is no text.
    m_input.append(QByteArray(chunk).replace(kCan, QByteArray()));
    // The legacy command is binary and has no line end: it counts wherever it appears.
    if (m_input.contains(legacyStartCommand())) {
        m_input.clear();
        enterBootloader(QStringLiteral("start:legacy"));
        return;
    }
    qsizetype end;
    while (m_phase == Phase::Application && (end = m_input.indexOf('\n')) >= 0) {
        const QByteArray line = m_input.left(end);
        m_input.remove(0, end + 1);
        handleLine(line);
    }
    if (m_phase != Phase::Application)
        m_input.clear();
    else if (m_input.size() > kMaxLine)
        m_input.remove(0, m_input.size() - legacyStartCommand().size());
}

void ScriptedDevice::handleLine(const QByteArray &rawLine)
{
    QByteArray line = rawLine;
    while (line.endsWith('\r'))
        line.chop(1);
    line = line.toUpper();

    if (line == "*FWUPD") {
        enterBootloader(QStringLiteral("start:fwupd"));
        return;
    }
    Reply reply;
    if (line == "*IDN?") {
        record(QStringLiteral("identification"));
        if (closesAt(CloseAt::OnIdentification))
            return;
        QMutexLocker lock(&m_lock);
        reply = m_script.identification;
    } else {
        record(QStringLiteral("command:%1").arg(QString::fromLatin1(line)));
        QMutexLocker lock(&m_lock);
        reply = m_script.commands.value(line, m_script.unknownCommand);
    }
    play(reply);
}

void ScriptedDevice::play(const Reply &reply)
{
    playFrom(reply, 0, m_generation);
}

void ScriptedDevice::playFrom(const Reply &reply, int index, quint64 generation)
{
    // Past the last piece, a streaming reply sends its last piece again and again.
    const bool repeat = index >= reply.chunks.size();
    if (reply.chunks.isEmpty() || (repeat && reply.repeatEveryMs <= 0))
        return;
    const int delay = repeat ? reply.repeatEveryMs : reply.chunks.at(index).delayMs;
    auto sendIt = [this, reply, index, generation, repeat] {
        if (generation != m_generation || m_phase != Phase::Application)
            return;
        writeNow(repeat ? reply.chunks.last().bytes : reply.chunks.at(index).bytes);
        playFrom(reply, repeat ? index : index + 1, generation);
    };
    if (delay <= 0 && !repeat)
        sendIt();
    else
        schedule(delay, sendIt);
}

void ScriptedDevice::enterBootloader(const QString &event)
{
    record(event);
    if (closesAt(CloseAt::OnStartCommand))
        return;

    Script script;
    {
        QMutexLocker lock(&m_lock);
        script = m_script;
        m_receiver = YmodemReceiver(script.faults);
    }
    m_choices = 0;
    if (script.silentAfterStart) {
        m_phase = Phase::Silent;
        return;
    }
    if (script.receiverWaiting) {
        m_phase = Phase::Receiving;
        askForFile();
        return;
    }
    m_phase = Phase::Menu;
    if (!script.bannerBeforeMenu.isEmpty())
        writeNow(script.bannerBeforeMenu);
    printMenu();
}

void ScriptedDevice::printMenu()
{
    writeNow(menuText());
    record(QStringLiteral("menu"));
}

void ScriptedDevice::handleMenuBytes(const QByteArray &chunk)
{
    for (qsizetype i = 0; i < chunk.size(); ++i) {
        if (m_phase == Phase::Receiving) {
            handleTransferBytes(chunk.mid(i)); // what came right after the choice
            return;
        }
        if (chunk.at(i) != kMenuChoice || m_phase != Phase::Menu)
            continue;
        ++m_choices;
        record(QStringLiteral("choice"));
        if (closesAt(CloseAt::OnMenuChoice))
            return;
        int menuCount;
        {
            QMutexLocker lock(&m_lock);
            menuCount = m_script.menuCount;
        }
        if (m_choices < menuCount) {
            printMenu();
            continue;
        }
        m_phase = Phase::Receiving;
        askForFile();
    }
}

void ScriptedDevice::sendCRun()
{
    int length;
    int splitAt;
    int splitDelay;
    {
        QMutexLocker lock(&m_lock);
        length = m_script.cRunLength;
        splitAt = m_script.cRunSplitAt;
        splitDelay = m_script.cRunSplitDelayMs;
    }
    const int first = (splitAt > 0 && splitAt < length) ? splitAt : length;
    writeNow(QByteArray(first, kReceiverRequest));
    record(QStringLiteral("C:%1").arg(first));
    const int rest = length - first;
    if (rest > 0) {
        schedule(splitDelay, [this, rest] {
            if (m_phase != Phase::Receiving)
                return;
            writeNow(QByteArray(rest, kReceiverRequest));
            record(QStringLiteral("C:%1").arg(rest));
        });
    }
}

void ScriptedDevice::askForFile()
{
    const quint64 batch = ++m_batch;
    sendCRun();
    int timeoutMs;
    {
        QMutexLocker lock(&m_lock);
        timeoutMs = m_script.receiverTimeoutMs;
    }
    schedule(timeoutMs, [this, batch] {
        if (batch == m_batch && m_phase == Phase::Receiving && !receiverStarted())
            askForFile();
    });
}

bool ScriptedDevice::receiverStarted() const
{
    QMutexLocker lock(&m_lock);
    return !m_receiver.blocks().isEmpty() || m_receiver.pendingBytes() > 0;
}

void ScriptedDevice::giveUpUnlessServed(int blocksBefore)
{
    const quint64 batch = m_batch;
    int timeoutMs;
    {
        QMutexLocker lock(&m_lock);
        timeoutMs = m_script.receiverTimeoutMs;
    }
    schedule(timeoutMs, [this, batch, blocksBefore] {
        {
            QMutexLocker lock(&m_lock);
            if (batch != m_batch || m_phase != Phase::Receiving ||
                m_receiver.blocks().size() != blocksBefore)
                return; // the batch ended, or the sender went on
            m_receiver = YmodemReceiver(m_script.faults);
        }
        record(QStringLiteral("receiver-timeout"));
        askForFile();
    });
}

void ScriptedDevice::handleTransferBytes(const QByteArray &chunk)
{
    QByteArray bytes = chunk;
    if (!receiverStarted()) {
        // A receiver waiting for a file drops what cannot start a block (the sender's start
        // command or query, sent to an application that is not there).
        while (!bytes.isEmpty() && !QByteArray("\x01\x02\x04\x18").contains(bytes.at(0)))
            bytes.remove(0, 1);
        if (bytes.isEmpty())
            return;
        if (closesAt(CloseAt::OnFirstBlock))
            return;
    }

    QByteArray reply;
    QList<YmodemReceiver::Block> newBlocks;
    bool finished = false;
    bool cancelled = false;
    bool late = false;
    bool cancelIgnored = false;
    bool bySender = false;
    int blocksNow = 0;
    Script script;
    {
        QMutexLocker lock(&m_lock);
        const qsizetype before = m_receiver.blocks().size();
        const bool ignoredBefore = m_receiver.cancelIgnored();
        reply = m_receiver.feed(bytes);
        newBlocks = m_receiver.blocks().mid(before);
        blocksNow = int(m_receiver.blocks().size());
        finished = m_receiver.finished();
        cancelled = m_receiver.cancelled();
        cancelIgnored = m_receiver.cancelIgnored() && !ignoredBefore;
        script = m_script;
        for (const YmodemReceiver::Block &block : std::as_const(newBlocks))
            late = late || (script.lateReplyBlock != -1 && block.target == script.lateReplyBlock &&
                            m_receiver.arrivals(block.target) == 1);
        bySender = m_receiver.cancelledBySender();
        if (finished && script.identificationAfterUpdate)
            m_script.identification = *script.identificationAfterUpdate;
        if (finished && script.printReport && script.faults.completionText.isEmpty()) {
            const qsizetype size =
                script.reportSize >= 0 ? script.reportSize : m_receiver.fileData().size();
            reply += QByteArrayLiteral("Programming Completed Successfully!\r\nSize: ") +
                     QByteArray::number(size) + QByteArrayLiteral(" Bytes\r\nJump To App\r\n");
        }
    }
    if (late)
        holdOutput(script.lateReplyMs, kCatchUpGapMs);
    if (!reply.isEmpty())
        writeNow(reply);
    for (const YmodemReceiver::Block &block : newBlocks)
        record(QStringLiteral("block:%1").arg(block.target));
    if (cancelIgnored) {
        record(QStringLiteral("cancel-ignored"));
        giveUpUnlessServed(blocksNow);
    }
    if (finished) {
        m_phase = Phase::Application;
        ++m_batch;
        record(QStringLiteral("finished"));
        if (script.printReport || !script.faults.completionText.isEmpty())
            record(QStringLiteral("report"));
    } else if (cancelled) {
        ++m_batch;
        m_choices = 0;
        // Cancelled by the sender, the bootloader starts the application again; having
        // cancelled itself, it goes back to its menu.
        m_phase = bySender ? Phase::Application : Phase::Menu;
        m_input.clear();
        record(bySender ? QStringLiteral("host-cancel") : QStringLiteral("cancelled"));
    }
}
