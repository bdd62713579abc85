#include "app/dialog.h"

#include "ui/theme.h"
#include "ui/widgets.h"
#include "update/firmwarerules.h"
#include "update/imagecheck.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <utility>

using namespace std::chrono_literals;

namespace {
// Pause before a result is presented, so that the full or red bar can be seen.
constexpr auto kResultPresentationDelay = 500ms;
} // namespace

void Dialog::updateFirmware()
{
    // While an update runs the start button is its cancel button.
    if (m_updateInProgress) {
        cancelUpdate();
        return;
    }

    const QString portName = selectedPortName();
    const QString path = m_pathEdit->text().trimmed();
    if (portName.isEmpty() || path.isEmpty()) {
        logMessage(tr("请选择串口和固件文件。"), Error);
        return;
    }
    if (!validateFirmwareFile(path)) {
        m_refusedPath = path;
        refreshUiState();
        return;
    }
    // The confirmation names the device: a start right after connecting waits for its answer,
    // which the worker gives within its reply limit.
    if (m_identityPending) {
        m_startWhenIdentified = true;
        return;
    }

    const QFileInfo info(path);
    const qint64 size = info.size();
    // The image as confirmed, for its check and its record; never more than the limit, should
    // the file have grown since it was checked.
    QFile file(path);
    const QByteArray image =
        file.open(QIODevice::ReadOnly) ? file.read(firmwareSizeLimit()) : QByteArray();
    const QStringList lines{
        tr("串口：%1").arg(portName),
        tr("设备：%1").arg(m_identity.summary()),
        tr("文件：%1").arg(info.fileName()),
        tr("大小：%1 KB").arg(FirmwareRules::sizeText(size)),
    };
    // The worker sends what it is given: an image linked for another address is caught here,
    // and the user decides.
    const ImageCheck::Result check = ImageCheck::checkImage(image, image.size());
    if (!check.plausible())
        logMessage(tr("警告：%1").arg(check.reason), Info);
    if (!runConfirmDialog(this, tr("确认固件更新"), lines, tr("更新过程中请勿断开设备或关闭电源。"),
                          tr("取消"), check.plausible() ? tr("继续") : tr("仍然更新"),
                          check.reason)) {
        return;
    }
    // The confirmation runs its own event loop; whatever happened meanwhile, one update only.
    if (m_updateInProgress)
        return;

    logMessage(tr("正在启动固件更新…"), Info);
    stopReadBack();
    m_outcomeStatus.clear();
    m_updatePort = portName;
    m_updateListing = listingFor(portEnumerator()(), portName,
                                 QFileInfo(portLocation(portName)).canonicalFilePath());
    beginRecord(portName, path, image, check.reason);
    m_identityBeforeUpdate = m_identity; // the update's own query replaces it
    m_updateInProgress = true;
    m_cancelRequested = false;
    m_resultPending = false;
    m_disconnectPending = false;
    refreshUiState();

    m_startButton->setVisible(true);
    // A failure whose presentation never ran must not leave its red chunk on this update.
    m_progressBar->setStyleSheet(QString());
    // Validation capped the size far below the int range.
    m_progressBar->setRange(0, int(size));
    m_progressBar->setValue(0);
    m_progressBar->show();

    m_progressClock.start();
    m_rate = FirmwareRules::RateEstimate();
    updateStatus(tr("正在准备…"));
    m_portScanTimer->stop();

    Q_EMIT requestSetMaxFirmwareSize(firmwareSizeLimit());
    Q_EMIT requestUpdate(path);
}

void Dialog::onUpdateProgress(int bytesSent, int totalBytes)
{
    const int shown = FirmwareRules::shownBytes(bytesSent, totalBytes);
    if (m_progressBar->maximum() != totalBytes)
        m_progressBar->setMaximum(totalBytes);
    m_progressBar->setValue(shown);
    if (m_record)
        m_record->bytesSent = shown;

    // The rate counts from the first report, so the handshake before it is not in it; the text
    // follows every report, so its percentage is always the bar's.
    if (!m_progressClock.isValid())
        m_progressClock.start();
    m_rate.add(shown, m_progressClock.elapsed());
    const double rate = m_rate.kbps();
    updateStatus(FirmwareRules::progressText(
        shown, totalBytes, rate, FirmwareRules::secondsRemaining(shown, totalBytes, rate)));
}

void Dialog::cancelUpdate()
{
    if (!m_updateInProgress || m_cancelRequested || m_resultPending)
        return;
    const QStringList lines{
        tr("确定要取消正在进行的固件更新吗？"),
        tr("设备将停留在 bootloader 中，稍后可以重新更新。"),
    };
    const bool confirmed =
        runConfirmDialog(this, tr("取消更新"), lines,
                         tr("取消后设备上的应用程序不完整，重新更新后才能正常运行。"), tr("继续"),
                         tr("取消更新"));
    // The update may have ended while the user was deciding.
    if (!confirmed || !m_updateInProgress || m_cancelRequested || m_resultPending)
        return;
    m_cancelRequested = true;
    logMessage(tr("正在取消更新…"), Info);
    refreshUiState();
    Q_EMIT requestAbort();
}

void Dialog::onUpdateSuccess()
{
    m_workerUpdating = false;
    m_progressBar->setMaximum(m_progressBar->value());
    m_progressBar->setValue(m_progressBar->maximum());
    // One result per update: a later report changes nothing.
    if (!m_updateInProgress || m_resultPending)
        return;
    m_resultPending = true;
    refreshUiState();
    recordSuccess();
    // From here on the device starts its application; the read-back waits for it.
    startReadBack();
    QTimer::singleShot(kResultPresentationDelay, this, [this] { presentResult(true, QString()); });
}

void Dialog::onUpdateFailed(const QString &error)
{
    m_workerUpdating = false;
    if (!m_updateInProgress || m_resultPending)
        return;

    m_progressBar->setStyleSheet(
        QStringLiteral("QProgressBar::chunk { background-color: %1; border-radius: 4px; }")
            .arg(QLatin1String(Theme::kDanger)));
    m_resultPending = true;
    refreshUiState();
    QTimer::singleShot(kResultPresentationDelay, this,
                       [this, error] { presentResult(false, error); });
    // A failure ends the attempt: nothing is read back after it.
    recordFailure(error);
}

void Dialog::presentResult(bool success, const QString &error)
{
    if (!m_updateInProgress)
        return;
    m_updateInProgress = false;
    m_cancelRequested = false;
    m_resultPending = false;
    m_progressBar->hide();
    m_progressBar->setStyleSheet(QString());
    m_startButton->setVisible(true);
    // The status bar keeps the outcome, also when the line goes away after it.
    m_outcomeStatus = success ? tr("更新完成") : tr("更新失败：%1").arg(error);
    refreshUiState();
    if (success)
        logMessage(tr("固件更新成功"), Success);
    else
        logMessage(tr("更新失败：%1").arg(error), Error);
    // What the read-back saw meanwhile is told after the success.
    for (const auto &step : std::exchange(m_afterSuccess, {}))
        step();
    // A port lost while the result was pending is told now, after the result.
    if (m_disconnectPending) {
        m_disconnectPending = false;
        onDisconnected();
    }
}
