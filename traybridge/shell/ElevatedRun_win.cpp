#include "ElevatedRun.h"

#include <windows.h>

#include <shellapi.h>

namespace {

std::wstring toWide(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (size <= 1)
        return std::wstring();
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], size);
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

HANDLE handleOf(std::intptr_t process)
{
    return reinterpret_cast<HANDLE>(process);
}

} // namespace

ElevatedRun::~ElevatedRun()
{
    close();
}

bool ElevatedRun::start(const std::string& program, const std::vector<std::string>& arguments)
{
    close();
    m_refused = false;
    std::string joined;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0)
            joined += ' ';
        joined += arguments[i];
    }
    const std::wstring file = toWide(program);
    const std::wstring parameters = toWide(joined);

    SHELLEXECUTEINFOW info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) {
        m_error = GetLastError();
        m_refused = m_error == ERROR_CANCELLED;
        return false;
    }
    m_process = reinterpret_cast<std::intptr_t>(info.hProcess);
    return true;
}

bool ElevatedRun::hasProcess() const
{
    return m_process != 0;
}

void ElevatedRun::wait()
{
    if (m_process != 0)
        WaitForSingleObject(handleOf(m_process), INFINITE);
}

bool ElevatedRun::exitCode(unsigned long& code)
{
    DWORD value = 0;
    if (m_process == 0 || !GetExitCodeProcess(handleOf(m_process), &value)) {
        m_error = m_process == 0 ? ERROR_INVALID_HANDLE : GetLastError();
        return false;
    }
    code = value;
    return true;
}

void ElevatedRun::close()
{
    if (m_process != 0)
        CloseHandle(handleOf(m_process));
    m_process = 0;
}
