#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <utility>

// Runs one outside program, waits for it to start and to end, and returns its
// exit code and standard output; (1, "Error") when it does not start or end in
// time. A program still running when the wait for its end runs out is killed.
std::pair<int, QString> exec(const QString& program, const QStringList& args);

class UtilityManager
{
public:
    // How long exec waits for the start and, again, for the end, in milliseconds.
    static constexpr int waitMs = 30000;

    // Runs the web UI's batch file (or, outside Windows, the program the setting names).
    static void startUtility(const std::string& utilityPath);

    // Test hook: the two waits of exec. The program always waits waitMs.
    static void setWaitForTests(int ms);
    static int wait();
};
