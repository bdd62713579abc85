#pragma once

// A fake device whose YMODEM receiver answers every block the worker writes, for transfer tests.

#include "fakedevice.h"
#include "ymodemreceiver.h"

#include <QRecursiveMutex>

#include <functional>

class YmodemDevice : public FakeDevice
{
public:
    // Runs on the device thread after each chunk was fed, before the reply goes out; returns
    // false to withhold the reply. It may call closeMaster() or queue calls to the worker.
    using Hook = std::function<bool(YmodemDevice &device, const YmodemReceiver &receiver)>;

    explicit YmodemDevice(YmodemReceiver::Faults faults = {}) : m_receiver(std::move(faults)) {}
    ~YmodemDevice() override;

    // Thread-safe copy of the receiver as it stands.
    YmodemReceiver receiver() const;
    void setHook(Hook hook);

protected:
    void onReceived(const QByteArray &chunk) override;

private:
    mutable QRecursiveMutex m_lock;
    YmodemReceiver m_receiver;
    Hook m_hook;
};
