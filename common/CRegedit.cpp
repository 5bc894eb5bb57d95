#include "CRegedit.h"

#include <atomic>

namespace {
// Installed once at start-up, read by every thread that reads a setting.
std::atomic<CRegedit::Reporter> g_reporter{nullptr};
} // namespace

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
    if (const Reporter reporter = g_reporter)
        reporter(outcome, name, value);
    return outcome == Outcome::Ok;
}
