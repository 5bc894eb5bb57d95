#include "ElevatedRun.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace {

// Exit codes of pkexec for its own refusals.
constexpr int pkexecDismissed = 126;
constexpr int pkexecNotAuthorized = 127;

pid_t waitFor(pid_t pid, int& status)
{
    pid_t result;
    do {
        result = waitpid(pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    return result;
}

} // namespace

ElevatedRun::~ElevatedRun()
{
    close();
}

bool ElevatedRun::start(const std::string& program, const std::vector<std::string>& arguments)
{
    close();
    m_ended = false;
    m_refused = false;
    const bool privileged = geteuid() == 0;

    std::vector<std::string> items;
    if (!privileged)
        items.push_back("pkexec");
    items.push_back(program);
    items.insert(items.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& item : items)
        argv.push_back(&item[0]);
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int failed = privileged ? posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ)
                                  : posix_spawnp(&pid, "pkexec", nullptr, nullptr, argv.data(), environ);
    if (failed != 0) {
        m_error = static_cast<unsigned long>(failed);
        return false;
    }
    m_process = pid;
    if (privileged)
        return true;

    // Whether pkexec let the program run is known only when it has ended.
    wait();
    if (m_ended && WIFEXITED(m_status) &&
        (WEXITSTATUS(m_status) == pkexecDismissed || WEXITSTATUS(m_status) == pkexecNotAuthorized)) {
        m_error = WEXITSTATUS(m_status) == pkexecDismissed ? ECANCELED : EACCES;
        m_refused = true;
        m_process = 0;
        return false;
    }
    return true;
}

bool ElevatedRun::hasProcess() const
{
    return m_process != 0;
}

void ElevatedRun::wait()
{
    if (m_process == 0 || m_ended)
        return;
    int status = 0;
    if (waitFor(static_cast<pid_t>(m_process), status) < 0) {
        m_error = static_cast<unsigned long>(errno);
        return;
    }
    m_status = status;
    m_ended = true;
}

bool ElevatedRun::exitCode(unsigned long& code)
{
    if (m_process == 0 || !m_ended) {
        m_error = m_process == 0 ? EBADF : (m_error ? m_error : ECHILD);
        return false;
    }
    if (WIFEXITED(m_status)) {
        code = static_cast<unsigned long>(WEXITSTATUS(m_status));
        return true;
    }
    // Ended by a signal: reported the way a shell does, never as success.
    code = 128ul + static_cast<unsigned long>(WTERMSIG(m_status));
    return true;
}

void ElevatedRun::close()
{
    // An ended process has been reaped by wait(); nothing is held open.
    m_process = 0;
}
