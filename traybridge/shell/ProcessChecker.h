#pragma once

#include <QObject>
#include <QString>

// Looks for a running process by its executable file name.
class ProcessChecker : public QObject
{
    Q_OBJECT
public:
    explicit ProcessChecker(QObject* parent = nullptr);

    // isProcessRunning("Cinema 4D.exe"), with a debug line for the result.
    bool checkProcesses();
    // True if some running process has this executable file name, compared
    // without regard to case. A list that cannot be taken counts as no match.
    bool isProcessRunning(const QString& processName);
};
