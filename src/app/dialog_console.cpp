#include "app/dialog.h"

#include "console/history.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCompleter>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStringListModel>

#include <utility>

namespace {
const QString kHistoryKey = QStringLiteral("commandHistory");
// Commands waiting behind the one in flight; more are refused with a note.
constexpr int kMaxQueuedCommands = 20;
} // namespace

void Dialog::loadHistory()
{
    m_commandHistory = m_settings
                           ? CommandHistory::capped(m_settings->value(kHistoryKey).toStringList())
                           : QStringList();
    m_historyModel->setStringList(m_commandHistory);
}

void Dialog::saveHistory()
{
    if (!m_settings)
        return;
    // Written through at once, so a crash right after a send does not lose the history.
    m_settings->setValue(kHistoryKey, m_commandHistory);
    m_settings->sync();
}

void Dialog::sendCustomCommand()
{
    if (m_connectionState != Connected || m_updateInProgress)
        return;
    const QString command = m_cmdEdit->text();
    if (command.isEmpty())
        return;

    if (m_commandInFlight) {
        // The device is still answering the previous command: this one goes after it.
        if (m_commandQueue.size() >= kMaxQueuedCommands) {
            logMessage(tr("命令未发送：已有 %1 条命令在等待，请稍候。").arg(m_commandQueue.size()),
                       Error);
            return;
        }
        m_commandQueue.append(command);
        logMessage(m_inFlightQuiet != QuietQuery::None
                       ? tr("已排队：%1（正在识别设备）").arg(command)
                       : tr("已排队：%1（等待上一条命令的响应）").arg(command),
                   Info);
    } else {
        dispatchCommand(command);
    }

    m_commandHistory = CommandHistory::pushed(m_commandHistory, command);
    saveHistory();
    m_historyModel->setStringList(m_commandHistory);

    m_cmdEdit->selectAll();
    m_historyIndex = -1;
    m_imeComposing = false;
}

void Dialog::dispatchCommand(const QString &command)
{
    m_pendingCommand = command;
    m_commandInFlight = true;
    m_sendButton->setEnabled(false);
    m_historyButton->setEnabled(false);
    // The exchange is logged together with its response.
    Q_EMIT requestSendCustomCommand(command);
}

void Dialog::onCustomCommandResponse(const QString &response)
{
    const QString command = std::exchange(m_pendingCommand, QString());
    const QuietQuery quiet = std::exchange(m_inFlightQuiet, QuietQuery::None);
    m_commandInFlight = false;

    const bool usable = m_connectionState == Connected && !m_updateInProgress;
    m_sendButton->setEnabled(usable);
    m_historyButton->setEnabled(usable);

    if (quiet != QuietQuery::None) {
        takeQuietReply(quiet, response);
    } else {
        logMessage(tr(">> %1").arg(command), Command);
        if (response.trimmed().isEmpty())
            logMessage(tr("（无响应）"), Info);
        else
            logMessage(response, Response);
    }
    sendNextCommand();
}

bool Dialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_statusLabel && event->type() == QEvent::Resize)
        fitStatusText();
    // While the completer's list is open it gets the keys, and would take Return only to close
    // itself: Return sends what the field shows (the entry chosen in the list, if any).
    if (event->type() == QEvent::KeyPress && watched == m_completer->popup()) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            m_completer->popup()->hide();
            m_imeComposing = false;
            sendCustomCommand();
            return true;
        }
    }
    if (watched != m_cmdEdit || !m_cmdEdit)
        return QDialog::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::InputMethod:
        m_imeComposing = !static_cast<QInputMethodEvent *>(event)->preeditString().isEmpty();
        break;
    case QEvent::FocusOut:
        m_imeComposing = false;
        break;
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter)
            m_imeComposing = false;
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            sendCustomCommand();
            return true;
        }
        // While an input method composes, the arrow keys belong to it.
        if ((key == Qt::Key_Up || key == Qt::Key_Down) && !m_imeComposing) {
            const auto direction = key == Qt::Key_Up ? CommandHistory::Direction::Older
                                                     : CommandHistory::Direction::Newer;
            // The line being typed is kept when browsing starts and comes back below the newest.
            if (m_historyIndex < 0)
                m_historyDraft = m_cmdEdit->text();
            const CommandHistory::BrowseStep step =
                CommandHistory::browse(m_commandHistory, m_historyIndex, direction, m_historyDraft);
            if (step.changed) {
                m_historyIndex = step.index;
                m_cmdEdit->setText(step.text);
            }
            return true;
        }
        break;
    }
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}

void Dialog::populateHistoryMenu()
{
    // Deferred deletion: this also runs from the clear entry's own triggered signal.
    const QList<QAction *> old = m_historyMenu->actions();
    for (QAction *action : old) {
        m_historyMenu->removeAction(action);
        if (action->parent() == m_historyMenu)
            action->deleteLater();
    }
    m_historyMenu->setToolTipsVisible(true);

    const QList<CommandHistory::MenuItem> items = CommandHistory::menuItems(m_commandHistory);
    for (const CommandHistory::MenuItem &item : items) {
        switch (item.kind) {
        case CommandHistory::MenuItem::Empty:
            m_historyMenu->addAction(tr("暂无历史记录"))->setEnabled(false);
            break;
        case CommandHistory::MenuItem::Command: {
            QAction *action = m_historyMenu->addAction(item.label);
            action->setToolTip(item.command);
            const QString command = item.command;
            connect(action, &QAction::triggered, this, [this, command] {
                m_cmdEdit->setText(command);
                m_historyIndex = -1;
                m_imeComposing = false;
            });
            break;
        }
        case CommandHistory::MenuItem::OlderHint:
            m_historyMenu->addAction(tr("更早的命令：使用 ↑ / ↓"))->setEnabled(false);
            break;
        case CommandHistory::MenuItem::Separator:
            m_historyMenu->addSeparator();
            break;
        case CommandHistory::MenuItem::Clear:
            connect(m_historyMenu->addAction(tr("清空历史记录")), &QAction::triggered, this,
                    [this] {
                        m_commandHistory.clear();
                        saveHistory();
                        m_historyModel->setStringList(m_commandHistory);
                        m_historyIndex = -1;
                        populateHistoryMenu();
                    });
            break;
        }
    }
}

void Dialog::showHistoryMenu()
{
    populateHistoryMenu();
    const QPoint wanted = m_historyButton->mapToGlobal(QPoint(0, m_historyButton->height()));
    const int buttonTop = m_historyButton->mapToGlobal(QPoint(0, 0)).y();

    QScreen *screen = QGuiApplication::screenAt(wanted);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QPoint at =
        screen ? CommandHistory::menuPosition(wanted, buttonTop, m_historyMenu->sizeHint(),
                                              screen->availableGeometry())
               : wanted;
    m_historyMenu->exec(at);
}
