#include "QThreadExecuteUtil.h"

QThreadExecuteUtil::QThreadExecuteUtil(QObject* parent) : QThread(parent) {}

void QThreadExecuteUtil::run()
{
    execute();
}

void QThreadExecuteUtil::execute() {}
