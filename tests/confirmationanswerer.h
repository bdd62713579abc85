#pragma once

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QWidget>

// Answers the next confirmation the window opens, as a user would press its button, and keeps
// the texts it showed. Polls from the confirmation's own event loop.
class ConfirmationAnswerer : public QObject
{
public:
    enum Answer { Confirm, Cancel };

    explicit ConfirmationAnswerer(Answer answer) : m_answer(answer)
    {
        m_poll.setInterval(kPollIntervalMs);
        connect(&m_poll, &QTimer::timeout, this, [this] { answerIfOpen(); });
        m_poll.start();
    }

    bool answered() const { return m_answered; }
    QString title() const { return m_title; }
    QStringList lines() const { return m_lines; }
    QString danger() const { return m_danger; }
    QString cancelText() const { return m_cancelText; }
    QString okText() const { return m_okText; }

private:
    static constexpr int kPollIntervalMs = 10;

    void answerIfOpen()
    {
        const auto windows = QApplication::topLevelWidgets();
        for (QWidget *window : windows) {
            if (window->objectName() != QLatin1String("confirmDialog") || !window->isVisible())
                continue;
            auto *ok = window->findChild<QPushButton *>(QStringLiteral("confirmOk"));
            auto *cancel = window->findChild<QPushButton *>(QStringLiteral("confirmCancel"));
            if (!ok || !cancel)
                continue;
            if (auto *title = window->findChild<QLabel *>(QStringLiteral("confirmTitle")))
                m_title = title->text();
            const auto labels = window->findChildren<QLabel *>(QStringLiteral("confirmText"));
            for (const QLabel *label : labels)
                m_lines.append(label->text());
            if (auto *danger = window->findChild<QLabel *>(QStringLiteral("confirmDanger")))
                m_danger = danger->text();
            m_cancelText = cancel->text();
            m_okText = ok->text();
            m_answered = true;
            m_poll.stop();
            (m_answer == Confirm ? ok : cancel)->click();
            return;
        }
    }

    Answer m_answer;
    QTimer m_poll;
    bool m_answered = false;
    QString m_title;
    QStringList m_lines;
    QString m_danger;
    QString m_cancelText;
    QString m_okText;
};
