#include "QThreadUpdateGui.h"

#include <QElapsedTimer>

QThreadUpdateGui::QThreadUpdateGui(QObject* parent) : QThread(parent) {}

QThreadUpdateGui::~QThreadUpdateGui()
{
    requestInterruption();
    wait();
}

void QThreadUpdateGui::run()
{
    execute();
}

void QThreadUpdateGui::execute()
{
    QElapsedTimer timer;
    timer.start();
    while (!isInterruptionRequested()) {
        QThread::msleep(10);
        if (timer.elapsed() >= periodMs) {
            timer.restart();
            emit signal_update_tree();
        }
    }
}
