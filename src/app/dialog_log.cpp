#include "app/dialog.h"

#include "console/logentry.h"
#include "console/logview.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMenu>
#include <QPalette>
#include <QPushButton>
#include <QSaveFile>
#include <QShortcut>
#include <QStandardPaths>
#include <QTextCursor>
#include <QTime>
#include <QTimer>

namespace {

// Clipboard text: paragraph separators of a selection become plain line feeds.
QString clipboardText(QString text)
{
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    return text;
}

} // namespace

void Dialog::logMessage(const QString &message, LogLevel level)
{
    if (m_logView)
        m_logView->appendEntry({QTime::currentTime(), message, level});
}

void Dialog::queueLogMessage(const QString &message, LogLevel level)
{
    // The worker may send faster than entries can be laid out; the view takes them in slices.
    if (m_logView)
        m_logView->queueEntry({QTime::currentTime(), message, level});
}

void Dialog::applyLogPalette()
{
    if (!m_logView)
        return;
    QPalette palette = m_logView->palette();
    const QColor placeholder(QLatin1String(LogPanel::kTimeColor));
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::PlaceholderText, placeholder);
    m_logView->setPalette(palette);
}

void Dialog::setupLogContextMenu()
{
    if (!m_logView)
        return;
    m_logView->setContextMenuPolicy(Qt::CustomContextMenu);

    connect(m_logView, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        QMenu menu(tr("日志菜单"), m_logView);
        connect(menu.addAction(tr("全选")), &QAction::triggered, m_logView,
                &QPlainTextEdit::selectAll);
        connect(menu.addAction(tr("复制")), &QAction::triggered, m_logView, &QPlainTextEdit::copy);
        connect(menu.addAction(tr("复制全部")), &QAction::triggered, this, [this] {
            QApplication::clipboard()->setText(m_logView->toPlainText());
            showToast(tr("已复制到剪贴板"));
        });
        menu.addSeparator();
        connect(menu.addAction(tr("保存日志…")), &QAction::triggered, this, &Dialog::saveLog);
        connect(menu.addAction(tr("全部清空")), &QAction::triggered, this, &Dialog::clearLog);
        connect(menu.addAction(tr("删除选中")), &QAction::triggered, this,
                &Dialog::deleteSelectedLog);
        menu.addSeparator();
        connect(menu.addAction(tr("查看更新记录…")), &QAction::triggered, this,
                &Dialog::showRecordHistory);
        // The view reports positions in its viewport's coordinates.
        menu.exec(m_logView->viewport()->mapToGlobal(pos));
    });

    auto *saveShortcut = new QShortcut(QKeySequence::Save, m_logView);
    saveShortcut->setContext(Qt::WidgetWithChildrenShortcut);
    connect(saveShortcut, &QShortcut::activated, this, &Dialog::saveLog);
    auto *historyShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), this);
    connect(historyShortcut, &QShortcut::activated, this, &Dialog::showRecordHistory);
}

void Dialog::saveLog()
{
    const QString fileName =
        QStringLiteral("tamsel-log-%1.txt")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    // A desktop without a documents folder gets the proposal in the home folder.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!QFileInfo(folder).isDir())
        folder = QDir::homePath();
    const QString proposal = QDir(folder).filePath(fileName);
    const QString path = QFileDialog::getSaveFileName(this, tr("保存日志"), proposal,
                                                      tr("文本文件 (*.txt);;所有文件 (*)"));
    if (path.isEmpty())
        return;
    if (writeLogFile(path))
        showToast(tr("日志已保存到 %1").arg(QFileInfo(path).fileName()));
}

bool Dialog::writeLogFile(const QString &path)
{
    if (path.isEmpty() || !m_logView)
        return false;
    const QByteArray bytes = LogPanel::logFileBytes(m_logView->toPlainText());

    // The target is replaced only on commit, so an existing file is never left half-written.
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(bytes);
        if (file.flush() && file.commit())
            return true;
    }
    logMessage(tr("无法保存日志：%1").arg(file.errorString()), Error);
    return false;
}

void Dialog::copyLog()
{
    if (!m_logView)
        return;
    const QTextCursor cursor = m_logView->textCursor();
    const QString text = cursor.hasSelection() ? cursor.selectedText() : m_logView->toPlainText();
    if (text.isEmpty())
        return;
    QApplication::clipboard()->setText(clipboardText(text));
    showToast(tr("已复制到剪贴板"));
}

void Dialog::clearLog()
{
    if (m_logView)
        m_logView->clearEntries();
    if (m_toastTimer)
        m_toastTimer->stop();
    if (m_logToast)
        m_logToast->hide();
    updateLogActions();
}

void Dialog::deleteSelectedLog()
{
    if (!m_logView)
        return;
    // Works on the document directly, so the view being read-only does not get in the way.
    QTextCursor cursor = m_logView->textCursor();
    if (cursor.hasSelection()) {
        cursor.removeSelectedText();
        m_logView->setTextCursor(cursor);
    }
    updateLogActions();
}

void Dialog::updateLogActions()
{
    const bool hasLog = m_logView && !m_logView->document()->isEmpty();
    for (QPushButton *button : {m_saveButton, m_copyButton, m_clearButton}) {
        if (button)
            button->setEnabled(hasLog);
    }
}

void Dialog::showToast(const QString &text)
{
    if (!m_logToast || !m_logPanel)
        return;
    // The style sheet may give the toast its own font; measure with that one.
    m_logToast->ensurePolished();
    const QFontMetrics metrics(m_logToast->font());
    m_logToast->setText(metrics.elidedText(text, Qt::ElideRight, LogPanel::kToastMaxTextWidth));
    m_logToast->setFixedSize(LogPanel::toastSize(metrics.horizontalAdvance(text)));
    positionToast();
    m_logToast->raise();
    m_logToast->show();
    if (m_toastTimer)
        m_toastTimer->start(LogPanel::kToastDuration);
}
