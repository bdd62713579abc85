#pragma once

// Simulator: the board's life cycle in fwdevsim. It drives one simulated device at a time, narrates
// what happens on the line, checks and saves each image it receives, and lets the board leave the
// line and come back (the same board re-enumerated, the next one, or a swap on a fixture).

#include "pacedlink.h"
#include "scripteddevice.h"
#include "simoptions.h"

#include <QHash>
#include <QObject>
#include <QTimer>

#include <memory>

namespace DevSim {

class Simulator : public QObject
{
public:
    explicit Simulator(Options options);
    ~Simulator() { removeLink(); }

    // The script of the board on the line now.
    ScriptedDevice::Script boardScript() const;
    bool start();

private:
    void onEvent(const QString &event);
    void onBlock(int target);

    // Says which scripted fault this arrival of a block meets, if any.
    void sayFault(int target, int arrival);
    void onFinished();

    // A fixture whose adapter stays: the line stays open, the board is taken off it (nothing
    // answers) and the next board is put on after the time asked for.
    void swapBoard();

    // The board goes (its line closes, the link disappears) and comes back, or the next board
    // comes, after the time asked for.
    void leaveTheLine();

    // Removes the link, never anything that is not a link.
    void removeLink();

    // Where an image of this name goes. A file the simulator did not write itself in this run (the
    // user's own image, say) is never overwritten: the image then gets a numbered name, which
    // later images of the same name reuse.
    QString savePathFor(const QString &name);
    bool compareWithExpected(const QByteArray &data);
    void onAbandoned();

    // A closed line cannot be reopened: the device comes back on a new port.
    void replaceLostDevice();
    void endOfUpdate(bool matched);
    // --next-board-after-update: the board has had its update (good or not) and leaves the line
    // when the station has asked for its version, or after the time asked for.
    bool nextBoardMode() const;
    void boardDone();
    void leaveWhenDue(quint64 generation);

    Options m_options;
    std::unique_ptr<ScriptedDevice> m_device;
    std::unique_ptr<PacedLink> m_link; // destroyed before the device it relays to
    QTimer m_watchdog;
    QHash<QString, QString> m_savedAs; // wanted path -> path used
    bool m_receiving = false;
    bool m_announced = false;
    QHash<int, int> m_arrivals; // block target -> arrivals in this update
    qint64 m_declaredSize = -1;
    int m_nextStep = 1;
    int m_exitCode = 1;
    int m_board = 1;             // the board on the line, for "{n}" in its identification
    bool m_boardUpdated = false; // it has taken an update before (and left the line since)
    BoardFault m_fault;          // what the board on the line plays (--random-faults)
    int m_losePortAt = -1000;    // the board's lost-port block; no target by default
    bool m_leaveOnAnswer = false; // the board leaves once its application answers a query
    quint64 m_leaveGeneration = 0; // a leave scheduled for an earlier board does not count
};

// The identification text of board number n: "{n}" in the text stands for the number.
// No widgets, no I/O.
QByteArray identificationOf(const QString &text, int board);

} // namespace DevSim
