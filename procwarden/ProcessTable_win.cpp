#include "ProcessTable.h"

#include <windows.h>

#include <mbstring.h>
#include <tlhelp32.h>

namespace {
struct Snapshot
{
    HANDLE handle;
    PROCESSENTRY32 entry; // the ANSI record
};
} // namespace

namespace proctable {

Handle createSnapshot()
{
    auto* snapshot = new Snapshot;
    snapshot->handle = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    snapshot->entry.dwSize = sizeof(PROCESSENTRY32);
    return snapshot;
}

bool first(Handle snapshot, PwDword& processId)
{
    auto* s = static_cast<Snapshot*>(snapshot);
    if (!Process32First(s->handle, &s->entry))
        return false;
    processId = s->entry.th32ProcessID;
    return true;
}

bool next(Handle snapshot, PwDword& processId)
{
    auto* s = static_cast<Snapshot*>(snapshot);
    if (!Process32Next(s->handle, &s->entry))
        return false;
    processId = s->entry.th32ProcessID;
    return true;
}

void closeSnapshot(Handle snapshot)
{
    auto* s = static_cast<Snapshot*>(snapshot);
    if (s->handle != INVALID_HANDLE_VALUE)
        CloseHandle(s->handle);
    delete s;
}

Handle openForQuery(PwDword processId)
{
    return OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
}

bool queryFullImageName(Handle process, char* buffer, PwDword& size)
{
    return QueryFullProcessImageNameA(process, 0, buffer, &size) != FALSE;
}

Handle openForTerminate(PwDword processId)
{
    return OpenProcess(PROCESS_TERMINATE, FALSE, processId);
}

bool terminate(Handle process, unsigned exitCode)
{
    return process && TerminateProcess(process, exitCode) != FALSE;
}

void close(Handle process)
{
    if (process)
        CloseHandle(process);
}

int compareNoCase(const char* a, const char* b)
{
    return _mbsicmp(reinterpret_cast<const unsigned char*>(a), reinterpret_cast<const unsigned char*>(b));
}

bool startedThrough(Handle process, const char* imageName, const char* setting)
{
    (void)process;
    return compareNoCase(imageName, setting) == 0;
}

} // namespace proctable
