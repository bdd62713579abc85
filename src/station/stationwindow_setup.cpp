#include "station/stationwindow.h"

#include "production/imagefacts.h"
#include "station/porttile.h"
#include "ui/theme.h"
#include "ui/widgets.h"
#include "update/firmwarecheck.h"
#include "update/firmwarerules.h"

#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QTreeWidget>
#include <QUrl>

namespace {
// Characters of the SHA-256 shown beside the image; the tooltip has all of them.
constexpr int kShortHashChars = 8;
// A typed port name longer than this is no port.
constexpr int kMaxTypedPortChars = 1024;

enum Column { NameColumn, DescriptionColumn, SerialColumn, VidPidColumn };
} // namespace

bool StationWindow::chooseImage(const QString &path)
{
    // The image is locked while the station runs.
    if (isRunning())
        return false;
    QString why;
    const std::optional<Production::ImageFacts> facts =
        Production::readImageFacts(path, FirmwareCheck::storedSizeLimit(*m_settings), &why);
    if (!facts) {
        setStatus(why, true);
        return false;
    }
    const bool plausible = facts->checkReason.isEmpty();
    // An image the bootloader may not start goes out only when the operator says so, once.
    if (!plausible &&
        !runConfirmDialog(this, tr("确认固件"),
                          {tr("文件：%1").arg(facts->fileName),
                           tr("大小：%1 KB").arg(FirmwareRules::sizeText(facts->size)),
                           tr("SHA-256：%1").arg(facts->sha256.left(kShortHashChars))},
                          tr("引导程序可能无法启动这个映像：烧录后设备可能无法运行。"), tr("取消"),
                          tr("仍然使用"), facts->checkReason)) {
        return false;
    }
    // The confirmation runs its own event loop: a run may have started meanwhile.
    if (isRunning())
        return false;
    m_image = *facts;
    m_imageConfirmed = !plausible;
    m_lastBrowseFolder = QFileInfo(m_image.path).absolutePath();
    showImage();
    setStatus(tr("已载入固件：%1").arg(m_image.path));
    refreshControls();
    return true;
}

bool StationWindow::chooseImageQuietly(const QString &path)
{
    QString why;
    const std::optional<Production::ImageFacts> facts =
        Production::readImageFacts(path, FirmwareCheck::storedSizeLimit(*m_settings), &why);
    if (!facts || !facts->checkReason.isEmpty())
        return false;
    m_image = *facts;
    m_imageConfirmed = false;
    showImage();
    return true;
}

void StationWindow::clearImage()
{
    m_image = Production::ImageFacts();
    m_imageConfirmed = false;
    showImage();
    refreshControls();
}

void StationWindow::showImage()
{
    if (m_image.path.isEmpty()) {
        m_imageName->setText(tr("将 .bin 固件文件拖放到窗口上，或点击浏览…"));
        m_imageName->setToolTip(QString());
        m_imageFacts->clear();
        m_imageVerdict->clear();
        return;
    }
    m_imageName->setText(m_image.fileName);
    m_imageName->setToolTip(m_image.path);
    m_imageFacts->setText(tr("%1 字节（%2 KB） · SHA-256 %3")
                              .arg(m_image.size)
                              .arg(FirmwareRules::sizeText(m_image.size),
                                   m_image.sha256.left(kShortHashChars)));
    m_imageFacts->setToolTip(tr("SHA-256：%1").arg(m_image.sha256));
    if (m_image.checkReason.isEmpty()) {
        m_imageVerdict->setText(tr("映像检查：可由引导程序启动"));
        m_imageVerdict->setStyleSheet(QString());
    } else {
        m_imageVerdict->setText(tr("映像检查：%1（已确认仍然使用）").arg(m_image.checkReason));
        m_imageVerdict->setStyleSheet(
            QStringLiteral("color: %1;").arg(QLatin1String(Theme::kDanger)));
    }
}

void StationWindow::browse()
{
    if (isRunning())
        return;
    const QString folder = FirmwareCheck::browseFolder(m_image.path, m_lastBrowseFolder);
    const QString path = QFileDialog::getOpenFileName(this, tr("选择固件文件"), folder,
                                                      tr("固件文件 (*.bin);;所有文件 (*)"));
    if (path.isEmpty())
        return;
    m_lastBrowseFolder = QFileInfo(path).absolutePath();
    chooseImage(path);
}

