#include "station/porttile.h"

#include "ui/widgets.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace {
// Between the tiles of the grid, and around it.
constexpr int kTileGap = 8;
constexpr int kBarHeight = 20;

// The look's name, which the station's style sheet selects the panel's colours on.
const char *lookName(Station::Look look)
{
    switch (look) {
    case Station::Look::Idle:
        return "idle";
    case Station::Look::Working:
        return "working";
    case Station::Look::Passed:
        return "passed";
    case Station::Look::Failed:
        return "failed";
    case Station::Look::Interrupted:
        return "interrupted";
    }
    return "idle";
}

QLabel *label(const char *objectName, QWidget *parent)
{
    auto *l = new QLabel(parent);
    l->setObjectName(QLatin1String(objectName));
    return l;
}
} // namespace

PortTile::PortTile(QWidget *parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("stationTile"));
    auto *box = new QVBoxLayout(this);
    box->setContentsMargins(10, 8, 10, 8);
    box->setSpacing(4);

    auto *header = new QHBoxLayout;
    header->setSpacing(8);
    m_port = label("tilePort", this);
    m_unit = label("tileUnit", this);
    m_unit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    header->addWidget(m_port, 1);
    header->addWidget(m_unit, 0);
    box->addLayout(header);

    m_phase = label("tilePhase", this);
    box->addWidget(m_phase);

    m_panel = new QFrame(this);
    m_panel->setObjectName(QStringLiteral("tileResultPanel"));
    auto *panelBox = new QVBoxLayout(m_panel);
    panelBox->setContentsMargins(8, 4, 8, 4);
    panelBox->setSpacing(0);
    m_big = label("tileResult", m_panel);
    m_big->setAlignment(Qt::AlignCenter);
    m_reason = label("tileReason", m_panel);
    m_reason->setAlignment(Qt::AlignCenter);
    m_reason->setWordWrap(true);
    m_reason->hide();
    panelBox->addWidget(m_big, 1);
    panelBox->addWidget(m_reason, 0);
    box->addWidget(m_panel, 1);
    m_panel->installEventFilter(this);

    auto *progress = new QHBoxLayout;
    progress->setSpacing(8);
    m_bar = new UpdateProgressBar(this);
    m_bar->setTextVisible(false);
    m_bar->setFixedHeight(kBarHeight);
    m_bar->setRange(0, 100);
    m_detail = label("tileDetail", this);
    progress->addWidget(m_bar, 1);
    progress->addWidget(m_detail, 0);
    box->addLayout(progress);

    auto *footer = new QHBoxLayout;
    m_last = label("tileLast", this);
    m_retry = new QPushButton(tr("重试"), this);
    m_retry->setObjectName(QStringLiteral("retryButton"));
    m_retry->setToolTip(tr("再次更新这块设备"));
    m_retry->setFixedHeight(24);
    // Space is the station's 开始/停止 everywhere: a focused 重试 must not take it.
    m_retry->setFocusPolicy(Qt::NoFocus);
    m_retry->setAutoDefault(false);
    footer->addWidget(m_last, 1);
    footer->addWidget(m_retry, 0);
    box->addLayout(footer);
    connect(m_retry, &QPushButton::clicked, this, &PortTile::retryRequested);

    showView(Station::TileView());
}

void PortTile::showView(const Station::TileView &view)
{
    const bool phaseMoved = !m_shown || view.phase != m_view.phase;
    const bool lookMoved = !m_shown || view.look != m_view.look;
    m_view = view;
    m_shown = true;

    m_port->setText(view.port);
    m_port->setToolTip(view.port);
    m_unit->setText(view.unit);
    m_phase->setText(Station::phaseText(view.phase));
    const bool resized = m_big->text().size() != view.big.size();
    m_big->setText(view.big);
    m_reason->setText(view.reason);
    m_reason->setToolTip(view.reason);
    m_reason->setVisible(!view.reason.isEmpty());
    m_bar->setVisible(view.progressShown);
    m_bar->setValue(view.percent);
    m_detail->setText(view.detail);
    m_detail->setVisible(view.progressShown);
    m_last->setText(view.last);
    m_retry->setVisible(view.retryOffered);
    if (resized)
        fitResultText();
    if (lookMoved)
        applyLook(view.look);
    if (phaseMoved)
        Q_EMIT phaseChanged(Station::phaseText(view.phase));
}

void PortTile::applyLook(Station::Look look)
{
    // The colours come from the style sheet, by the look's name on the panel and its labels.
    for (QWidget *widget : {static_cast<QWidget *>(m_panel), static_cast<QWidget *>(m_big),
                            static_cast<QWidget *>(m_reason)}) {
        widget->setProperty("look", QLatin1String(lookName(look)));
        widget->style()->unpolish(widget);
        widget->style()->polish(widget);
    }
}

bool PortTile::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_panel && event->type() == QEvent::Resize)
        fitResultText();
    return QFrame::eventFilter(watched, event);
}

void PortTile::fitResultText()
{
    // The result as large as its panel allows; the label's own sheet outranks the window's
    // font size.
    const int pixels = Station::resultFontPixels(m_panel->size(), int(m_big->text().size()));
    if (pixels == m_resultPixels)
        return;
    m_resultPixels = pixels;
    m_big->setStyleSheet(QStringLiteral("font-size: %1px; font-weight: bold;").arg(pixels));
    m_reason->setStyleSheet(QStringLiteral("font-size: %1px;").arg(qBound(13, pixels / 3, 28)));
}

void TileGrid::setTiles(const QList<PortTile *> &tiles)
{
    qDeleteAll(m_tiles);
    m_tiles = tiles;
    for (PortTile *tile : tiles) {
        tile->setParent(this);
        tile->show();
    }
    placeTiles();
}

void TileGrid::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeTiles();
}

void TileGrid::placeTiles()
{
    const QSize area(width() + kTileGap, height() + kTileGap);
    const Station::GridShape shape = Station::gridShape(int(m_tiles.size()), area);
    if (shape.columns == 0)
        return;
    // Each cell holds a tile and the gap to its right and below; the last ones' gap lies outside.
    const int cellWidth = area.width() / shape.columns;
    const int cellHeight = area.height() / shape.rows;
    for (int i = 0; i < m_tiles.size(); ++i) {
        const int column = i % shape.columns;
        const int row = i / shape.columns;
        m_tiles[i]->setGeometry(column * cellWidth, row * cellHeight, cellWidth - kTileGap,
                                cellHeight - kTileGap);
    }
}
