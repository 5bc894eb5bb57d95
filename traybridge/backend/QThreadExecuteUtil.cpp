#include "QThreadExecuteUtil.h"

#include "CRegedit.h"

#include <QElapsedTimer>

#include <string>

QThreadExecuteUtil::QThreadExecuteUtil(QObject* parent) : QThread(parent) {}

QThreadExecuteUtil::~QThreadExecuteUtil()
{
    requestInterruption();
    wait();
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

    while (!isInterruptionRequested()) {
        QThread::msleep(10);
        if (clock.elapsed() >= periodMs) {
            emit signal_get_stable_diffusion_progress_bar();
            clock.restart();
        }
    }
}
