#pragma once

#include "station/stationrules.h"

#include <QFrame>
#include <QList>
#include <QWidget>

class QLabel;
class QPushButton;
class UpdateProgressBar;

// One port's tile on the station: the port, the unit, the phase, the progress with its rate and
// time left, and the result in large text on a coloured panel (grey, blue, green, red, orange)
// that reads from two metres. Shows a TileView; 重试 asks for the failed board again.
class PortTile : public QFrame
{
    Q_OBJECT

public:
    explicit PortTile(QWidget *parent = nullptr);

    void showView(const Station::TileView &view);
    const Station::TileView &view() const { return m_view; }

Q_SIGNALS:
    void retryRequested();
    // The phase the tile shows changed (its text).
    void phaseChanged(const QString &phase);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applyLook(Station::Look look);
    void fitResultText();

    Station::TileView m_view;
    bool m_shown = false;
    int m_resultPixels = 0;
    QLabel *m_port = nullptr;
    QLabel *m_unit = nullptr;
    QLabel *m_phase = nullptr;
    QFrame *m_panel = nullptr;
    QLabel *m_big = nullptr;
    QLabel *m_reason = nullptr;
    UpdateProgressBar *m_bar = nullptr;
    QLabel *m_detail = nullptr;
    QLabel *m_last = nullptr;
    QPushButton *m_retry = nullptr;
};

// The tiles in the grid that fits the area best (Station::gridShape), resized with it.
class TileGrid : public QWidget
{
    Q_OBJECT

public:
    using QWidget::QWidget;

    // Takes the tiles (their parent becomes the grid); earlier tiles are deleted.
    void setTiles(const QList<PortTile *> &tiles);
    const QList<PortTile *> &tiles() const { return m_tiles; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void placeTiles();

    QList<PortTile *> m_tiles;
};
