#pragma once

// The log view: a plain-text view (its layout does not reflow every paragraph when the oldest one
// goes) whose paragraphs keep their own line height and top margin. It keeps the newest
// LogPanel::kMaxParagraphs entries, stays at its end across layout changes while it was there,
// and takes a burst of entries from the worker a slice per event-loop pass so the window never
// stalls.

#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>
#include <QTime>

#include <deque>

class QTimer;

// Plain-text layout that spaces paragraphs the way the rich-text layout does: each line takes its
// height scaled by the paragraph's line height, and the top margin sits above every paragraph but
// the first.
class SpacedPlainTextLayout : public QPlainTextDocumentLayout
{
    Q_OBJECT

public:
    using QPlainTextDocumentLayout::QPlainTextDocumentLayout;
    QRectF blockBoundingRect(const QTextBlock &block) const override;
};

class LogView : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit LogView(QWidget *parent = nullptr);

    // One entry: its time stamp, text and level (a Dialog::LogLevel).
    struct Entry
    {
        QTime time;
        QString message;
        int level = 0;
    };

    // Adds one entry now, after the queued entries.
    void appendEntry(const Entry &entry);
    // Adds one entry now while this event-loop pass has added fewer than
    // LogPanel::kEntriesAtOncePerPass; later ones are queued and added LogPanel::kQueueSlice a
    // pass, and only the newest kMaxParagraphs queued are kept.
    void queueEntry(Entry entry);
    // Removes every entry, queued ones too.
    void clearEntries();
    int queuedEntries() const { return int(m_queued.size()); }

private:
    void addEntry(const Entry &entry);
    void addQueuedSlice();

    std::deque<Entry> m_queued;
    QTimer *m_queueTimer = nullptr;
    int m_addedThisPass = 0;
    // Whether the view shows its end and keeps showing it as entries arrive or it resizes.
    bool m_followsEnd = true;
    bool m_ignoreClamp = false;
};
