#include "ScriptLaunch.h"

#include <windows.h>

#include <cwctype>

namespace ScriptLaunch {

namespace {

std::wstring widen(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &wide[0], size);
    return wide;
}

// One argument as the C runtime splits a command line.
std::wstring quoted(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
        } else if (c == L'"') {
            out.append(slashes * 2 + 1, L'\\');
            slashes = 0;
        } else {
            out.append(slashes, L'\\');
            slashes = 0;
        }
        if (c != L'\\')
            out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

bool isCommandScript(const std::wstring& program)
{
    const size_t dot = program.find_last_of(L'.');
    if (dot == std::wstring::npos)
        return false;
    std::wstring ext = program.substr(dot);
    for (wchar_t& c : ext)
        c = wchar_t(std::towlower(c));
    return ext == L".bat" || ext == L".cmd";
}

class Handle
{
public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : m_h(h) {}
    ~Handle()
    {
        if (valid())
            CloseHandle(m_h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return m_h != INVALID_HANDLE_VALUE && m_h != nullptr; }
    HANDLE get() const { return m_h; }

private:
    HANDLE m_h;
};

} // namespace

Outcome run(const std::string& program, const std::vector<std::string>& args, const std::string& logPath,
            int waitMs)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle log(CreateFileW(widen(logPath).c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    Handle nulOut(log.valid() ? INVALID_HANDLE_VALUE
                              : CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            &inherit, OPEN_EXISTING, 0, nullptr));
    Handle nulIn(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr));
    const HANDLE out = log.valid() ? log.get() : nulOut.get();

    const std::wstring wideProgram = widen(program);
    std::wstring commandLine = quoted(wideProgram);
    for (const std::string& arg : args)
        commandLine += L' ' + quoted(widen(arg));
    std::wstring application = wideProgram;
    if (isCommandScript(wideProgram)) {
        // The command interpreter runs the script; /s keeps the inner quotes.
        wchar_t comspec[MAX_PATH];
        const DWORD got = GetEnvironmentVariableW(L"ComSpec", comspec, MAX_PATH);
        application = (got > 0 && got < MAX_PATH) ? std::wstring(comspec)
                                                  : std::wstring(L"C:\\Windows\\System32\\cmd.exe");
        commandLine = quoted(application) + L" /d /s /c \"" + commandLine + L"\"";
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nulIn.valid() ? nulIn.get() : nullptr;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION info{};
    // No console window of its own when the tray program has none, as before;
    // a process group of its own, so that no console event of ours reaches it.
    const DWORD flags =
        CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP | (GetConsoleWindow() ? 0 : CREATE_NO_WINDOW);
    Outcome outcome;
    if (!CreateProcessW(application.c_str(), &commandLine[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                        &startup, &info))
        return outcome;
    Handle process(info.hProcess);
    Handle thread(info.hThread);

    if (WaitForSingleObject(process.get(), waitMs < 0 ? INFINITE : DWORD(waitMs)) != WAIT_OBJECT_0) {
        // Closing our handles leaves the program running.
        outcome.end = End::StillRunning;
        return outcome;
    }
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    outcome.end = End::Exited;
    outcome.exitCode = int(code);
    return outcome;
}

} // namespace ScriptLaunch
