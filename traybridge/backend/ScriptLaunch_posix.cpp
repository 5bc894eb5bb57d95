#include "ScriptLaunch.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace ScriptLaunch {

namespace {

// The end of one child, filled by the thread that reaps it.
struct Reaped
{
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    int status = 0;
};

class SpawnSetup
{
public:
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
};

} // namespace

Outcome run(const std::string& program, const std::vector<std::string>& args, const std::string& logPath,
            int waitMs)
{
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0)
        log = ::open("/dev/null", O_WRONLY | O_CLOEXEC);

    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (log >= 0) {
        posix_spawn_file_actions_adddup2(&setup.actions, log, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&setup.actions, log, STDERR_FILENO);
    }
    // A session of its own: the web UI outlives the tray program's terminal and
    // process group. Signals as a fresh program has them.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setsigdefault(&setup.attr, &defaults);
    posix_spawnattr_setflags(&setup.attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawned =
        ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
    if (log >= 0)
        ::close(log);
    Outcome outcome;
    if (spawned != 0)
        return outcome;

    // A thread of its own reaps the child whenever it ends, so that a program
    // left running never becomes a zombie.
    auto reaped = std::make_shared<Reaped>();
    std::thread([pid, reaped] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        std::lock_guard<std::mutex> lock(reaped->mutex);
        reaped->done = true;
        reaped->status = status;
        reaped->ended.notify_all();
    }).detach();

    std::unique_lock<std::mutex> lock(reaped->mutex);
    if (!reaped->ended.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return reaped->done; })) {
        outcome.end = End::StillRunning;
        return outcome;
    }
    if (WIFEXITED(reaped->status)) {
        outcome.end = End::Exited;
        outcome.exitCode = WEXITSTATUS(reaped->status);
    } else {
        outcome.end = End::Crashed;
        outcome.exitCode = 1;
    }
    return outcome;
}

} // namespace ScriptLaunch
