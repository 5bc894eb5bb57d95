#include "QThreadUpdateGui.h"

QThreadUpdateGui::QThreadUpdateGui(QObject* parent) : QThread(parent) {}

void QThreadUpdateGui::run()
{
    execute();
}

void QThreadUpdateGui::execute() {}
