#pragma once

// fwdevsim in a process of its own, for the tests that drive a program or the window through it;
// the port it announces is read from its first lines.

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

class Simulator
{
public:
    static constexpr int kStartMs = 5000;
    static constexpr int kExitMs = 10000;

    explicit Simulator(const QStringList &arguments)
    {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(QStringLiteral(FWDEVSIM_PATH), arguments);
    }
    ~Simulator()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(kExitMs);
        }
    }

    // Waits for "Port to use: X"; empty when it never came.
    QString port()
    {
        static const QRegularExpression line(QStringLiteral("Port to use: (\\S+)"));
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < kStartMs) {
            const QRegularExpressionMatch match = line.match(QString::fromLocal8Bit(m_output));
            if (match.hasMatch())
                return match.captured(1);
            if (m_process.waitForReadyRead(100))
                m_output += m_process.readAllStandardOutput();
            else if (m_process.state() == QProcess::NotRunning)
                break;
        }
        return QString();
    }

    // Waits for the process to end; returns its exit code, -1 when it did not end.
    int finish()
    {
        const bool ended =
            m_process.state() == QProcess::NotRunning || m_process.waitForFinished(kExitMs);
        m_output += m_process.readAllStandardOutput();
        return ended && m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

    QString output() const { return QString::fromLocal8Bit(m_output); }
    QString errors() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }

private:
    QProcess m_process;
    QByteArray m_output;
};
