#include "ProcessList.h"

#include <windows.h>

#include <tlhelp32.h>

namespace {

std::string toUtf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

} // namespace

bool ProcessList::executableNames(std::vector<std::string>& names)
{
    names.clear();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;

    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot, &entry)) {
        CloseHandle(snapshot);
        return false;
    }
    do {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        names.push_back(toUtf8(entry.szExeFile));
        entry.dwSize = sizeof(entry);
    } while (Process32NextW(snapshot, &entry));
    CloseHandle(snapshot);
    return true;
}
