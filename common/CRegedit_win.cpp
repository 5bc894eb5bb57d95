#include "CRegedit.h"

#include <windows.h>

#include <cstring>

std::string CRegedit::keyFolder()
{
    return std::string("HKEY_LOCAL_MACHINE\\") + keyPath();
}

CRegedit::Outcome CRegedit::readValue(const std::string& name, std::string& value)
{
    char buffer[255];
    std::memset(buffer, 0, sizeof buffer);
    DWORD size = sizeof buffer;

    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath(), 0, KEY_READ | KEY_WOW64_64KEY, &key);
    if (opened != ERROR_SUCCESS)
        return opened == ERROR_FILE_NOT_FOUND ? Outcome::KeyNotFound : Outcome::KeyOpenError;

    // A name with a zero byte inside would name another value.
    DWORD type = 0;
    const LONG queried =
        name.find('\0') != std::string::npos
            ? ERROR_FILE_NOT_FOUND
            : RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
    RegCloseKey(key);
    if (queried != ERROR_SUCCESS)
        return Outcome::ValueNotFound;

    // The type is not inspected: the bytes up to the first zero byte are the text.
    value.assign(buffer, strnlen(buffer, sizeof buffer));
    return value.empty() ? Outcome::ValueEmpty : Outcome::Ok;
}
