#include "ymodemdevice.h"

YmodemDevice::YmodemDevice(YmodemReceiver::Faults faults) : m_receiver(std::move(faults)) {}

YmodemReceiver YmodemDevice::receiver() const
{
    QMutexLocker lock(&m_lock);
    return m_receiver;
}

void YmodemDevice::setHook(Hook hook)
{
    QMutexLocker lock(&m_lock);
    m_hook = std::move(hook);
}

void YmodemDevice::setLateReport(int delayMs, const QByteArray &text)
{
    QMutexLocker lock(&m_lock);
    m_lateReportDelayMs = delayMs;
    m_lateReport = text;
}

void YmodemDevice::onReceived(const QByteArray &chunk)
{
    QMutexLocker lock(&m_lock);
    const bool wasFinished = m_receiver.finished();
    const QByteArray reply = m_receiver.feed(chunk);
    if (m_hook && !m_hook(*this, m_receiver))
        return;
    if (!reply.isEmpty())
        writeNow(reply);
    if (!wasFinished && m_receiver.finished() && m_lateReportDelayMs >= 0)
        sendLater(m_lateReportDelayMs, m_lateReport);
}
