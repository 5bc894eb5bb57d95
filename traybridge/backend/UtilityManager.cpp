#include "UtilityManager.h"

#include "DebugPrefix.h"

#include <QByteArray>
#include <QProcess>

#include <atomic>

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

std::pair<int, QString> exec(const QString& program, const QStringList& args)
{
    QProcess process;
    process.start(program, args, QIODevice::ReadWrite);

    QByteArray argumentText;
    for (const QString& argument : args)
        argumentText += ' ' + argument.toUtf8();
    tb::shortPrefix(qDebug(), "exec", "] : Proc.start: ") << program << " " << argumentText.constData();

    const int waitMs = UtilityManager::wait();
    if (!process.waitForStarted(waitMs))
        return {1, QStringLiteral("Error")};
    if (!process.waitForFinished(waitMs))
        return {1, QStringLiteral("Error")}; // destroying the QProcess kills the program

    const QByteArray output = process.readAll();
    const int exitCode = process.exitStatus() == QProcess::CrashExit ? 1 : process.exitCode();
    return {exitCode, QString::fromUtf8(output.constData())}; // up to the first zero byte
}

void UtilityManager::startUtility(const std::string& utilityPath)
{
    startUtilityLine() << "before run utilityPath=" << utilityPath.c_str();
    const std::pair<int, QString> ret = exec(QString::fromStdString(utilityPath), QStringList());
    startUtilityLine() << "Ret.first: " << ret.first << "Ret.second: " << ret.second;
    if (ret.first != 0)
        startUtilityLine() << "AHTUNG RUN utilityPath=" << utilityPath.c_str();
    startUtilityLine() << "End BEFORE EXIT run utilityPath=" << utilityPath.c_str();
}
