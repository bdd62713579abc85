#include "station/stationwindow.h"

#include "records/recordstore.h"
#include "station/porttile.h"
#include "station/recordqueue.h"
#include "ui/appicon.h"
#include "ui/card.h"
#include "ui/theme.h"
#include "ui/widgets.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <chrono>

using namespace std::chrono_literals;

namespace {
// The station's own keys in the store it shares with the window.
const QString kImageKey = QStringLiteral("station/image");
const QString kVersionKey = QStringLiteral("station/expectedVersion");
const QString kTickedKey = QStringLiteral("station/tickedPorts");
const QString kAddedKey = QStringLiteral("station/addedPorts");
const QString kGeometryKey = QStringLiteral("station/windowGeometry");
// The window's key, read only: where the records go.
const QString kRecordsUrlKey = QStringLiteral("recordsUrl");

// A list read from the store is untrusted: at most this many names, each at most this long.
constexpr int kMaxStoredPorts = 64;
constexpr int kMaxPortNameChars = 1024;
constexpr int kSetupWidth = 400;
// Closing during a run: the stop's own deadline, then this much for the threads and records.
constexpr auto kCloseWait = 3000ms;

// The station's rules on top of the window's sheet: the tiles and their result panels, and the
// stop button in the danger colours. Pass green and the interrupted amber are not in the palette.
const char kStationSheet[] =
    "QFrame#stationTile { background-color: ${cardBg}; border: 1px solid ${cardBorder};"
    "    border-radius: 8px; }"
    "QLabel#tilePort { color: ${textMain}; font-size: 15px; font-weight: bold; }"
    "QLabel#tileUnit { color: ${textSub}; font-size: 13px; }"
    "QLabel#tilePhase { color: ${textStrong}; font-size: 14px; }"
    "QLabel#tileDetail, QLabel#tileLast { color: ${textSub}; font-size: 12px; }"
    "QFrame#tileResultPanel { border-radius: 6px; background-color: ${separator}; }"
    "QFrame#tileResultPanel[look=\"working\"] { background-color: ${fieldSelectionBg}; }"
    "QFrame#tileResultPanel[look=\"passed\"] { background-color: @pass@; }"
    "QFrame#tileResultPanel[look=\"failed\"] { background-color: ${danger}; }"
    "QFrame#tileResultPanel[look=\"interrupted\"] { background-color: @amber@; }"
    "QLabel#tileResult, QLabel#tileReason { background: transparent; color: ${textSub}; }"
    "QLabel#tileResult[look=\"working\"] { color: ${accent}; }"
    "QLabel#tileResult[look=\"passed\"], QLabel#tileReason[look=\"passed\"],"
    "QLabel#tileResult[look=\"failed\"], QLabel#tileReason[look=\"failed\"] { color: #ffffff; }"
    "QLabel#tileResult[look=\"interrupted\"] { color: ${textMain}; }"
    "QPushButton#retryButton { padding: 0 14px; font-weight: bold; }"
    "QPushButton#startButton[running=\"true\"] { background-color: ${danger};"
    "    border-color: ${danger}; }"
    "QPushButton#startButton[running=\"true\"]:hover { background-color: ${dangerHover};"
    "    border-color: ${dangerHover}; }"
    "QLabel#counterValue { color: ${textMain}; font-size: 22px; font-weight: bold; }"
    "QLabel#counterName { color: ${textSub}; font-size: 12px; }"
    "QLabel#imageName { color: ${textMain}; font-weight: bold; }"
    "QLabel#imageFacts { color: ${textSub}; font-size: 12px; }"
    "QLabel#imageVerdict { font-size: 12px; }"
    "QTreeWidget, QListWidget { background-color: ${surface}; border: 1px solid ${fieldBorder};"
    "    border-radius: 4px; color: ${textMain}; }"
    "QTreeWidget:disabled, QListWidget:disabled { color: ${disabledText}; }";

QString stationStyleSheet()
{
    QString sheet = Theme::fillPalette(QString::fromUtf8(kStationSheet));
    sheet.replace(QStringLiteral("@pass@"), QLatin1String(Theme::kPassGreen));
    sheet.replace(QStringLiteral("@amber@"), QLatin1String(Theme::kLedAmber));
    return Theme::windowStyleSheet() + sheet;
}

// A counter: its value large above its name.
QLabel *addCounter(QHBoxLayout *row, const QString &name, const char *objectName)
{
    auto *box = new QVBoxLayout;
    box->setSpacing(0);
    auto *value = new QLabel(QStringLiteral("0"));
    value->setObjectName(QStringLiteral("counterValue"));
    value->setProperty("counter", QLatin1String(objectName));
    value->setAccessibleName(name);
    auto *label = new QLabel(name);
    label->setObjectName(QStringLiteral("counterName"));
    box->addWidget(value);
    box->addWidget(label);
    row->addLayout(box, 1);
    return value;
}

// Port names from the store: strings only, not empty, not too long, each once, at most so many.
QStringList storedPortList(const QVariant &value)
{
    QStringList ports;
    for (const QString &port : value.toStringList()) {
        const QString name = port.trimmed();
        if (!name.isEmpty() && name.size() <= kMaxPortNameChars && !ports.contains(name))
            ports << name;
        if (ports.size() >= kMaxStoredPorts)
            break;
    }
    return ports;
}
} // namespace

