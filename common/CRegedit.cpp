#include "CRegedit.h"

namespace {
CRegedit::Reporter g_reporter = nullptr;
}

const char* CRegedit::keyPath()
{
    return "SOFTWARE\\Cinema4DPluginSettings";
}

void CRegedit::setReporter(Reporter reporter)
{
    g_reporter = reporter;
}

bool CRegedit::ReadPathInstallClient(std::string name, std::string& value)
{
    const Outcome outcome = readValue(name, value);
    if (g_reporter)
        g_reporter(outcome, name, value);
    return outcome == Outcome::Ok;
}
