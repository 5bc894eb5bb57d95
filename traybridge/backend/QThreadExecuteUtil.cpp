#include "QThreadExecuteUtil.h"

#include "CRegedit.h"

#include <QElapsedTimer>
#include <QTimer>

#include <string>

QThreadExecuteUtil::QThreadExecuteUtil(QObject* parent) : QThread(parent) {}

QThreadExecuteUtil::~QThreadExecuteUtil()
{
    request_stop();
    wait();
}

void QThreadExecuteUtil::request_stop()
{
    requestInterruption();
    quit();
}

void QThreadExecuteUtil::run()
{
    execute();
}

void QThreadExecuteUtil::execute()
{
    QElapsedTimer clock;
    clock.start();

    // The texts are not used here; a failed read is reported by the reader and
    // the heartbeat runs on.
    std::string progressBar;
    CRegedit::ReadPathInstallClient("path_python_progress_bar", progressBar);
    std::string python;
    CRegedit::ReadPathInstallClient("path_python", python);

    // The reads count towards the first period; every later beat comes one
    // period after the one before. A precise timer never fires early, and the
    // thread sleeps until it fires.
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    connect(&beat, &QTimer::timeout, [this, &beat] {
        if (isInterruptionRequested()) {
            quit();
            return;
        }
        emit signal_get_stable_diffusion_progress_bar();
        if (beat.interval() != periodMs)
            beat.start(periodMs);
    });
    beat.start(static_cast<int>(qMax<qint64>(0, periodMs - clock.elapsed())));
    exec();
}
