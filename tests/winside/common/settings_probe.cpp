// Reads each value named on the command line with the settings reader and
// prints one line per name: name, outcome, result, then the value in brackets
// (the value starts as "<unchanged>" so that an untouched value shows).
#include "CRegedit.h"

#include <cstdio>
#include <string>

namespace {

const char* outcomeName(CRegedit::Outcome outcome)
{
    switch (outcome) {
    case CRegedit::Outcome::Ok:
        return "Ok";
    case CRegedit::Outcome::KeyNotFound:
        return "KeyNotFound";
    case CRegedit::Outcome::KeyOpenError:
        return "KeyOpenError";
    case CRegedit::Outcome::ValueNotFound:
        return "ValueNotFound";
    case CRegedit::Outcome::ValueEmpty:
        return "ValueEmpty";
    }
    return "?";
}

CRegedit::Outcome g_lastOutcome = CRegedit::Outcome::Ok;
int g_reports = 0;

void remember(CRegedit::Outcome outcome, const std::string&, const std::string&)
{
    g_lastOutcome = outcome;
    ++g_reports;
}

} // namespace

int main(int argc, char** argv)
{
    CRegedit::setReporter(remember);
    for (int i = 1; i < argc; ++i) {
        std::string value = "<unchanged>";
        const int reportsBefore = g_reports;
        const bool result = CRegedit::ReadPathInstallClient(argv[i], value);
        if (g_reports != reportsBefore + 1) {
            std::printf("%s\tnot reported\n", argv[i]);
            return 2;
        }
        std::printf("%s\t%s\t%d\t[%s]\n", argv[i], outcomeName(g_lastOutcome), result ? 1 : 0, value.c_str());
    }
    std::fflush(stdout);
    return 0;
}