StationWindow::StationWindow(QWidget *parent)
    : QDialog(parent)
    , m_settings(new QSettings(QStringLiteral("YourCompany"), QStringLiteral("YourApp"), this))
{
    setStyleSheet(stationStyleSheet());
    setupUi();
    setWindowTitle(tr("Orvane产线烧录"));
    setWindowIcon(stationIcon());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint);
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setAcceptDrops(true);

    // Space is 开始/停止 wherever the focus is, except in a field being typed into.
    auto *space = new QShortcut(QKeySequence(Qt::Key_Space), this);
    space->setContext(Qt::WindowShortcut);
    connect(space, &QShortcut::activated, this, &StationWindow::toggleRun);

    QString url = m_settings->value(kRecordsUrlKey).toString().trimmed();
    if (url.isEmpty())
        url = RecordStore::defaultUrl();
    m_records = new RecordQueue(url, this);
    connect(m_records, &RecordQueue::appended, this,
            [this](RecordKeeper::Written written, const QString &message) {
                if (written != RecordKeeper::Written::Stored)
                    setStatus(message, true);
            });
    connect(m_records, &RecordQueue::storeProblem, this,
            [this](const QString &message) { setStatus(message, true); });

    m_portScan.setInterval(2000ms);
    connect(&m_portScan, &QTimer::timeout, this, &StationWindow::scanPorts);
    m_repaint.setInterval(100ms);
    connect(&m_repaint, &QTimer::timeout, this, &StationWindow::paintDirtyTiles);
    m_clock.setInterval(1000ms);
    connect(&m_clock, &QTimer::timeout, this, &StationWindow::showCounters);
    m_stopDeadline.setSingleShot(true);
    connect(&m_stopDeadline, &QTimer::timeout, this, [this] {
        for (PortSession *session : std::as_const(m_sessions))
            session->forceEnd();
    });

    loadSettings();
    scanPorts();
    m_portScan.start();
}

StationWindow::~StationWindow()
{
    // A window destroyed without closing (a test, the end of main) still ends its run.
    if (isRunning()) {
        m_stopping = true;
        // A transfer under way is cancelled on the device (CAN), as 停止 does, and recorded now.
        for (PortSession *session : std::as_const(m_sessions)) {
            session->interrupt();
            session->forceEnd();
        }
        endRun();
    }
    saveSettings();
    m_records->finish(QDeadlineTimer(kCloseWait));
}

void StationWindow::setupUi()
{
    auto *left = new QVBoxLayout;
    left->setSpacing(10);
    left->addWidget(setupSetupCard(), 3);
    left->addWidget(setupResultsCard(), 2);
    auto *columns = new QHBoxLayout;
    columns->setSpacing(10);
    columns->addLayout(left, 0);
    columns->addWidget(setupRunCard(), 1);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("statusLabel"));
    m_status->setWordWrap(false);
    auto *statusBar = new QStatusBar(this);
    statusBar->setSizeGripEnabled(false);
    statusBar->setContentsMargins(0, 0, 0, 0);
    statusBar->addWidget(m_status, 1);

    auto *box = new QVBoxLayout(this);
    box->setContentsMargins(10, 10, 10, 10);
    box->setSpacing(10);
    box->addLayout(columns, 1);
    box->addWidget(statusBar, 0);

    m_dropOverlay = new DropOverlay(this);
    m_dropOverlay->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_dropOverlay->setAttribute(Qt::WA_NoSystemBackground);
    m_dropOverlay->setFocusPolicy(Qt::NoFocus);
    m_dropOverlay->hide();

    const QScreen *screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
    resize(area.size() * 0.9);
    setMinimumSize(900, 600);
}

