#pragma once

// FlashRun: one run of fwflash. It starts a PortSession per port, shows their progress (lines
// redrawn in place on a terminal, plain time-stamped lines otherwise), writes each unit's record
// to the JSON lines and the record store, ends cleanly on Ctrl+C or SIGTERM, and prints the
// summary. What it holds stays bounded however long the loop runs: counters and the last few
// records; the records themselves are in the file and the store.

#include "cli/flashoptions.h"
#include "cli/flashreport.h"
#include "records/recordkeeper.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <deque>
#include <memory>

class PortSession;
class QSocketNotifier;

class FlashRun : public QObject
{
    Q_OBJECT

public:
    // The summary shows at most this many of the last units (a batch shows every port's).
    static constexpr int kRecentUnits = 20;

    FlashRun(const FlashOptions &options, const FlashReport::ImageFacts &image, int sizeLimit,
             const QString &recordsUrl);
    ~FlashRun() override;

    // Runs until every port is done (or the run is interrupted); returns the exit status.
    int exec();

private:
    struct Shown
    {
        QString phase;
        int tenths = -1;
    };

    void onUnitFinished(const UpdateRecord &record);
    void onSessionChanged(PortSession *session);
    void onSessionFinished();
    void onSignal();
    void onInput();
    void forceEnd();
    void repaint();
    // A line above the progress lines (time-stamped when they are plain).
    void say(const QString &text);
    // A message about the records: on standard error, or above the progress lines.
    void complain(const QString &text);
    void writeRecord(const UpdateRecord &record);
    void writeOut(const QString &text);
    void finish();

    FlashOptions m_options;
    FlashReport::ImageFacts m_image;
    int m_sizeLimit = 0;
    QList<PortSession *> m_sessions;
    QHash<PortSession *, Shown> m_shown;
    std::unique_ptr<RecordKeeper> m_keeper;
    RecordKeeper::Written m_lastWritten = RecordKeeper::Written::Stored;
    QString m_lastComplaint;
    int m_spooled = 0;
    std::deque<UpdateRecord> m_recent; // the newest last
    int m_units = 0;
    int m_failed = 0;
    int m_skipped = 0;
    std::FILE *m_out = stdout; // progress, results and summary
    bool m_live = false;       // lines redrawn in place on a terminal
    int m_portWidth = 0;
    int m_drawnLines = 0;
    bool m_dirty = false;
    QTimer m_repaint;
    QTimer m_deadline;
    QSocketNotifier *m_signalNotifier = nullptr;
    QSocketNotifier *m_inputNotifier = nullptr;
    int m_signal = 0; // the first signal that came: SIGINT or SIGTERM
    bool m_unitRunningAtSignal = false;
    bool m_finished = false;
    int m_exitStatus = 0;
};
