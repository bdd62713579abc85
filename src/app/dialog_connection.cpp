#include "app/dialog.h"

#include "app/layoutmath.h"
#include "app/uistate.h"
#include "ui/theme.h"
#include "ui/widgets.h"

#include <QColor>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QResizeEvent>
#include <QStyle>
#include <QTimer>
#include <QVariant>

void Dialog::toggleConnection()
{
    // The user takes over: a read-back still waiting ends, the last outcome leaves the status bar.
    stopReadBack();
    m_outcomeStatus.clear();
    if (m_connectionState != Disconnected) {
        updateSerialPortState(Disconnecting);
        Q_EMIT requestDisconnect();
        return;
    }
    const QString portName = selectedPortName();
    if (portName.isEmpty()) {
        logMessage(tr("未选择串口。"), Error);
        return;
    }
    updateSerialPortState(Connecting);
    Q_EMIT requestConnect(portName);
}

void Dialog::onConnected()
{
    updateSerialPortState(Connected);
    const QString connected = tr("已连接：%1").arg(selectedPortName());
    // After an update the read-back asks the device itself.
    if (m_readBack->isRunning()) {
        tellAfterSuccess([this, connected] { logMessage(connected, Info); });
        m_readBack->onConnected();
    } else {
        logMessage(connected, Info);
        askIdentity();
    }
}

void Dialog::onDisconnected()
{
    // After a successful update the line going away is the device restarting into its
    // application: the read-back says so and waits for it to come back.
    if (m_readBack->isRunning()) {
        updateSerialPortState(Disconnected);
        dropQueuedCommands();
        showIdentity();
        m_readBack->onDisconnected();
        return;
    }
    // A line lost with a failed update is told after the failure.
    if (m_resultPending) {
        m_disconnectPending = true;
        return;
    }
    updateSerialPortState(Disconnected);
    logMessage(tr("已断开连接"), Info);
    // Commands that waited for the old line must not go to the next one.
    dropQueuedCommands();
    m_quietQueued = QuietQuery::None;
    m_identityPending = false;
    m_startWhenIdentified = false;
    showIdentity();
}

void Dialog::onConnectionFailed(const QString &error)
{
    updateSerialPortState(Disconnected);
    // The read-back tries again while the device is still on its way back.
    if (m_readBack->isRunning()) {
        m_readBack->onConnectionFailed();
        return;
    }
    logMessage(error, Error);
}

void Dialog::onWorkerLog(const QString &message)
{
    queueLogMessage(message, Info);
}

void Dialog::onBaudRateInfo(int baudRate)
{
    m_baudLabel->setText(tr("波特率：%1").arg(baudRate));
    m_baudLabel->show();
}

void Dialog::refreshUiState()
{
    const bool updating = m_updateInProgress;
    const UpdatePhase phase = !updating ? UpdatePhase::None
                              : (m_cancelRequested || m_resultPending) ? UpdatePhase::Stopping
                                                                        : UpdatePhase::Running;
    // A path that its check refused does not count until it changes.
    const QString path = m_pathEdit->text().trimmed();
    const bool hasPath = !path.isEmpty() && path != m_refusedPath;
    const EnabledControls enabled = enabledControls(phase, m_connectionState, hasPath);
    m_connectButton->setEnabled(enabled.connectButton);
    m_portCombo->setEnabled(enabled.portSelector);
    m_browseButton->setEnabled(enabled.browseButton);
    m_pathEdit->setEnabled(enabled.pathField);
    m_startButton->setEnabled(enabled.startButton);
    m_cmdEdit->setEnabled(enabled.commandField);
    m_sendButton->setEnabled(enabled.sendButton);
    m_historyButton->setEnabled(enabled.historyButton);
    m_startButton->setText(startButtonText(phase));
    m_startButton->setToolTip(phase == UpdatePhase::None ? tr("开始更新") : tr("取消正在进行的更新"));

    // The update flow owns the status text while it runs, and keeps the port scan stopped.
    if (updating)
        return;

    if (const auto row = connectionStateRow(m_connectionState)) {
        updateStatus(m_outcomeStatus.isEmpty() ? row->statusText : m_outcomeStatus);
        if (row->connectText)
            m_connectButton->setText(*row->connectText);
        if (row->connectToolTip)
            m_connectButton->setToolTip(*row->connectToolTip);
        setConnectionLedColor(row->ledColour);
        if (row->hideBaudLabel)
            m_baudLabel->hide();
    }

    if (!m_portScanTimer->isActive())
        m_portScanTimer->start();
}

void Dialog::updateSerialPortState(SerialPortState state)
{
    m_connectionState = state;
    refreshUiState();
}

void Dialog::updateStatus(const QString &text)
{
    m_statusText = text;
    fitStatusText();
}

void Dialog::fitStatusText()
{
    // A long failure reason is cut to the label's width; the whole text stays in the tooltip.
    // A window not yet laid out has no width to cut to.
    const int width = m_statusLabel->isVisible() ? m_statusLabel->contentsRect().width() : 0;
    const QString shown = elidedStatusText(m_statusLabel->fontMetrics(), m_statusText, width);
    m_statusLabel->setText(shown);
    m_statusLabel->setToolTip(shown == m_statusText ? QString() : m_statusText);
}

void Dialog::setConnectionLedColor(const QColor &color)
{
    const int side = ledSide(style()->pixelMetric(QStyle::PM_SmallIconSize));
    const qreal ratio = m_connectButton->devicePixelRatio();
    const int deviceSide = ledPixmapSide(side, ratio);

    QPixmap pixmap(deviceSide, deviceSide);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(QRectF(0.5, 0.5, side - 1, side - 1));
    painter.end();

    // The same pixmap in every mode: the button is disabled while connecting and during an update,
    // and a greyed-out LED would no longer tell the state.
    QIcon icon;
    for (const QIcon::Mode mode : {QIcon::Normal, QIcon::Disabled, QIcon::Active, QIcon::Selected})
        icon.addPixmap(pixmap, mode);
    m_connectButton->setIcon(icon);
    m_connectButton->setIconSize(QSize(side, side));
}

void Dialog::positionToast()
{
    if (!m_logToast || !m_logPanel)
        return;
    m_logToast->move(toastPosition(m_logPanel->size(), m_logToast->size()));
}

QString Dialog::selectedPortName() const
{
    // A listed port shows its label and stands for its system name; anything else is a name or
    // a device path the user typed (a pseudo-terminal, a by-id link, COM12).
    const QString text = m_portCombo->currentText().trimmed();
    const int index = m_portCombo->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        return m_portCombo->itemData(index, Qt::UserRole).toString();
    return text;
}

void Dialog::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    if (m_dropOverlay && m_dropOverlay->isVisible())
        m_dropOverlay->setGeometry(0, 0, width(), height());
    refreshUiState();
    if (m_logToast && m_logToast->isVisible() && m_logPanel)
        positionToast();
}
