#include "ProcessTable.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <climits>
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
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
// The whole of a /proc file (they report no size); empty when it cannot be read.
std::string readProcFile(const std::string& path)
{
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

std::string procPath(pid_t id, const char* entry)
{
    return "/proc/" + std::to_string(id) + "/" + entry;
}

std::string realPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// An absolute path with "." and ".." segments and doubled slashes taken out;
// symbolic links stay as they are.
std::string lexicalPath(const std::string& path, const std::string& base)
{
    const std::string full = (!path.empty() && path[0] == '/') ? path : base + "/" + path;
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= full.size()) {
        std::size_t end = full.find('/', start);
        if (end == std::string::npos)
            end = full.size();
        const std::string part = full.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out;
    for (const std::string& part : parts)
        out += "/" + part;
    return out.empty() ? "/" : out;
}

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// The file name the process was started through, as exec was given it: the
// kernel keeps it for the process (AT_EXECFN). Where that cannot be read, the
// first argument, looked up in the process's PATH as a shell does.
std::string startedAs(pid_t id)
{
    const std::string auxv = readProcFile(procPath(id, "auxv"));
    unsigned long address = 0;
    for (std::size_t at = 0; at + 2 * sizeof(unsigned long) <= auxv.size(); at += 2 * sizeof(unsigned long)) {
        unsigned long entry[2];
        std::memcpy(entry, auxv.data() + at, sizeof entry);
        if (entry[0] == AT_EXECFN) {
            address = entry[1];
            break;
        }
    }
    if (address != 0) {
        const int mem = ::open(procPath(id, "mem").c_str(), O_RDONLY | O_CLOEXEC);
        if (mem >= 0) {
            char name[PATH_MAX + 1];
            const ssize_t got = ::pread(mem, name, PATH_MAX, static_cast<off_t>(address));
            ::close(mem);
            if (got > 0) {
                name[got] = '\0';
                if (std::strlen(name) < static_cast<std::size_t>(got))
                    return name;
            }
        }
    }
    const std::string cmdline = readProcFile(procPath(id, "cmdline"));
    const std::string first = cmdline.substr(0, cmdline.find('\0'));
    if (first.empty() || first.find('/') != std::string::npos)
        return first;
    const std::string environ = readProcFile(procPath(id, "environ"));
    std::string path;
    for (std::size_t at = 0; at < environ.size();) {
        std::size_t end = environ.find('\0', at);
        if (end == std::string::npos)
            end = environ.size();
        if (environ.compare(at, 5, "PATH=") == 0)
            path = environ.substr(at + 5, end - at - 5);
        at = end + 1;
    }
    std::size_t start = 0;
    while (!path.empty() && start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string dir = end > start ? path.substr(start, end - start) : std::string(".");
        const std::string candidate = dir + "/" + first;
        struct stat info;
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 0111))
            return candidate;
        start = end + 1;
    }
    return std::string();
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

bool startedThrough(Handle process, const char* imageName, const char* setting)
{
    const auto* p = static_cast<Process*>(process);
    if (!p)
        return false;
    // The image: the setting itself (as on Windows), or the target of a setting
    // that is a symbolic link.
    bool image = compareNoCase(imageName, setting) == 0;
    struct stat link;
    if (!image && ::lstat(setting, &link) == 0 && S_ISLNK(link.st_mode)) {
        const std::string target = realPath(setting);
        image = !target.empty() && target == imageName;
    }
    if (!image)
        return false;
    // Started through a file of the setting's folder: the setting, or another
    // name of it there (python3 beside python), by full path or through PATH.
    const std::string started = startedAs(p->id);
    if (started.empty())
        return false;
    const std::string cwd = realPath(procPath(p->id, "cwd"));
    const std::string startedFolder = folderOf(lexicalPath(started, cwd.empty() ? "/" : cwd));
    const std::string settingFolder = folderOf(lexicalPath(setting, "/"));
    if (compareNoCase(startedFolder.c_str(), settingFolder.c_str()) == 0)
        return true;
    const std::string realStarted = realPath(startedFolder);
    return !realStarted.empty() && realStarted == realPath(settingFolder);
}

} // namespace proctable
