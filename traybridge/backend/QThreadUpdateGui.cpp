#include "QThreadUpdateGui.h"

#include <QTimer>

QThreadUpdateGui::QThreadUpdateGui(QObject* parent) : QThread(parent) {}

QThreadUpdateGui::~QThreadUpdateGui()
{
    request_stop();
    wait();
}

void QThreadUpdateGui::request_stop()
{
    requestInterruption();
    quit();
}

void QThreadUpdateGui::run()
{
    execute();
}

void QThreadUpdateGui::execute()
{
    // A precise timer never fires early, and the thread sleeps until it fires.
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    connect(&beat, &QTimer::timeout, [this] {
        if (isInterruptionRequested()) {
            quit();
            return;
        }
        emit signal_update_tree();
    });
    beat.start(periodMs);
    exec();
}
