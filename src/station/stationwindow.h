#pragma once

// StationWindow: fwstation, the production line's window. One image chosen once, a tick for each
// port, and then board after board on every ticked port at once, each port with its tile. Its
// members live in one source file per subsystem:
//   stationwindow.cpp        construction, style, layout, Space, closing, the settings
//   stationwindow_setup.cpp  the set-up area: the image (browse, drop, check, 仍然使用), the
//                            expected version, the port list with its ticks, adding a port
//   stationwindow_run.cpp    开始/停止, one PortSession per ticked port, the tiles, the counters,
//                            the result list and the records

#include "production/portsession.h"
#include "station/stationrules.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QStringList>
#include <QTimer>

class DropOverlay;
class PortTile;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSettings;
class QTreeWidget;
class QTreeWidgetItem;
class RecordQueue;
class TileGrid;

class StationWindow : public QDialog
{
    Q_OBJECT

public:
    explicit StationWindow(QWidget *parent = nullptr);
    ~StationWindow() override;

    // The set-up: an image by path, as browse and drop take it (checked, and confirmed when the
    // check finds it implausible); a port by name or path, listed and ticked.
    bool chooseImage(const QString &path);
    void addPort(const QString &port);
    QStringList tickedPorts() const;

    bool isRunning() const { return !m_sessions.isEmpty(); }
    // A unit is being updated on some port (closing then asks first).
    bool unitsRunning() const;

public Q_SLOTS:
    // 开始 or 停止 for every ticked port; Space presses it.
    void toggleRun();

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    // Construction, layout and settings (stationwindow.cpp).
    void setupUi();
    QWidget *setupSetupCard();
    QWidget *setupRunCard();
    QWidget *setupResultsCard();
    void loadSettings();
    void saveSettings();
    void setStatus(const QString &text, bool problem = false);

    // The set-up area (stationwindow_setup.cpp).
    // The image saved last time, taken again without a question when it passes every check.
    bool chooseImageQuietly(const QString &path);
    void browse();
    void clearImage();
    void showImage();
    void scanPorts();
    void fillPortList();
    void onPortItemChanged(QTreeWidgetItem *item);
    void addTypedPort();
    void refreshControls();

    // The run (stationwindow_run.cpp).
    void start();
    void stop();
    void endRun();
    void buildTiles();
    void onSessionChanged(int index);
    void paintTile(int index);
    void paintDirtyTiles();
    void onUnitFinished(int index, const UpdateRecord &record);
    void onSessionFinished();
    void retry(int index);
    void showCounters();
    void addResult(const QString &port, const Station::LastUnit &unit);

    // The settings store shared with the window; the station's keys are its own.
    QSettings *m_settings = nullptr;

    // Set-up widgets.
    QLabel *m_imageName = nullptr;
    QLabel *m_imageFacts = nullptr;
    QLabel *m_imageVerdict = nullptr;
    QPushButton *m_browseButton = nullptr;
    QLineEdit *m_versionEdit = nullptr;
    QTreeWidget *m_portList = nullptr;
    QLineEdit *m_addPortEdit = nullptr;
    QPushButton *m_addPortButton = nullptr;
    DropOverlay *m_dropOverlay = nullptr;
    // Run widgets.
    QPushButton *m_startButton = nullptr;
    QLabel *m_passed = nullptr;
    QLabel *m_failed = nullptr;
    QLabel *m_yield = nullptr;
    QLabel *m_perHour = nullptr;
    TileGrid *m_grid = nullptr;
    QListWidget *m_results = nullptr;
    QLabel *m_status = nullptr;

    // The image as chosen; empty path: none.
    Production::ImageFacts m_image;
    bool m_imageConfirmed = false; // the check found it implausible and the operator chose it
    QString m_lastBrowseFolder;
    // Ports typed in (listed also when the system does not list them) and the ticked ones.
    QStringList m_addedPorts;
    QStringList m_ticked;
    QList<PortListing> m_systemPorts;
    QTimer m_portScan;

    // The run: one session per tile, in the tiles' order.
    QList<PortSession *> m_sessions;
    QHash<QString, Station::LastUnit> m_lastUnits; // by port, kept across runs
    QList<bool> m_dirty;                  // per tile: progress to repaint
    QTimer m_repaint;
    QTimer m_stopDeadline;
    QTimer m_clock; // the counters' units per hour
    QElapsedTimer m_runClock;
    Station::Counters m_counters;
    bool m_stopping = false;
    RecordQueue *m_records = nullptr;
};
