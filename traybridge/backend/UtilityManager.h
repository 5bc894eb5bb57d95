#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <utility>

// Runs one outside program with its standard output and error appended to the
// log file logPath, waits for its end, and returns its exit code and the output
// it added to the log (up to the first zero byte); (1, "Error") when it does not
// start or is still running when the wait runs out. A program still running
// then is left running, with its children, and *leftRunning is set.
std::pair<int, QString> exec(const QString& program, const QStringList& args, const QString& logPath,
                             bool* leftRunning = nullptr);
// The same with the web UI's start log as the log file.
std::pair<int, QString> exec(const QString& program, const QStringList& args);

class UtilityManager
{
public:
    // How long exec waits for the end, in milliseconds.
    static constexpr int waitMs = 30000;

    // Runs the web UI's batch file (or, outside Windows, the program the setting
    // names), its output appended to the start log. A start script that keeps
    // running (it runs the web UI in the foreground) is left running.
    static void startUtility(const std::string& utilityPath);
    // The same with the start log's path given, so that it is taken on the caller's thread.
    static void startUtility(const std::string& utilityPath, const QString& logPath);

    // Test hook: the wait of exec. The program always waits waitMs.
    static void setWaitForTests(int ms);
    static int wait();
};
