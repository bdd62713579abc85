#include "app/dialog.h"

#include "ui/theme.h"
#include "ui/widgets.h"
#include "update/firmwarecheck.h"
#include "update/firmwarerules.h"

#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QTimer>
#include <QUrl>

#include <chrono>

using namespace std::chrono_literals;

namespace {
// How long the path field keeps its red frame after a refused drop.
constexpr auto kRefusedDropFrame = 800ms;
} // namespace

int Dialog::firmwareSizeLimit() const
{
    return FirmwareCheck::storedSizeLimit(*m_settings);
}

bool Dialog::validateFirmwareFile(const QString &path)
{
    const QString reason = FirmwareCheck::refusalFor(path, firmwareSizeLimit());
    if (reason.isEmpty())
        return true;
    logMessage(reason, Error);
    return false;
}

void Dialog::acceptFirmwareFile(const QString &path)
{
    m_pathCheckTimer->stop();
    m_checkedPath = path;
    m_refusedPath.clear();
    m_pathEdit->setText(path);
    m_pathEdit->setToolTip(path);
    logMessage(tr("已加载固件：%1").arg(path), Info);
    refreshUiState();
}

void Dialog::checkTypedPath()
{
    m_pathCheckTimer->stop();
    const QString path = m_pathEdit->text().trimmed();
    // A pause and then Return on the same text are one check, with one message.
    if (!path.isEmpty() && path != m_checkedPath) {
        m_checkedPath = path;
        if (validateFirmwareFile(path)) {
            m_refusedPath.clear();
            m_pathEdit->setToolTip(path);
            logMessage(tr("已加载固件：%1").arg(path), Info);
        } else {
            m_refusedPath = path; // 开始 stays off until the path changes
        }
    }
    refreshUiState();
}

void Dialog::browse()
{
    const QString folder =
        FirmwareCheck::browseFolder(m_pathEdit->text().trimmed(), m_lastBrowseFolder);
    const QString path = QFileDialog::getOpenFileName(this, tr("选择固件文件"), folder,
                                                      tr("固件文件 (*.bin);;所有文件 (*)"));
    if (path.isEmpty())
        return;
    m_lastBrowseFolder = QFileInfo(path).absolutePath();
    if (!validateFirmwareFile(path))
        return;
    acceptFirmwareFile(path);
}

void Dialog::showDropOverlay()
{
    m_dropOverlay->setGeometry(0, 0, width(), height());
    m_dropOverlay->raise();
    m_dropOverlay->show();
}

void Dialog::hideDropOverlay()
{
    m_dropOverlay->hide();
}

void Dialog::dragEnterEvent(QDragEnterEvent *event)
{
    if (!m_updateInProgress && event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
        showDropOverlay();
    } else {
        event->ignore();
    }
}

void Dialog::dragMoveEvent(QDragMoveEvent *event)
{
    if (!m_updateInProgress && event->mimeData()->hasUrls())
        event->acceptProposedAction();
    else
        event->ignore();
}

void Dialog::dragLeaveEvent(QDragLeaveEvent *event)
{
    hideDropOverlay();
    QDialog::dragLeaveEvent(event);
}

void Dialog::dropEvent(QDropEvent *event)
{
    hideDropOverlay();
    // The path must not change under a running update.
    if (m_updateInProgress) {
        event->ignore();
        return;
    }

    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl &url : urls) {
        if (!url.isLocalFile())
            continue;
        const QString path = url.toLocalFile();
        if (!FirmwareRules::hasBinSuffix(path) || !validateFirmwareFile(path))
            continue;
        acceptFirmwareFile(path);
        event->acceptProposedAction();
        return;
    }

    logMessage(tr("不支持的文件类型，请拖入 .bin 文件。"), Error);
    m_pathEdit->setStyleSheet(
        QStringLiteral("QLineEdit { border: 2px solid %1; }").arg(QLatin1String(Theme::kDanger)));
    QTimer::singleShot(kRefusedDropFrame, this, [this] { m_pathEdit->setStyleSheet(QString()); });
    event->ignore();
}
