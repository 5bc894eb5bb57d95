#include "UtilityManager.h"

std::pair<int, QString> exec(const QString& program, const QStringList& args)
{
    (void)program;
    (void)args;
    return {1, QStringLiteral("Error")};
}

void UtilityManager::startUtility(const std::string& utilityPath)
{
    (void)utilityPath;
}
