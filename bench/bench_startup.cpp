// Start-up benchmark: from process start to the main window shown (offscreen), median of 10.
// The program starts itself as a child that shows the window and reports; prints figures only.

#include "app/dialog.h"
#include "testsettings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

int runChild(int argc, char *argv[])
{
    usePrivateSettingsFolder();
    QApplication app(argc, argv);
    Dialog window;
    window.show();
    // The first pass of the event loop after show() paints the window.
    QTimer::singleShot(0, &app, [] {
        std::printf("shown\n");
        std::fflush(stdout);
        QCoreApplication::quit();
    });
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);

    QCoreApplication app(argc, argv);
    constexpr int kRuns = 10;
    std::vector<double> ms;
    for (int i = 0; i < kRuns; ++i) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer timer;
        timer.start();
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child")});
        bool shown = false;
        while (!shown && child.waitForReadyRead(10000))
            shown = child.readAll().contains("shown");
        const double elapsed = timer.nsecsElapsed() / 1e6;
        child.waitForFinished(10000);
        if (!shown) {
            std::printf("run %d: the window was not shown\n", i + 1);
            return 1;
        }
        ms.push_back(elapsed);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("start-up to a shown window (offscreen), %d runs: median %.1f ms, min %.1f ms, max %.1f ms\n",
                kRuns, (ms[kRuns / 2 - 1] + ms[kRuns / 2]) / 2.0, ms.front(), ms.back());
    return 0;
}
