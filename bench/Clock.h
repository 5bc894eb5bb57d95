#pragma once

#include <QElapsedTimer>

// One monotonic clock for every time stamp of a run, in nanoseconds.
inline qint64 clockNs()
{
    static const QElapsedTimer started = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return started.nsecsElapsed();
}
