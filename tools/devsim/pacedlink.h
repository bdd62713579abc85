#pragma once

// PacedLink: a serial cable with a real UART's speed between two pseudo-terminals. The host (the
// worker) opens hostPortName(); the link relays to the device side (a FakeDevice's slave path)
// and back, in each direction no faster than a UART at the given baud rate with 8N1 framing
// (10 bit times a byte: 86.8 us at 115200). A byte reaches the other side when its last bit
// would have been sent. When the device side goes away (the device closed its master), the link
// closes the host side too, so the host's port fails as with a pulled cable.

#include <QString>

#include <atomic>
#include <cstdint>
#include <thread>

class PacedLink
{
public:
    // devicePortName: the slave path of the device's pseudo-terminal.
    PacedLink(const QString &devicePortName, int baudRate);
    ~PacedLink();

    PacedLink(const PacedLink &) = delete;
    PacedLink &operator=(const PacedLink &) = delete;

    bool isValid() const { return m_hostMaster >= 0 && m_deviceSide >= 0; }
    QString hostPortName() const { return m_hostSlavePath; }
    int baudRate() const { return m_baudRate; }
    // Nanoseconds one byte occupies the line.
    std::int64_t byteTimeNs() const { return m_byteNs; }

    // Bytes relayed so far, per direction.
    std::int64_t bytesToDevice() const { return m_toDevice.load(); }
    std::int64_t bytesToHost() const { return m_toHost.load(); }

private:
    void run();

    int m_baudRate = 0;
    std::int64_t m_byteNs = 0;
    int m_hostMaster = -1;
    int m_hostSlave = -1; // kept open so the host side survives the host closing its port
    int m_deviceSide = -1;
    int m_wakePipe[2] = {-1, -1};
    QString m_hostSlavePath;
    std::atomic<std::int64_t> m_toDevice{0};
    std::atomic<std::int64_t> m_toHost{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
