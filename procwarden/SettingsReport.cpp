#include "SettingsReport.h"

#include "CRegedit.h"
#include "ServiceLog.h"

namespace {
// The service's texts never name the value: "Path" stands for it.
void report(CRegedit::Outcome outcome, const std::string& name, const std::string& value)
{
    (void)name;
    (void)value;
    const std::string key = CRegedit::keyPath();
    switch (outcome) {
    case CRegedit::Outcome::Ok:
        break;
    case CRegedit::Outcome::KeyNotFound:
        writeLog("Key not found <" + key + ">");
        break;
    case CRegedit::Outcome::KeyOpenError:
        writeLog("Error opening key \n<" + key + ">");
        break;
    case CRegedit::Outcome::ValueNotFound:
        writeLog("Error, not found <Path> in <" + key + ">");
        break;
    case CRegedit::Outcome::ValueEmpty:
        writeLog("Error, Empty <" + key + "> key Path");
        break;
    }
}
} // namespace

void installSettingsReport()
{
    CRegedit::setReporter(report);
}
