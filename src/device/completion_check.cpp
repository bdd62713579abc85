#include "device/completionreport.h"
#include "device/serialworker.h"

#include <QElapsedTimer>

namespace {
// Pause between looks at the received bytes while the report is awaited.
constexpr int kReportPollMs = 5;
} // namespace

void SerialWorker::confirmDeviceCompletion(int declaredSize)
{
    Q_EMIT updatePhaseChanged(UpdatePhase::CheckingReport);
    QByteArray collected = m_lastResponse;
    m_lastResponse.clear();
    QElapsedTimer clock;
    clock.start();

    while (!CompletionReport::isFinal(collected)) {
        if (clock.elapsed() >= qint64(m_timeouts.completionReport.count()))
            break;
        if (!m_rxBuffer.isEmpty()) {
            CompletionReport::appendBounded(collected, m_rxBuffer);
            m_rxBuffer.clear();
        } else if (m_abortRequested || !m_failureReason.isEmpty() || !portUsable()) {
            // The user stopped waiting, or a failed or lost port brings nothing more.
            break;
        } else {
            pollEvents(kReportPollMs);
        }
    }
    if (!CompletionReport::hasCompletionLine(collected)) {
        CompletionReport::appendBounded(collected, m_rxBuffer);
        m_rxBuffer.clear();
    }

    const CompletionReport::Reading reading = CompletionReport::read(collected, declaredSize);
    switch (reading.verdict) {
    case CompletionReport::Verdict::NoCompletionLine:
        sendInfo(tr("警告：设备未打印完成提示（最后一个 ACK 已收到）。"));
        break;
    case CompletionReport::Verdict::SizeMismatch:
        sendInfo(tr("警告：设备回报 %1 字节，但声明的是 %2 字节。")
                     .arg(reading.reportedSize)
                     .arg(declaredSize));
        break;
    case CompletionReport::Verdict::SizeConfirmed:
        sendInfo(tr("设备确认：写入完成（%1 字节）。").arg(reading.reportedSize));
        break;
    case CompletionReport::Verdict::Confirmed:
        sendInfo(tr("设备确认：写入完成。"));
        break;
    }
}
