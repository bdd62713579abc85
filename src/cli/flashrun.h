#pragma once

// FlashRun: one run of fwflash. It starts a PortSession per port, shows their progress (lines
// redrawn in place on a terminal, plain time-stamped lines otherwise), appends each unit's record
// to the JSON file, ends cleanly on Ctrl+C or SIGTERM, and prints the summary.

#include "cli/flashoptions.h"
#include "cli/flashreport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

class PortSession;
class QSocketNotifier;

class FlashRun : public QObject
{
    Q_OBJECT

public:
    FlashRun(const FlashOptions &options, const FlashReport::ImageFacts &image, int sizeLimit);
    ~FlashRun() override;

    // Runs until every port is done (or the run is interrupted); returns the exit status.
    int exec();

private:
    struct Shown
    {
        QString phase;
        int tenths = -1;
    };

    void onUnitFinished(const FlashReport::UnitRecord &record);
    void onSessionChanged(PortSession *session);
    void onSessionFinished();
    void onSignal();
    void onInput();
    void forceEnd();
    void repaint();
    void say(const QString &text);
    void finish();

    FlashOptions m_options;
    FlashReport::ImageFacts m_image;
    int m_sizeLimit = 0;
    QList<PortSession *> m_sessions;
    QHash<PortSession *, Shown> m_shown;
    QList<FlashReport::UnitRecord> m_records;
    QFile m_json;
    bool m_live = false; // lines redrawn in place on a terminal
    int m_portWidth = 0;
    int m_drawnLines = 0;
    bool m_dirty = false;
    QTimer m_repaint;
    QTimer m_deadline;
    QSocketNotifier *m_signalNotifier = nullptr;
    QSocketNotifier *m_inputNotifier = nullptr;
    bool m_signalled = false;
    bool m_unitRunningAtSignal = false;
    bool m_finished = false;
    int m_exitStatus = 0;
};
