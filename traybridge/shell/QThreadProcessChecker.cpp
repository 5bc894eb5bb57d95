#include "QThreadProcessChecker.h"

#include "DebugPrefix.h"
#include "ProcessChecker.h"

#include <QElapsedTimer>

#include <atomic>

namespace {

std::atomic<int> g_checkIntervalMs{QThreadProcessChecker::checkIntervalMs};

} // namespace

QThreadProcessChecker::QThreadProcessChecker(QObject* parent) : QThread(parent) {}

void QThreadProcessChecker::setCheckIntervalForTests(int ms)
{
    g_checkIntervalMs = ms;
}

void QThreadProcessChecker::run()
{
    execute();
}

void QThreadProcessChecker::execute()
{
    const int intervalMs = g_checkIntervalMs;
    QElapsedTimer timer;
    timer.start();
    ProcessChecker checker;
    for (;;) {
        QThread::msleep(10);
        if (isInterruptionRequested())
            return;
        if (timer.elapsed() < intervalMs)
            continue;
        timer.restart();
        const bool running = checker.checkProcesses();
        if (seenRunning) {
            if (!running)
                break;
        } else if (running) {
            seenRunning = true;
        }
    }
    TB_TIMED << "КТО-то грохнул синьку..";
    emit signal_cinema_4D_doesnt_work();
}
