#include "app/dialog.h"

#include "console/logview.h"
#include "ui/card.h"
#include "ui/theme.h"
#include "ui/widgets.h"

#include <QAbstractItemView>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QPixmap iconCanvas(int deviceWidth, int deviceHeight)
{
    QPixmap pixmap(deviceWidth, deviceHeight);
    pixmap.setDevicePixelRatio(2.0);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

QIcon folderIcon()
{
    QPixmap pixmap = iconCanvas(36, 28);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(8.0 / 7.0, 8.0 / 7.0);
    QPen pen(QColor(QStringLiteral("#E0B54E")), 0.9);
    pen.setJoinStyle(Qt::RoundJoin);

    QPainterPath path;
    path.moveTo(0.9, 3.4);
    path.lineTo(5.0, 3.4);
    path.lineTo(6.2, 4.8);
    path.lineTo(13.1, 4.8);
    path.lineTo(13.1, 10.6);
    path.lineTo(0.9, 10.6);
    path.closeSubpath();
    painter.fillPath(path, QColor(QStringLiteral("#F7D774")));
    painter.strokePath(path, pen);
    painter.fillRect(QRectF(1.4, 5.9, 11.2, 4.2), QColor(QStringLiteral("#FFE9A9")));
    painter.setPen(pen);
    painter.drawLine(QPointF(0.9, 5.9), QPointF(13.1, 5.9));
    painter.end();
    return QIcon(pixmap);
}

QIcon clockIcon()
{
    QPixmap pixmap = iconCanvas(28, 28);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(QLatin1String(Theme::kTextSub)), 1.4);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QRectF(2.2, 2.2, 9.6, 9.6));
    painter.drawLine(QPointF(7, 7), QPointF(7, 4));
    painter.drawLine(QPointF(7, 7), QPointF(9.4, 8.4));
    painter.end();
    return QIcon(pixmap);
}

} // namespace

