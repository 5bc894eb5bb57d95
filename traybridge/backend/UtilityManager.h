#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <utility>

// Runs one outside program, waits for it to start and to end, and returns its
// exit code and standard output; (1, "Error") when it does not start or end in time.
std::pair<int, QString> exec(const QString& program, const QStringList& args);

class UtilityManager
{
public:
    // Runs the web UI's batch file (or, outside Windows, the program the setting names).
    static void startUtility(const std::string& utilityPath);
};
