#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Runs a program with elevated rights and waits for its exit code.
// Standard library only, so that the Windows side builds with MinGW-w64.
//
// Windows: ShellExecuteExW with the verb "runas" (the user is asked to allow
// elevation), WaitForSingleObject and GetExitCodeProcess.
// Elsewhere: run directly when the process is already privileged (effective
// user id 0), otherwise through "pkexec", which asks the user for rights the
// way Linux desktops do. pkexec's own refusals (126: the dialog was
// dismissed, 127: not authorised or not runnable) count as a failed start, as
// a refused elevation does on Windows; so there start() returns only once the
// program has ended.
class ElevatedRun
{
public:
    ElevatedRun() = default;
    ~ElevatedRun();
    ElevatedRun(const ElevatedRun&) = delete;
    ElevatedRun& operator=(const ElevatedRun&) = delete;

    // Starts program (UTF-8 path) with the arguments joined by " ". False on
    // failure, with the system error code in lastError().
    bool start(const std::string& program, const std::vector<std::string>& arguments);

    // Whether start() left a process to wait for.
    bool hasProcess() const;
    // Waits without a time limit until the process has ended.
    void wait();
    // The exit code of the ended process; false with lastError() when it
    // cannot be read.
    bool exitCode(unsigned long& code);
    // Releases the process.
    void close();

    unsigned long lastError() const { return m_error; }
    // Whether the failed start was the user's (or the policy's) refusal of
    // elevation rather than a tool that could not be run.
    bool refused() const { return m_refused; }

private:
    std::intptr_t m_process = 0; // Windows: process handle; elsewhere: process id
    bool m_ended = false;
    int m_status = 0; // elsewhere: the wait status once ended
    unsigned long m_error = 0;
    bool m_refused = false;
};
