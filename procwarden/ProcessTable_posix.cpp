#include "ProcessTable.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
struct Snapshot
{
    std::vector<pid_t> ids;
    std::size_t position = 0;
};

// An open process: a pid file descriptor where the kernel has them, so that a
// signal cannot reach another process that took over the id meanwhile.
struct Process
{
    pid_t id;
    int fd;
    bool pidfd;
};

bool allDigits(const char* text)
{
    if (!*text)
        return false;
    for (; *text; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

Process* openProcess(PwDword processId)
{
    const pid_t id = static_cast<pid_t>(processId);
    if (id <= 0)
        return nullptr;
#ifdef SYS_pidfd_open
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, id, 0));
    if (fd >= 0)
        return new Process{id, fd, true};
    if (errno != ENOSYS)
        return nullptr;
#endif
    const std::string dir = "/proc/" + std::to_string(id);
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return nullptr;
    return new Process{id, dirFd, false};
}
} // namespace

namespace proctable {

Handle createSnapshot()
{
    auto* snapshot = new Snapshot;
    if (DIR* proc = ::opendir("/proc")) {
        while (const dirent* entry = ::readdir(proc))
            if (allDigits(entry->d_name))
                snapshot->ids.push_back(static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10)));
        ::closedir(proc);
    }
    return snapshot;
}

bool first(Handle snapshot, PwDword& processId)
{
    auto* s = static_cast<Snapshot*>(snapshot);
    s->position = 0;
    return next(snapshot, processId);
}

bool next(Handle snapshot, PwDword& processId)
{
    auto* s = static_cast<Snapshot*>(snapshot);
    if (s->position >= s->ids.size())
        return false;
    processId = static_cast<PwDword>(s->ids[s->position++]);
    return true;
}

void closeSnapshot(Handle snapshot)
{
    delete static_cast<Snapshot*>(snapshot);
}

Handle openForQuery(PwDword processId)
{
    return openProcess(processId);
}

bool queryFullImageName(Handle process, char* buffer, PwDword& size)
{
    const auto* p = static_cast<Process*>(process);
    if (!p || size == 0)
        return false;
    const std::string link = "/proc/" + std::to_string(p->id) + "/exe";
    const ssize_t length = ::readlink(link.c_str(), buffer, size);
    if (length < 0)
        return false;
    if (static_cast<PwDword>(length) >= size) {
        // No room for the terminator: the path may have been cut.
        errno = ENAMETOOLONG;
        return false;
    }
    buffer[length] = '\0';
    size = static_cast<PwDword>(length);
    return true;
}

Handle openForTerminate(PwDword processId)
{
    return openProcess(processId);
}

// A POSIX process cannot be made to end with a chosen exit code: SIGKILL ends it.
bool terminate(Handle process, unsigned exitCode)
{
    (void)exitCode;
    const auto* p = static_cast<Process*>(process);
    if (!p)
        return false;
#ifdef SYS_pidfd_send_signal
    if (p->pidfd)
        return syscall(SYS_pidfd_send_signal, p->fd, SIGKILL, nullptr, 0) == 0;
#endif
    return ::kill(p->id, SIGKILL) == 0;
}

void close(Handle process)
{
    auto* p = static_cast<Process*>(process);
    if (!p)
        return;
    ::close(p->fd);
    delete p;
}

int compareNoCase(const char* a, const char* b)
{
    return ::strcasecmp(a, b);
}

} // namespace proctable
