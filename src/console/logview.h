#pragma once

// The log view: a plain-text view (its layout does not reflow every paragraph when the oldest one
// goes) whose paragraphs keep their own line height and top margin. It keeps the newest
// LogPanel::kMaxParagraphs entries, stays at its end across layout changes while it was there,
// and takes a burst of entries from the worker a slice per event-loop pass so the window never
// stalls.

#include <QElapsedTimer>
#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>

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

    // Adds one entry's markup now, or behind the queued entries when there are any.
    void appendEntry(const QString &html);
    // Adds one entry's markup now while this event-loop pass has spent less than
    // LogPanel::kQueueSlice on entries; later ones wait for the next passes, of which only the
    // newest kMaxParagraphs are kept.
    void queueEntry(const QString &html);
    // Removes every entry, queued ones too.
    void clearEntries();
    int queuedEntries() const { return int(m_queued.size()); }

private:
    void addEntry(const QString &html);
    void addQueuedSlice();

    std::deque<QString> m_queued;
    QTimer *m_queueTimer = nullptr;
    QElapsedTimer m_passClock;
    // Whether the view shows its end and keeps showing it as entries arrive or it resizes.
    bool m_followsEnd = true;
    bool m_ignoreClamp = false;
};
