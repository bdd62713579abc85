#include "ymodemdevice.h"

YmodemDevice::~YmodemDevice()
{
    // Bytes the worker wrote just before it went may still be read on the device thread; no read
    // may reach onReceived once the receiver and the hook below are gone, so the line closes first.
    closeMaster();
}

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

void YmodemDevice::onReceived(const QByteArray &chunk)
{
    QMutexLocker lock(&m_lock);
    const QByteArray reply = m_receiver.feed(chunk);
    if ((!m_hook || m_hook(*this, m_receiver)) && !reply.isEmpty())
        writeNow(reply);
}
