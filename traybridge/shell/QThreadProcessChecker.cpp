#include "QThreadProcessChecker.h"

#include "DebugPrefix.h"
#include "ProcessChecker.h"

#include <QTimer>

#include <atomic>

namespace {

std::atomic<int> g_checkIntervalMs{QThreadProcessChecker::checkIntervalMs};

} // namespace

QThreadProcessChecker::QThreadProcessChecker(QObject* parent) : QThread(parent) {}

QThreadProcessChecker::~QThreadProcessChecker()
{
    request_stop();
    wait();
}

void QThreadProcessChecker::request_stop()
{
    requestInterruption();
    quit();
}

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
    ProcessChecker checker;
    bool gone = false;
    // A precise timer never fires early, and the thread sleeps until it fires.
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    connect(&check, &QTimer::timeout, [&] {
        if (isInterruptionRequested()) {
            quit();
            return;
        }
        const bool running = checker.checkProcesses();
        if (seenRunning) {
            if (!running) {
                gone = true;
                quit();
            }
        } else if (running) {
            seenRunning = true;
        }
    });
    check.start(g_checkIntervalMs);
    exec();
    if (!gone)
        return;
    TB_TIMED << "КТО-то грохнул синьку..";
    emit signal_cinema_4D_doesnt_work();
}