QWidget *StationWindow::setupSetupCard()
{
    QVBoxLayout *body = nullptr;
    QFrame *card = buildCard(tr("设置"), this, &body);
    card->setFixedWidth(kSetupWidth);

    auto *imageTitle = new QLabel(tr("固件"), card);
    imageTitle->setObjectName(QStringLiteral("cardTitle"));
    body->addWidget(imageTitle);
    auto *imageRow = new QHBoxLayout;
    imageRow->setSpacing(6);
    m_imageName = new QLabel(card);
    m_imageName->setObjectName(QStringLiteral("imageName"));
    m_imageName->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_browseButton = new QPushButton(tr("浏览…"), card);
    m_browseButton->setObjectName(QStringLiteral("browseButton"));
    m_browseButton->setToolTip(tr("选择固件文件（.bin），也可以拖放到窗口上"));
    m_browseButton->setFixedSize(90, 30);
    m_browseButton->setFocusPolicy(Qt::ClickFocus);
    imageRow->addWidget(m_imageName, 1);
    imageRow->addWidget(m_browseButton, 0);
    body->addLayout(imageRow);
    m_imageFacts = new QLabel(card);
    m_imageFacts->setObjectName(QStringLiteral("imageFacts"));
    m_imageFacts->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_imageVerdict = new QLabel(card);
    m_imageVerdict->setObjectName(QStringLiteral("imageVerdict"));
    m_imageVerdict->setWordWrap(true);
    body->addWidget(m_imageFacts);
    body->addWidget(m_imageVerdict);
    connect(m_browseButton, &QPushButton::clicked, this, &StationWindow::browse);

    auto *versionTitle = new QLabel(tr("期望版本（可选）"), card);
    versionTitle->setObjectName(QStringLiteral("cardTitle"));
    body->addSpacing(6);
    body->addWidget(versionTitle);
    m_versionEdit = new QLineEdit(card);
    m_versionEdit->setObjectName(QStringLiteral("versionEdit"));
    m_versionEdit->setPlaceholderText(tr("更新后读回并核对的版本，例如 1.0.39"));
    m_versionEdit->setFixedHeight(30);
    body->addWidget(m_versionEdit);
    connect(m_versionEdit, &QLineEdit::textChanged, this, &StationWindow::refreshControls);

    auto *portTitle = new QLabel(tr("串口（勾选要烧录的，最多 %1 个）").arg(Station::kMaxPorts), card);
    portTitle->setObjectName(QStringLiteral("cardTitle"));
    body->addSpacing(6);
    body->addWidget(portTitle);
    m_portList = new QTreeWidget(card);
    m_portList->setObjectName(QStringLiteral("portList"));
    m_portList->setHeaderLabels({tr("串口"), tr("描述"), tr("USB 序列号"), tr("VID:PID")});
    m_portList->setRootIsDecorated(false);
    m_portList->setUniformRowHeights(true);
    m_portList->setFocusPolicy(Qt::ClickFocus);
    m_portList->header()->setStretchLastSection(false);
    m_portList->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    body->addWidget(m_portList, 1);
    connect(m_portList, &QTreeWidget::itemChanged, this, &StationWindow::onPortItemChanged);

    auto *addRow = new QHBoxLayout;
    addRow->setSpacing(6);
    m_addPortEdit = new QLineEdit(card);
    m_addPortEdit->setObjectName(QStringLiteral("addPortEdit"));
    m_addPortEdit->setPlaceholderText(tr("串口名称或路径，例如 /dev/serial/by-id/…"));
    m_addPortEdit->setFixedHeight(30);
    m_addPortButton = new QPushButton(tr("添加"), card);
    m_addPortButton->setObjectName(QStringLiteral("addPortButton"));
    m_addPortButton->setFixedSize(72, 30);
    m_addPortButton->setFocusPolicy(Qt::ClickFocus);
    m_addPortButton->setAutoDefault(false);
    addRow->addWidget(m_addPortEdit, 1);
    addRow->addWidget(m_addPortButton, 0);
    body->addLayout(addRow);
    connect(m_addPortButton, &QPushButton::clicked, this, &StationWindow::addTypedPort);
    connect(m_addPortEdit, &QLineEdit::returnPressed, this, &StationWindow::addTypedPort);
    return card;
}