void Dialog::setupUi()
{
    // Serial card.
    QVBoxLayout *serialBody = nullptr;
    m_serialCard = buildCard(tr("串口"), this, &serialBody);
    m_portCombo = new FlatComboBox(m_serialCard);
    m_portCombo->setFixedHeight(30);
    // Ports the system does not list (a pseudo-terminal, a by-id link, COM12) can be typed.
    m_portCombo->setEditable(true);
    m_portCombo->setInsertPolicy(QComboBox::NoInsert);
    m_portCombo->lineEdit()->setPlaceholderText(tr("选择或输入串口，例如 /dev/ttyUSB0"));
    // The box draws the frame; its field stays plain inside it.
    m_portCombo->lineEdit()->setStyleSheet(
        QStringLiteral("QLineEdit { border: none; background: transparent; padding: 0px; }"));
    m_connectButton = new QPushButton(tr("连接"), m_serialCard);
    m_connectButton->setObjectName(QStringLiteral("connectButton"));
    m_connectButton->setFixedSize(110, 30);
    m_connectButton->setToolTip(tr("连接到选定串口"));
    m_connectButton->setIconSize(QSize(12, 12));
    setConnectionLedColor(QColor(QLatin1String(Theme::kDanger)));
    auto *serialRow = new QHBoxLayout;
    serialRow->setContentsMargins(0, 0, 0, 0);
    serialRow->setSpacing(6);
    serialRow->addWidget(m_portCombo, 1);
    serialRow->addWidget(m_connectButton, 0);
    serialBody->addLayout(serialRow);

    // Firmware card.
    QVBoxLayout *firmwareBody = nullptr;
    m_firmwareCard = buildCard(tr("固件更新"), this, &firmwareBody);
    m_pathEdit = new QLineEdit(m_firmwareCard);
    m_pathEdit->setPlaceholderText(tr("将 .bin 固件文件拖放到此处"));
    m_pathEdit->setFixedHeight(30);
    m_pathCheckTimer = new QTimer(this);
    m_pathCheckTimer->setSingleShot(true);
    m_browseButton = new QPushButton(tr("浏览…"), m_firmwareCard);
    m_browseButton->setObjectName(QStringLiteral("browseButton"));
    m_browseButton->setToolTip(tr("选择固件文件（.bin）"));
    m_browseButton->setFixedSize(110, 30);
    m_browseButton->setIcon(folderIcon());
    m_browseButton->setIconSize(QSize(16, 14));
    auto *pathRow = new QHBoxLayout;
    pathRow->setContentsMargins(0, 0, 0, 0);
    pathRow->setSpacing(6);
    pathRow->setAlignment(Qt::AlignVCenter);
    pathRow->addWidget(m_pathEdit, 1);
    pathRow->addWidget(m_browseButton, 0);
    m_startButton = new QPushButton(tr("开始"), m_firmwareCard);
    m_startButton->setObjectName(QStringLiteral("startButton"));
    m_startButton->setToolTip(tr("开始更新"));
    m_startButton->setFixedHeight(32);
    m_startButton->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_progressBar = new UpdateProgressBar(m_firmwareCard);
    m_progressBar->setTextVisible(false);
    m_progressBar->setFormat(QStringLiteral("%p%"));
    m_progressBar->setFixedHeight(32);
    m_progressBar->hide();
    firmwareBody->addLayout(pathRow);
    firmwareBody->addWidget(m_startButton);
    firmwareBody->addWidget(m_progressBar);

    // Log card.
    QVBoxLayout *logBody = nullptr;
    m_logCard = buildCard(tr("日志与命令"), this, &logBody);
    m_logPanel = new QFrame(m_logCard);
    m_logPanel->setObjectName(QStringLiteral("logPanel"));
    m_logView = new LogView(m_logPanel);
    m_logView->setObjectName(QStringLiteral("logWidget"));
    m_logView->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_logView->setFrameShape(QFrame::NoFrame);
    m_logView->setPlaceholderText(tr("日志输出将显示在这里。"));
    applyLogPalette();
    // Entries added from the queue change the footer too.
    connect(m_logView, &QPlainTextEdit::textChanged, this, &Dialog::updateLogActions);

    m_saveButton = new QPushButton(tr("保存"), m_logPanel);
    m_saveButton->setToolTip(tr("保存日志到文本文件（Ctrl+S）"));
    m_copyButton = new QPushButton(tr("复制"), m_logPanel);
    m_copyButton->setToolTip(tr("复制日志到剪贴板"));
    m_clearButton = new QPushButton(tr("清空"), m_logPanel);
    m_clearButton->setToolTip(tr("清空日志"));
    for (QPushButton *button : {m_saveButton, m_copyButton, m_clearButton}) {
        button->setObjectName(QStringLiteral("logFooterButton"));
        button->setFlat(true);
        button->setFixedHeight(20);
        button->setMinimumWidth(52);
    }
    connect(m_saveButton, &QPushButton::clicked, this, &Dialog::saveLog);
    connect(m_copyButton, &QPushButton::clicked, this, &Dialog::copyLog);
    connect(m_clearButton, &QPushButton::clicked, this, &Dialog::clearLog);
    auto *footerRow = new QHBoxLayout;
    footerRow->setContentsMargins(0, 0, 0, 0);
    footerRow->setSpacing(2);
    footerRow->addStretch(1);
    footerRow->addWidget(m_saveButton);
    footerRow->addWidget(m_copyButton);
    footerRow->addWidget(m_clearButton);

    auto *panelBox = new QVBoxLayout(m_logPanel);
    panelBox->setContentsMargins(8, 7, 8, 4);
    panelBox->setSpacing(2);
    panelBox->addWidget(m_logView, 1);
    panelBox->addLayout(footerRow);

    m_logToast = new QLabel(m_logPanel);
    m_logToast->setObjectName(QStringLiteral("logToast"));
    m_logToast->setAlignment(Qt::AlignCenter);
    m_logToast->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_logToast->hide();
    m_toastTimer = new QTimer(this);
    m_toastTimer->setSingleShot(true);
    connect(m_toastTimer, &QTimer::timeout, m_logToast, &QLabel::hide);

    m_historyButton = new QPushButton(m_logCard);
    m_historyButton->setObjectName(QStringLiteral("historyButton"));
    m_historyButton->setToolTip(tr("历史记录"));
    m_historyButton->setIcon(clockIcon());
    m_historyButton->setIconSize(QSize(14, 14));
    m_historyButton->setFixedSize(30, 30);
    m_cmdEdit = new QLineEdit(m_logCard);
    m_cmdEdit->setObjectName(QStringLiteral("cmdEdit"));
    m_cmdEdit->setPlaceholderText(tr("输入命令，例如 *IDN?"));
    m_cmdEdit->setFixedHeight(30);
    QFont cmdFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    cmdFont.setPointSize(10);
    m_cmdEdit->setFont(cmdFont);
    m_sendButton = new QPushButton(tr("发送"), m_logCard);
    m_sendButton->setObjectName(QStringLiteral("sendButton"));
    m_sendButton->setToolTip(tr("发送（回车）"));
    m_sendButton->setFixedSize(72, 30);
    auto *commandRow = new QHBoxLayout;
    commandRow->setContentsMargins(0, 0, 0, 0);
    commandRow->setSpacing(6);
    commandRow->addWidget(m_historyButton, 0);
    commandRow->addWidget(m_cmdEdit, 1);
    commandRow->addWidget(m_sendButton, 0);
    logBody->addWidget(m_logPanel, 1);
    logBody->addLayout(commandRow);

    // Status bar.
    m_statusLabel = new QLabel(tr("等待连接…"), this);
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    // The bar gives the label its width; a long text is cut to it, never widens the window.
    m_statusLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_statusLabel->installEventFilter(this);
    m_statusText = m_statusLabel->text();
    m_statusBar = new QStatusBar(this);
    m_statusBar->setSizeGripEnabled(false);
    m_statusBar->setContentsMargins(0, 0, 0, 0);
    m_baudLabel = new QLabel(this);
    m_baudLabel->setObjectName(QStringLiteral("baudInfoLabel"));
    m_baudLabel->hide();
    m_deviceLabel = new QLabel(this);
    m_deviceLabel->setObjectName(QStringLiteral("deviceInfoLabel"));
    m_deviceLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_deviceLabel->hide();
    m_statusBar->addWidget(m_statusLabel, 1);
    m_statusBar->addPermanentWidget(m_deviceLabel, 0);
    m_statusBar->addPermanentWidget(m_baudLabel, 0);

    auto *windowBox = new QVBoxLayout(this);
    windowBox->setContentsMargins(10, 10, 10, 10);
    windowBox->setSpacing(10);
    windowBox->addWidget(m_serialCard, 0);
    windowBox->addWidget(m_firmwareCard, 0);
    windowBox->addWidget(m_logCard, 1);
    windowBox->addWidget(m_statusBar, 0);
    setLayout(windowBox);

    fillPortSelector(portEnumerator()());
    updatePortPopupWidth();

    m_startButton->setEnabled(false);
    m_sendButton->setEnabled(false);
    m_cmdEdit->setEnabled(false);
    m_historyButton->setEnabled(false);
    updateLogActions();

    setTabOrder(m_portCombo, m_connectButton);
    setTabOrder(m_connectButton, m_pathEdit);
    setTabOrder(m_pathEdit, m_browseButton);
    setTabOrder(m_browseButton, m_startButton);
    setTabOrder(m_startButton, m_cmdEdit);
    setTabOrder(m_cmdEdit, m_historyButton);
    setTabOrder(m_historyButton, m_sendButton);
}
