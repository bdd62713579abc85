#include "console/logview.h"

#include "console/logentry.h"

#include <QElapsedTimer>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <QTimer>

#include <utility>

QRectF SpacedPlainTextLayout::blockBoundingRect(const QTextBlock &block) const
{
    // The base lays the block out with its lines stacked at their natural heights.
    QRectF rect = QPlainTextDocumentLayout::blockBoundingRect(block);
    QTextLayout *layout = block.layout();
    if (!block.isVisible() || !layout || layout->lineCount() == 0)
        return rect;
    const QTextBlockFormat format = block.blockFormat();
    qreal y = block == document()->firstBlock() ? 0.0 : format.topMargin();
    for (int i = 0; i < layout->lineCount(); ++i) {
        QTextLine line = layout->lineAt(i);
        line.setPosition(QPointF(line.x(), y));
        y += format.lineHeight(line.height(), 1.0);
    }
    rect.setHeight(y);
    return rect;
}

LogView::LogView(QWidget *parent) : QPlainTextEdit(parent)
{
    auto *spacedDocument = new QTextDocument(this);
    spacedDocument->setDocumentLayout(new SpacedPlainTextLayout(spacedDocument));
    setDocument(spacedDocument);
    document()->setDocumentMargin(0);
    document()->setMaximumBlockCount(LogPanel::kMaxParagraphs);
    // The log is never edited by the user; an undo history would keep every trimmed entry alive.
    setUndoRedoEnabled(false);
    setReadOnly(true);
    setLineWrapMode(NoWrap);

    // The style sheet's family list ends in the generic "monospace", which Qt does not resolve;
    // the hint makes the font fall back to the system's fixed-width one.
    QFont mono = font();
    mono.setStyleHint(QFont::TypeWriter);
    setFont(mono);

    // Following: remember whether the view sits at its end on every scroll, and keep it there
    // when the range changes (entries added or trimmed, view resized, font changed).
    QScrollBar *bar = verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) {
        if (!std::exchange(m_ignoreClamp, false))
            m_followsEnd = value >= bar->maximum();
    });
    // Paging moves the view without a value change signal; the action says where it went.
    connect(bar, &QScrollBar::actionTriggered, this,
            [this, bar] { m_followsEnd = bar->sliderPosition() >= bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
        if (m_followsEnd)
            bar->setValue(maximum);
        else
            // A view scrolled up that the shorter range pulls to its end was not put there by
            // the user; it does not start following.
            m_ignoreClamp = bar->value() > maximum;
    });

    m_queueTimer = new QTimer(this);
    m_queueTimer->setSingleShot(true);
    m_queueTimer->setInterval(0);
    connect(m_queueTimer, &QTimer::timeout, this, &LogView::addQueuedSlice);
}

void LogView::appendEntry(const Entry &entry)
{
    // The window's own entries show at once, after everything the worker sent before them.
    while (!m_queued.empty()) {
        addEntry(m_queued.front());
        m_queued.pop_front();
    }
    addEntry(entry);
}

void LogView::queueEntry(Entry entry)
{
    // The timer marks one event-loop pass: it fires once the pass's other events are done.
    if (!m_queueTimer->isActive()) {
        m_addedThisPass = 0;
        m_queueTimer->start();
    }
    // Counted rather than timed, so that what shows at once does not depend on the machine's load.
    if (m_queued.empty() && m_addedThisPass < LogPanel::kEntriesAtOncePerPass) {
        ++m_addedThisPass;
        addEntry(entry);
        return;
    }
    // The markup is made only when the entry is added: most of a flood never is.
    m_queued.push_back(std::move(entry));
    // Older queued entries would be trimmed the moment the newer ones were added.
    while (m_queued.size() > std::size_t(LogPanel::kMaxParagraphs))
        m_queued.pop_front();
}

void LogView::clearEntries()
{
    m_queued.clear();
    m_queueTimer->stop();
    clear();
}

void LogView::addEntry(const Entry &entry)
{
    // With a maximum block count the view drops the oldest paragraph itself and keeps a view
    // scrolled up on the same entries.
    appendHtml(LogPanel::entryHtml(entry.time.toString(QStringLiteral("HH:mm:ss")), entry.message,
                                   entry.level));
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    QTextBlockFormat format;
    format.setLineHeight(LogPanel::kEntryLineHeightPercent, QTextBlockFormat::ProportionalHeight);
    format.setTopMargin(LogPanel::kEntryTopMargin);
    cursor.setBlockFormat(format);
}

void LogView::addQueuedSlice()
{
    QElapsedTimer slice;
    slice.start();
    while (!m_queued.empty() && slice.elapsed() < LogPanel::kQueueSlice.count()) {
        addEntry(m_queued.front());
        m_queued.pop_front();
    }
    if (!m_queued.empty())
        m_queueTimer->start();
}