QWidget *StationWindow::setupRunCard()
{
    QVBoxLayout *body = nullptr;
    QFrame *card = buildCard(tr("烧录"), this, &body);

    auto *controls = new QHBoxLayout;
    controls->setSpacing(16);
    m_startButton = new QPushButton(tr("开始"), card);
    m_startButton->setObjectName(QStringLiteral("startButton"));
    m_startButton->setToolTip(tr("开始或停止所有勾选的串口（空格键）"));
    m_startButton->setFixedSize(160, 44);
    m_startButton->setFocusPolicy(Qt::NoFocus);
    m_startButton->setAutoDefault(false);
    connect(m_startButton, &QPushButton::clicked, this, &StationWindow::toggleRun);
    controls->addWidget(m_startButton, 0);
    m_passed = addCounter(controls, tr("通过"), "passed");
    m_failed = addCounter(controls, tr("失败"), "failed");
    m_yield = addCounter(controls, tr("良率"), "yield");
    m_perHour = addCounter(controls, tr("每小时"), "perHour");
    body->addLayout(controls);

    m_grid = new TileGrid(card);
    m_grid->setObjectName(QStringLiteral("tileGrid"));
    body->addWidget(m_grid, 1);
    showCounters();
    return card;
}

QWidget *StationWindow::setupResultsCard()
{
    QVBoxLayout *body = nullptr;
    QFrame *card =
        buildCard(tr("最近 %1 块的结果").arg(Station::kRecentResults), this, &body);
    card->setFixedWidth(kSetupWidth);
    m_results = new QListWidget(card);
    m_results->setObjectName(QStringLiteral("resultList"));
    m_results->setFocusPolicy(Qt::NoFocus);
    m_results->setSelectionMode(QAbstractItemView::NoSelection);
    body->addWidget(m_results, 1);
    return card;
}

void StationWindow::setStatus(const QString &text, bool problem)
{
    m_status->setText(text);
    m_status->setToolTip(text);
    m_status->setStyleSheet(problem ? QStringLiteral("color: %1;").arg(QLatin1String(Theme::kDanger))
                                    : QString());
}

void StationWindow::keyPressEvent(QKeyEvent *event)
{
    // Escape never closes the station.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    if (unitsRunning() &&
        !runConfirmDialog(this, tr("烧录进行中"), {tr("有设备正在更新。")},
                          tr("现在关闭会中止这些更新，设备可能无法启动，需要重新烧录。"), tr("取消"),
                          tr("仍然关闭"))) {
        event->ignore();
        return;
    }
    if (isRunning()) {
        // The devices are told (the worker's cancel), then the threads and records end, each
        // wait bounded.
        stop();
        QEventLoop wait;
        QTimer limit;
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, &wait, &QEventLoop::quit);
        QTimer poll;
        connect(&poll, &QTimer::timeout, &wait, [this, &wait] {
            if (!isRunning())
                wait.quit();
        });
        limit.start(kCloseWait);
        poll.start(20ms);
        wait.exec(QEventLoop::ExcludeUserInputEvents);
        if (isRunning()) {
            for (PortSession *session : std::as_const(m_sessions))
                session->forceEnd();
            endRun();
        }
    }
    event->accept();
}

void StationWindow::loadSettings()
{
    m_addedPorts = storedPortList(m_settings->value(kAddedKey));
    m_ticked = storedPortList(m_settings->value(kTickedKey));
    m_versionEdit->setText(m_settings->value(kVersionKey).toString().trimmed().left(64));
    const QString image = m_settings->value(kImageKey).toString();
    if (!image.isEmpty() && image.size() <= kMaxPortNameChars) {
        m_lastBrowseFolder = QFileInfo(image).absolutePath();
        // Taken again only when it still passes every check without a question; an image that
        // needed 仍然使用 is asked for again.
        chooseImageQuietly(image);
    }
    const QByteArray geometry = m_settings->value(kGeometryKey).toByteArray();
    if (!geometry.isEmpty() && restoreGeometry(geometry)) {
        const QRect frame = frameGeometry();
        if (!QGuiApplication::screenAt(frame.center()))
            move(0, 0);
    }
    buildTiles();
    refreshControls();
}

void StationWindow::saveSettings()
{
    m_settings->setValue(kImageKey, m_image.path);
    m_settings->setValue(kVersionKey, m_versionEdit->text().trimmed());
    m_settings->setValue(kTickedKey, m_ticked);
    m_settings->setValue(kAddedKey, m_addedPorts);
    m_settings->setValue(kGeometryKey, saveGeometry());
}
