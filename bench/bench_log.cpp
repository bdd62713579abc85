// Log panel benchmark: time of one entry once the 5000-entry cap is reached, and resident memory.
// Prints figures; asserts nothing.

#include "app/dialog.h"
#include "testsettings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    usePrivateSettingsFolder();
    QApplication app(argc, argv);
    Dialog::setPortEnumerator([] { return QList<PortListing>{}; });
    Dialog window;
    window.show();
    QApplication::processEvents();

    constexpr int kCap = 5000;
    constexpr int kMeasured = 20000;
    const Dialog::LogLevel levels[] = {Dialog::Info, Dialog::Command, Dialog::Response,
                                       Dialog::Error, Dialog::Success};

    for (int i = 0; i < kCap; ++i)
        window.logMessage(QStringLiteral("warm-up entry %1 <tag> & 100%").arg(i), levels[i % 5]);
    QApplication::processEvents();
    const long rssAtCap = residentKiB();

    std::vector<double> micros;
    micros.reserve(kMeasured);
    QElapsedTimer timer;
    long rssMid = 0;
    for (int i = 0; i < kMeasured; ++i) {
        const QString text = QStringLiteral("entry %1: 设备确认：写入完成（%2 字节）。\r\nsecond line")
                                 .arg(i)
                                 .arg(236544);
        timer.start();
        window.logMessage(text, levels[i % 5]);
        micros.push_back(timer.nsecsElapsed() / 1000.0);
        if (i % 100 == 0)
            QApplication::processEvents();
        if (i == kMeasured / 2)
            rssMid = residentKiB();
    }
    QApplication::processEvents();
    const long rssEnd = residentKiB();

    double sum = 0;
    for (double v : micros)
        sum += v;
    std::vector<double> sorted = micros;
    std::sort(sorted.begin(), sorted.end());
    std::printf("log entry at the %d-entry cap, %d entries:\n", kCap, kMeasured);
    std::printf("  mean  %.3f ms\n", sum / micros.size() / 1000.0);
    std::printf("  p99   %.3f ms\n", sorted[sorted.size() * 99 / 100] / 1000.0);
    std::printf("  worst %.3f ms\n", sorted.back() / 1000.0);
    std::printf("resident memory: %ld KiB at the cap, %ld KiB after %d more, %ld KiB after %d more\n",
                rssAtCap, rssMid, kMeasured / 2, rssEnd, kMeasured);
    return 0;
}
