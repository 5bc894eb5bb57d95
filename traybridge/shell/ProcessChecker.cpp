#include "ProcessChecker.h"

#include "DebugPrefix.h"
#include "ProcessList.h"

#include <string>
#include <vector>

ProcessChecker::ProcessChecker(QObject* parent) : QObject(parent) {}

bool ProcessChecker::isProcessRunning(const QString& processName)
{
    std::vector<std::string> names;
    if (!ProcessList::executableNames(names))
        return false;
    for (const std::string& name : names) {
        if (QString::compare(QString::fromStdString(name), processName, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool ProcessChecker::checkProcesses()
{
    const bool running = isProcessRunning(QStringLiteral("Cinema 4D.exe"));
    if (running)
        TB_TIMED << "Процесс Cinema 4D.exe обнаружен!";
    else
        TB_TIMED << "Процесс Cinema 4D.exe не запущен.";
    return running;
}
