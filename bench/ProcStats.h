#pragma once

#include <QtGlobal>

// What a running process has used so far, summed over all its threads (/proc).
struct ProcStats
{
    qint64 voluntarySwitches = 0; // each one a wake-up after a sleep
    qint64 cpuNs = 0;             // time on a CPU

    static ProcStats of(qint64 pid);
};
