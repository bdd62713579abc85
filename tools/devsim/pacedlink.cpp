#include "pacedlink.h"

#include <QByteArray>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <sys/select.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

// What the link reads ahead from a sender before it stops reading: a UART driver's buffer.
constexpr int kLaneBuffer = 4096;
constexpr std::int64_t kNsPerSecond = 1000000000;
// 8N1: start bit, 8 data bits, stop bit.
constexpr int kBitsPerByte = 10;

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void makeRaw(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// One direction of the cable.
struct Lane
{
    struct Burst
    {
        std::int64_t startNs; // when its first bit went on the line
        QByteArray bytes;
        int delivered = 0;
    };

    int in = -1;
    int out = -1;
    std::deque<Burst> onLine;
    int queuedBytes = 0;
    std::int64_t lineFreeNs = 0;
    QByteArray arrived; // delivered by the line, not yet taken by the receiving side
    std::atomic<std::int64_t> *counter = nullptr;

    bool wantsInput() const { return queuedBytes < kLaneBuffer; }

    // Returns false when the sending side has gone away.
    bool readFrom(std::int64_t now, std::int64_t byteNs)
    {
        char buffer[kLaneBuffer];
        const ssize_t n = ::read(in, buffer, size_t(kLaneBuffer - queuedBytes));
        if (n > 0) {
            const std::int64_t start = lineFreeNs > now ? lineFreeNs : now;
            onLine.push_back({start, QByteArray(buffer, int(n))});
            queuedBytes += int(n);
            lineFreeNs = start + n * byteNs;
            return true;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }

    void deliverDue(std::int64_t now, std::int64_t byteNs)
    {
        while (!onLine.empty()) {
            Burst &burst = onLine.front();
            const std::int64_t done = (now - burst.startNs) / byteNs;
            const int due = int(done < burst.bytes.size() ? done : burst.bytes.size());
            if (due > burst.delivered) {
                arrived.append(burst.bytes.constData() + burst.delivered, due - burst.delivered);
                queuedBytes -= due - burst.delivered;
                burst.delivered = due;
            }
            if (burst.delivered < burst.bytes.size())
                break;
            onLine.pop_front();
        }
        while (!arrived.isEmpty()) {
            const ssize_t n = ::write(out, arrived.constData(), size_t(arrived.size()));
            if (n <= 0)
                break;
            *counter += n;
            arrived.remove(0, int(n));
        }
    }

    // Absolute time of the next byte to complete, or -1.
    std::int64_t nextDueNs(std::int64_t byteNs) const
    {
        if (onLine.empty())
            return -1;
        const Burst &burst = onLine.front();
        return burst.startNs + (burst.delivered + 1) * byteNs;
    }
};

} // namespace

PacedLink::PacedLink(const QString &devicePortName, int baudRate)
    : m_baudRate(baudRate > 0 ? baudRate : 115200)
    , m_byteNs(kBitsPerByte * kNsPerSecond / m_baudRate)
{
    char name[256] = {};
    if (::openpty(&m_hostMaster, &m_hostSlave, name, nullptr, nullptr) != 0) {
        m_hostMaster = m_hostSlave = -1;
        return;
    }
    m_hostSlavePath = QString::fromLocal8Bit(name);
    makeRaw(m_hostSlave);
    setNonBlocking(m_hostMaster);

    m_deviceSide = ::open(devicePortName.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_deviceSide < 0)
        return;
    makeRaw(m_deviceSide);
    if (::pipe(m_wakePipe) != 0)
        return;
    m_thread = std::thread([this] { run(); });
}

PacedLink::~PacedLink()
{
    m_stop = true;
    if (m_wakePipe[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = ::write(m_wakePipe[1], &byte, 1);
    }
    if (m_thread.joinable())
        m_thread.join();
    for (int fd : {m_hostMaster, m_hostSlave, m_deviceSide, m_wakePipe[0], m_wakePipe[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void PacedLink::run()
{
    Lane toDevice;
    toDevice.in = m_hostMaster;
    toDevice.out = m_deviceSide;
    toDevice.counter = &m_toDevice;
    Lane toHost;
    toHost.in = m_deviceSide;
    toHost.out = m_hostMaster;
    toHost.counter = &m_toHost;

    while (!m_stop) {
        std::int64_t now = nowNs();
        toDevice.deliverDue(now, m_byteNs);
        toHost.deliverDue(now, m_byteNs);

        std::int64_t next = -1;
        for (std::int64_t due : {toDevice.nextDueNs(m_byteNs), toHost.nextDueNs(m_byteNs)}) {
            if (due >= 0 && (next < 0 || due < next))
                next = due;
        }

        // select() waits with microsecond precision, fine enough for a byte time of 86.8 us.
        fd_set readable;
        fd_set writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_SET(m_wakePipe[0], &readable);
        if (toDevice.wantsInput())
            FD_SET(m_hostMaster, &readable);
        if (toHost.wantsInput())
            FD_SET(m_deviceSide, &readable);
        if (!toDevice.arrived.isEmpty())
            FD_SET(m_deviceSide, &writable);
        if (!toHost.arrived.isEmpty())
            FD_SET(m_hostMaster, &writable);
        const int highest = std::max({m_wakePipe[0], m_hostMaster, m_deviceSide});

        timeval timeout{};
        timeval *wait = nullptr;
        if (next >= 0) {
            // Round up, so a byte is never handed over before its time.
            const std::int64_t leftUs = next > now ? (next - now + 999) / 1000 : 0;
            timeout.tv_sec = leftUs / 1000000;
            timeout.tv_usec = leftUs % 1000000;
            wait = &timeout;
        }
        if (::select(highest + 1, &readable, &writable, nullptr, wait) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        now = nowNs();

        if (FD_ISSET(m_hostMaster, &readable) && !toDevice.readFrom(now, m_byteNs))
            break;
        // A device that went away reads as an error (EIO) from its side of the line.
        if (FD_ISSET(m_deviceSide, &readable) && !toHost.readFrom(now, m_byteNs)) {
            // Deliver what is already on the line, then pull the host's cable.
            toHost.deliverDue(nowNs() + toHost.queuedBytes * m_byteNs, m_byteNs);
            ::close(m_hostMaster);
            ::close(m_hostSlave);
            m_hostMaster = m_hostSlave = -1;
            break;
        }
    }
}
