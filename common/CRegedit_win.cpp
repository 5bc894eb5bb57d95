#include "CRegedit.h"

// Placeholder until the folder store lands.
CRegedit::Outcome CRegedit::readValue(const std::string& name, std::string& value)
{
    (void)name;
    (void)value;
    return Outcome::KeyNotFound;
}
