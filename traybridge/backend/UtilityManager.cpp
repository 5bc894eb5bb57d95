#include "UtilityManager.h"

#include "CStableDiffusionManger.h"
#include "DebugPrefix.h"
#include "ScriptLaunch.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <atomic>
#include <string>
#include <vector>

namespace {

std::atomic<int> g_waitMs{UtilityManager::waitMs};

QDebug startUtilityLine()
{
    return tb::timedPrefix(qDebug(), __TIME__, "static void UtilityManager::startUtility(const string&)");
}

} // namespace

void UtilityManager::setWaitForTests(int ms)
{
    g_waitMs = ms;
}

int UtilityManager::wait()
{
    return g_waitMs;
}

std::pair<int, QString> exec(const QString& program, const QStringList& args, const QString& logPath,
                             bool* leftRunning)
{
    if (leftRunning)
        *leftRunning = false;
    QByteArray argumentText;
    std::vector<std::string> arguments;
    for (const QString& argument : args) {
        argumentText += ' ' + argument.toUtf8();
        arguments.push_back(argument.toStdString());
    }

    // What the program adds to the log is its output.
    QFile log(logPath);
    const qint64 logStart = log.open(QIODevice::ReadOnly) ? log.size() : 0;
    log.close();

    tb::shortPrefix(qDebug(), "exec", "] : Proc.start: ") << program << " " << argumentText.constData();
    const ScriptLaunch::Outcome outcome =
        ScriptLaunch::run(QDir::toNativeSeparators(program).toStdString(), arguments, logPath.toStdString(),
                          UtilityManager::wait());
    switch (outcome.end) {
    case ScriptLaunch::End::NotStarted:
        return {1, QStringLiteral("Error")};
    case ScriptLaunch::End::StillRunning:
        if (leftRunning)
            *leftRunning = true;
        return {1, QStringLiteral("Error")};
    case ScriptLaunch::End::Exited:
    case ScriptLaunch::End::Crashed:
        break;
    }
    QByteArray output;
    if (log.open(QIODevice::ReadOnly) && log.seek(logStart))
        output = log.readAll();
    return {outcome.exitCode, QString::fromUtf8(output.constData())}; // up to the first zero byte
}

std::pair<int, QString> exec(const QString& program, const QStringList& args)
{
    return exec(program, args, CStableDiffusionManger::startLogPath());
}

void UtilityManager::startUtility(const std::string& utilityPath)
{
    startUtility(utilityPath, CStableDiffusionManger::startLogPath());
}

void UtilityManager::startUtility(const std::string& utilityPath, const QString& logPath)
{
    startUtilityLine() << "before run utilityPath=" << utilityPath.c_str();
    bool leftRunning = false;
    const std::pair<int, QString> ret =
        exec(QString::fromStdString(utilityPath), QStringList(), logPath, &leftRunning);
    if (leftRunning) {
        // A start script that runs the web UI in the foreground: not a failure.
        startUtilityLine() << "still running after" << UtilityManager::wait()
                           << "ms, left running; its output goes to" << logPath;
    } else {
        startUtilityLine() << "Ret.first: " << ret.first << "Ret.second: " << ret.second;
        if (ret.first != 0)
            startUtilityLine() << "AHTUNG RUN utilityPath=" << utilityPath.c_str();
    }
    startUtilityLine() << "End BEFORE EXIT run utilityPath=" << utilityPath.c_str();
}
