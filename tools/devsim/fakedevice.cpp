#include "fakedevice.h"

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

FakeDevice::FakeDevice()
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    m_slavePath = QString::fromLocal8Bit(name);

    // Raw on both ends: no echo, no line discipline, every byte passes as it is.
    termios tio{};
    if (::tcgetattr(m_slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);

    moveToThread(&m_thread);
    m_thread.setObjectName(QStringLiteral("FakeDevice"));
    m_thread.start();
    runOnDeviceThread([this] { setupNotifiers(); });
}

FakeDevice::~FakeDevice()
{
    if (m_thread.isRunning()) {
        runOnDeviceThread([this] {
            doClose();
            if (m_slave >= 0) {
                ::close(m_slave);
                m_slave = -1;
            }
        });
        m_thread.quit();
        m_thread.wait();
    }
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
}

void FakeDevice::setupNotifiers()
{
    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, [this] { readMaster(); });
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] { flushPending(); });
}

void FakeDevice::setResponder(Responder responder)
{
    QMutexLocker lock(&m_mutex);
    m_responder = std::move(responder);
}

void FakeDevice::send(const QByteArray &bytes)
{
    if (isDeviceThread()) {
        writeNow(bytes);
        return;
    }
    QMetaObject::invokeMethod(this, [this, bytes] { writeNow(bytes); }, Qt::QueuedConnection);
}

void FakeDevice::sendLater(int delayMs, const QByteArray &bytes)
{
    QMetaObject::invokeMethod(
        this, [this, delayMs, bytes] { QTimer::singleShot(delayMs, this, [this, bytes] { writeNow(bytes); }); },
        Qt::QueuedConnection);
}

void FakeDevice::closeMaster()
{
    runOnDeviceThread([this] { doClose(); });
}

void FakeDevice::doClose()
{
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
        m_masterClosed = true;
    }
    m_pendingWrite.clear();
}

QByteArray FakeDevice::received() const
{
    QMutexLocker lock(&m_mutex);
    return m_received;
}

void FakeDevice::clearReceived()
{
    QMutexLocker lock(&m_mutex);
    m_received.clear();
}

bool FakeDevice::waitForReceived(const std::function<bool(const QByteArray &)> &predicate,
                                 int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&m_mutex);
    while (!predicate(m_received)) {
        if (deadline.hasExpired())
            return false;
        m_receivedChanged.wait(&m_mutex, deadline);
    }
    return true;
}

bool FakeDevice::waitForReceivedCount(int count, int timeoutMs)
{
    return waitForReceived([count](const QByteArray &data) { return data.size() >= count; },
                           timeoutMs);
}

void FakeDevice::runOnDeviceThread(const std::function<void()> &fn)
{
    if (isDeviceThread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
}

void FakeDevice::onReceived(const QByteArray &chunk)
{
    Responder responder;
    {
        QMutexLocker lock(&m_mutex);
        responder = m_responder;
    }
    if (responder)
        responder(*this, chunk);
}

void FakeDevice::writeNow(const QByteArray &bytes)
{
    if (m_master < 0)
        return;
    if (m_holding) {
        m_held.append(bytes);
        return;
    }
    m_pendingWrite.append(bytes);
    flushPending();
}

void FakeDevice::holdOutput(int ms, int gapMs)
{
    if (std::exchange(m_holding, true))
        return; // already busy
    if (ms < 0)
        m_releaseGapMs = gapMs;
    else
        QTimer::singleShot(ms, this, [this, gapMs] { releaseHeld(gapMs); });
}

void FakeDevice::releaseHeld(int gapMs)
{
    if (m_held.isEmpty() || m_master < 0) {
        m_holding = false;
        m_held.clear();
        return;
    }
    m_pendingWrite.append(m_held.takeFirst());
    flushPending();
    QTimer::singleShot(gapMs, this, [this, gapMs] { releaseHeld(gapMs); });
}

void FakeDevice::flushPending()
{
    while (m_master >= 0 && !m_pendingWrite.isEmpty()) {
        const ssize_t n = ::write(m_master, m_pendingWrite.constData(),
                                  static_cast<size_t>(m_pendingWrite.size()));
        if (n > 0) {
            m_pendingWrite.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // full (EAGAIN) or failed: wait for the write notifier
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_pendingWrite.isEmpty());
}

void FakeDevice::readMaster()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            const QByteArray chunk(buffer, n);
            {
                QMutexLocker lock(&m_mutex);
                m_received.append(chunk);
            }
            m_receivedChanged.wakeAll();
            // A hold until the host writes again ends with this chunk, once it is answered.
            const int releaseGapMs = std::exchange(m_releaseGapMs, -1);
            onReceived(chunk);
            if (releaseGapMs >= 0)
                releaseHeld(releaseGapMs);
            if (m_master < 0)
                return; // the script closed the master
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        // EIO: nobody has the slave open any more; keep the master for the next open.
        return;
    }
}
