#pragma once

// A program the tests run as a process of its own (the device simulator, the command-line
// flasher): its output is collected as it comes and searched for what it announces.

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <csignal>

class Program
{
public:
    static constexpr int kStartMs = 5000;
    static constexpr int kExitMs = 30000;

    // The device simulator unless told otherwise. With configDir the program keeps its settings
    // there, never in the user's store.
    explicit Program(const QStringList &arguments,
                     const QString &program = QStringLiteral(FWDEVSIM_PATH),
                     const QString &configDir = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir); // the simulator keeps none
        // The default record store and its spool go there too.
        if (!configDir.isEmpty())
            env.insert(QStringLiteral("XDG_DATA_HOME"), configDir + QStringLiteral("/data"));
        m_process.setProcessEnvironment(env);
        m_process.start(program, arguments);
    }
    ~Program()
    {
        m_process.kill();
        m_process.waitForFinished(kStartMs);
    }

    // The last capture of pattern in the output; empty when it did not come within the time.
    QString waitFor(const QString &pattern, int timeoutMs = kStartMs)
    {
        const QRegularExpression expression(pattern);
        for (const QDeadlineTimer deadline(timeoutMs);;) {
            // Whether it had ended is read first, so the last output is never missed.
            const bool ended = m_process.state() == QProcess::NotRunning;
            m_output += m_process.readAllStandardOutput();
            const QRegularExpressionMatch match = expression.match(output());
            if (match.hasMatch())
                return match.captured(match.lastCapturedIndex());
            if (ended || deadline.hasExpired())
                return QString();
            m_process.waitForReadyRead(100);
        }
    }
    // The port a simulator announced; empty when it never came.
    QString port() { return waitFor(QStringLiteral("Port to use: (\\S+)")); }
    void signal(int number) { ::kill(pid_t(m_process.processId()), number); }
    // The exit status, -1 when it did not end normally within the time.
    int finish(int timeoutMs = kExitMs)
    {
        const bool ended =
            m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
        m_output += m_process.readAllStandardOutput();
        return ended && m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    QString output() const { return QString::fromLocal8Bit(m_output); }
    QString errors()
    {
        m_errors += m_process.readAllStandardError();
        return QString::fromLocal8Bit(m_errors);
    }

private:
    QProcess m_process;
    QByteArray m_output;
    QByteArray m_errors;
};

using Simulator = Program;

// A file's bytes, empty when it cannot be read.
inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