void StationWindow::dragEnterEvent(QDragEnterEvent *event)
{
    // The image is locked while the station runs.
    if (isRunning() || !event->mimeData()->hasUrls()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    m_dropOverlay->setGeometry(rect());
    m_dropOverlay->raise();
    m_dropOverlay->show();
}

void StationWindow::dragMoveEvent(QDragMoveEvent *event)
{
    if (isRunning() || !event->mimeData()->hasUrls())
        event->ignore();
    else
        event->acceptProposedAction();
}

void StationWindow::dragLeaveEvent(QDragLeaveEvent *event)
{
    m_dropOverlay->hide();
    QDialog::dragLeaveEvent(event);
}

void StationWindow::dropEvent(QDropEvent *event)
{
    m_dropOverlay->hide();
    if (isRunning()) {
        event->ignore();
        return;
    }
    for (const QUrl &url : event->mimeData()->urls()) {
        if (url.isLocalFile() && FirmwareRules::hasBinSuffix(url.toLocalFile())) {
            event->acceptProposedAction();
            chooseImage(url.toLocalFile());
            return;
        }
    }
    setStatus(tr("不支持的文件类型，请拖入 .bin 文件。"), true);
    event->ignore();
}

QStringList StationWindow::tickedPorts() const
{
    // In the list's order, which is the tiles' order.
    QStringList ports;
    for (int i = 0; i < m_portList->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = m_portList->topLevelItem(i);
        if (item->checkState(NameColumn) == Qt::Checked)
            ports << item->data(NameColumn, Qt::UserRole).toString();
    }
    return ports;
}

void StationWindow::scanPorts()
{
    const QList<PortListing> ports = systemSerialPorts();
    bool same = ports.size() == m_systemPorts.size();
    for (int i = 0; same && i < ports.size(); ++i)
        same = ports[i].name == m_systemPorts[i].name &&
               ports[i].serialNumber == m_systemPorts[i].serialNumber;
    if (same && m_portList->topLevelItemCount() > 0)
        return;
    m_systemPorts = ports;
    fillPortList();
}

void StationWindow::fillPortList()
{
    // Listed: the system's ports, then the typed ones, then ticked ones that are gone (a ticked
    // adapter that is unplugged stays on the list, ticked).
    QList<PortListing> entries = m_systemPorts;
    QStringList names;
    for (const PortListing &port : std::as_const(entries))
        names << port.name;
    for (const QStringList &more : {m_addedPorts, m_ticked}) {
        for (const QString &name : more) {
            if (names.contains(name))
                continue;
            names << name;
            const bool typed = m_addedPorts.contains(name);
            entries << PortListing(name, typed ? tr("手动添加") : tr("未找到"));
        }
    }

    const QSignalBlocker blocker(m_portList);
    m_portList->clear();
    for (const PortListing &port : std::as_const(entries)) {
        auto *item = new QTreeWidgetItem(m_portList);
        item->setText(NameColumn, port.name);
        item->setData(NameColumn, Qt::UserRole, port.name);
        item->setText(DescriptionColumn, port.description);
        item->setText(SerialColumn, port.serialNumber);
        item->setText(VidPidColumn, vidPidText(port));
        item->setToolTip(NameColumn, portDetails(port));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(NameColumn,
                            m_ticked.contains(port.name) ? Qt::Checked : Qt::Unchecked);
    }
}

void StationWindow::onPortItemChanged(QTreeWidgetItem *item)
{
    const QString port = item->data(NameColumn, Qt::UserRole).toString();
    const bool ticked = item->checkState(NameColumn) == Qt::Checked;
    if (isRunning()) {
        // The list is locked while running; a change that slips through is undone.
        const QSignalBlocker blocker(m_portList);
        item->setCheckState(NameColumn, m_ticked.contains(port) ? Qt::Checked : Qt::Unchecked);
        return;
    }
    if (ticked && !m_ticked.contains(port)) {
        if (m_ticked.size() >= Station::kMaxPorts) {
            const QSignalBlocker blocker(m_portList);
            item->setCheckState(NameColumn, Qt::Unchecked);
            setStatus(tr("最多同时烧录 %1 个串口。").arg(Station::kMaxPorts), true);
            return;
        }
        m_ticked << port;
    } else if (!ticked) {
        m_ticked.removeAll(port);
    }
    buildTiles();
    refreshControls();
}

void StationWindow::addPort(const QString &typed)
{
    const QString port = typed.trimmed();
    if (port.isEmpty() || isRunning())
        return;
    if (port.size() > kMaxTypedPortChars) {
        setStatus(tr("串口名称过长。"), true);
        return;
    }
    bool listed = false;
    for (const PortListing &listing : std::as_const(m_systemPorts))
        listed = listed || listing.name == port;
    if (!listed && !m_addedPorts.contains(port))
        m_addedPorts << port;
    if (!m_ticked.contains(port)) {
        if (m_ticked.size() >= Station::kMaxPorts)
            setStatus(tr("最多同时烧录 %1 个串口。").arg(Station::kMaxPorts), true);
        else
            m_ticked << port;
    }
    fillPortList();
    buildTiles();
    refreshControls();
}

void StationWindow::addTypedPort()
{
    addPort(m_addPortEdit->text());
    m_addPortEdit->clear();
}

void StationWindow::refreshControls()
{
    const bool running = isRunning();
    // The image and the ports are locked while the station runs.
    m_browseButton->setEnabled(!running);
    m_versionEdit->setEnabled(!running);
    m_portList->setEnabled(!running);
    m_addPortEdit->setEnabled(!running);
    m_addPortButton->setEnabled(!running);

    const QString refusal = Station::startRefusal(!m_image.path.isEmpty(), int(m_ticked.size()),
                                                  m_versionEdit->text().trimmed());
    if (running) {
        m_startButton->setText(m_stopping ? tr("正在停止…") : tr("停止"));
        m_startButton->setEnabled(!m_stopping);
        m_startButton->setToolTip(tr("停止所有串口：正在传输的设备会收到取消（空格键）"));
    } else {
        m_startButton->setText(tr("开始"));
        m_startButton->setEnabled(refusal.isEmpty());
        m_startButton->setToolTip(refusal.isEmpty() ? tr("开始烧录所有勾选的串口（空格键）")
                                                    : refusal);
    }
    if (m_startButton->property("running").toBool() != running) {
        m_startButton->setProperty("running", running);
        m_startButton->style()->unpolish(m_startButton);
        m_startButton->style()->polish(m_startButton);
    }
}
