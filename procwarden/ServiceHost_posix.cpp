// The POSIX service host: the program is its own service manager. The thread
// that calls the dispatcher runs the control loop (and with it the control
// handler) while ServiceMain runs on a thread of its own, as under the Service
// Control Manager. Controls come from SIGTERM/SIGINT (the stop control) and
// from the local control channel; status reports go to systemd's notification
// socket when there is one and to the standard error stream (the journal).
#include "ServiceHost.h"

#include "ControlChannel.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

thread_local PwDword t_lastError = 0;

bool fail(int error)
{
    t_lastError = static_cast<PwDword>(error);
    return false;
}

// Events and threads: both are waited on until signalled.
struct Waitable
{
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;

    void signal()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            signalled = true;
        }
        changed.notify_all();
    }
};

using WaitableRef = std::shared_ptr<Waitable>;

Waitable* waitable(host::Handle handle)
{
    return handle ? static_cast<WaitableRef*>(handle)->get() : nullptr;
}

const char* stateName(PwDword state)
{
    switch (state) {
    case svc::StateStopped:
        return "SERVICE_STOPPED";
    case svc::StateStartPending:
        return "SERVICE_START_PENDING";
    case svc::StateStopPending:
        return "SERVICE_STOP_PENDING";
    case svc::StateRunning:
        return "SERVICE_RUNNING";
    default:
        return "other";
    }
}

// Sends one message to systemd; true when there is no manager to tell.
bool notifySystemd(const std::string& message)
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || !*path)
        return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path || (path[0] != '/' && path[0] != '@'))
        return fail(EINVAL);
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@')
        address.sun_path[0] = '\0'; // abstract name
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(errno);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const ssize_t sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), size);
    const int error = errno;
    ::close(fd);
    if (sent < 0)
        return fail(error);
    return true;
}

struct Dispatcher
{
    std::mutex mutex;
    bool running = false;
    std::string serviceName;
    host::HandlerFunction handler = nullptr;
    bool reported = false;
    ServiceStatus status{};
    bool serviceMainReturned = false;
    bool stopHeld = false;
    int wakeFd = -1;

    void wake()
    {
        const std::uint64_t one = 1;
        if (wakeFd >= 0)
            (void)!::write(wakeFd, &one, sizeof one);
    }
};

Dispatcher g_dispatcher;

int serviceHandle; // its address is the status handle

class ControlSocket
{
public:
    ~ControlSocket()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
            // Remove the socket only while it is still the one this host made.
            struct stat now
            {
            };
            if (::stat(m_path.c_str(), &now) == 0 && now.st_ino == m_inode && now.st_dev == m_device)
                ::unlink(m_path.c_str());
        }
    }

    bool open(const std::string& path)
    {
        m_path = path;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.empty() || path.size() >= sizeof address.sun_path)
            return fail(ENAMETOOLONG);
        std::memcpy(address.sun_path, path.data(), path.size());

        // The folder is the runtime directory under systemd; made here when run by hand.
        const std::string::size_type slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0)
            ::mkdir(path.substr(0, slash).c_str(), 0755);

        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            return fail(errno);
        if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            if (errno != EADDRINUSE || !removeStale(address))
                return closeFailing(errno);
            if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
                return closeFailing(errno);
        }
        // Anyone may connect; the host checks every caller's user itself.
        ::chmod(path.c_str(), 0666);
        struct stat made
        {
        };
        ::stat(path.c_str(), &made);
        m_inode = made.st_ino;
        m_device = made.st_dev;
        if (::listen(m_fd, 16) != 0)
            return closeFailing(errno);
        return true;
    }

    int fd() const { return m_fd; }

private:
    // A socket file nobody listens on is left from an earlier run; one that
    // answers belongs to a running copy.
    static bool removeStale(const sockaddr_un& address)
    {
        struct stat existing
        {
        };
        if (::lstat(address.sun_path, &existing) != 0 || !S_ISSOCK(existing.st_mode)) {
            errno = EADDRINUSE;
            return false;
        }
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe < 0)
            return false;
        const int result = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        const int error = errno;
        ::close(probe);
        if (result == 0 || error != ECONNREFUSED) {
            errno = EADDRINUSE;
            return false;
        }
        return ::unlink(address.sun_path) == 0;
    }

    bool closeFailing(int error)
    {
        ::close(m_fd);
        m_fd = -1;
        return fail(error);
    }

    std::string m_path;
    int m_fd = -1;
    ino_t m_inode = 0;
    dev_t m_device = 0;
};

void reply(int client, const char* word)
{
    const std::string line = std::string(word) + "\n";
    (void)!::send(client, line.data(), line.size(), MSG_NOSIGNAL);
}

// Reads one line within the deadline; false on a malformed or late request.
bool readRequest(int client, std::string& request)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(controlchannel::RequestTimeoutMs);
    while (request.size() < controlchannel::MaxRequest) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{client, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char c = 0;
        const ssize_t n = ::recv(client, &c, 1, 0);
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        request.push_back(c);
    }
    return false;
}

bool parseControl(const std::string& text, PwDword& control)
{
    if (text.empty() || text.size() > 3)
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < 1 || value > 255)
        return false;
    control = value;
    return true;
}

// The handler, when the service takes controls at all.
host::HandlerFunction activeHandler()
{
    std::lock_guard<std::mutex> lock(g_dispatcher.mutex);
    if (!g_dispatcher.handler)
        return nullptr;
    if (g_dispatcher.reported && g_dispatcher.status.dwCurrentState == svc::StateStopped)
        return nullptr;
    return g_dispatcher.handler;
}

void serveClient(int listenFd)
{
    const int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return;
    ucred peer{};
    socklen_t peerSize = sizeof peer;
    const bool known = ::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) == 0;

    // The request is read first, so that a refused client still gets its answer.
    std::string request;
    const bool complete = readRequest(client, request);
    PwDword control = 0;
    if (!known || peer.uid != ::geteuid()) {
        std::fprintf(stderr, "procwarden: control refused: user %ld may not control the service\n",
                     known ? static_cast<long>(peer.uid) : -1L);
        reply(client, controlchannel::ReplyDenied);
    } else if (!complete || !parseControl(request, control)) {
        std::fprintf(stderr, "procwarden: control refused: not a control code\n");
        reply(client, controlchannel::ReplyInvalid);
    } else if (host::HandlerFunction handler = activeHandler()) {
        handler(control);
        reply(client, controlchannel::ReplyOk);
    } else {
        reply(client, controlchannel::ReplyInactive);
    }
    ::close(client);
}

// SIGTERM and SIGINT are the stop control. A stop that comes while the
// service is still starting is held until it has reported its next state.
void deliverStop(bool fromSignal)
{
    host::HandlerFunction handler = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_dispatcher.mutex);
        const bool starting = !g_dispatcher.handler || !g_dispatcher.reported ||
                              g_dispatcher.status.dwCurrentState == svc::StateStartPending;
        if (fromSignal && starting) {
            g_dispatcher.stopHeld = true;
            return;
        }
        if (!fromSignal && (!g_dispatcher.stopHeld || starting))
            return;
        g_dispatcher.stopHeld = false;
        if (g_dispatcher.reported && g_dispatcher.status.dwCurrentState == svc::StateStopped)
            return;
        handler = g_dispatcher.handler;
    }
    handler(svc::ControlStop);
}

} // namespace

namespace host {

bool startServiceCtrlDispatcher(const ServiceTableEntry* table)
{
    if (!table || !table[0].serviceName || !table[0].serviceProc)
        return fail(EINVAL);
    {
        std::lock_guard<std::mutex> lock(g_dispatcher.mutex);
        if (g_dispatcher.running)
            return fail(EALREADY);
        g_dispatcher.running = true;
        g_dispatcher.serviceName = table[0].serviceName;
        g_dispatcher.handler = nullptr;
        g_dispatcher.reported = false;
        g_dispatcher.serviceMainReturned = false;
        g_dispatcher.stopHeld = false;
    }
    auto leave = [](int error) {
        std::lock_guard<std::mutex> lock(g_dispatcher.mutex);
        g_dispatcher.running = false;
        return fail(error);
    };

    // Every thread made from here on inherits the mask, so the signals reach only the signalfd.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask);
    const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (signalFd < 0) {
        const int error = errno;
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        return leave(error);
    }

    auto control = std::make_unique<ControlSocket>();
    if (!control->open(controlchannel::socketPath())) {
        const int error = static_cast<int>(t_lastError);
        std::fprintf(stderr, "procwarden: cannot open the control channel %s: %s\n",
                     controlchannel::socketPath().c_str(), std::strerror(error));
        ::close(signalFd);
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        return leave(error);
    }
    g_dispatcher.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_dispatcher.wakeFd < 0) {
        const int error = errno;
        control.reset();
        ::close(signalFd);
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        return leave(error);
    }

    const ServiceMainFunction serviceMain = table[0].serviceProc;
    std::thread serviceThread([serviceMain, name = std::string(table[0].serviceName)]() mutable {
        char* argv[] = {&name[0], nullptr};
        serviceMain(1, argv);
        {
            std::lock_guard<std::mutex> lock(g_dispatcher.mutex);
            g_dispatcher.serviceMainReturned = true;
        }
        g_dispatcher.wake();
    });

    for (;;) {
        {
            std::lock_guard<std::mutex> lock(g_dispatcher.mutex);
            if (g_dispatcher.serviceMainReturned)
                break;
        }
        pollfd fds[3] = {{signalFd, POLLIN, 0}, {control->fd(), POLLIN, 0}, {g_dispatcher.wakeFd, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                deliverStop(true);
        }
        if (fds[2].revents & POLLIN) {
            std::uint64_t count = 0;
            (void)!::read(g_dispatcher.wakeFd, &count, sizeof count);
            deliverStop(false);
        }
        if (fds[1].revents & POLLIN)
            serveClient(control->fd());
    }
    serviceThread.join();

    control.reset();
    ::close(g_dispatcher.wakeFd);
    g_dispatcher.wakeFd = -1;
    ::close(signalFd);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    std::lock_guard<std::mutex> lock(g_dispatcher.mutex);
    g_dispatcher.running = false;
    g_dispatcher.handler = nullptr;
    return true;
}

ServiceStatusHandle registerServiceCtrlHandler(const char* serviceName, HandlerFunction handler)
{
    std::lock_guard<std::mutex> lock(g_dispatcher.mutex);
    if (!g_dispatcher.running) {
        fail(ENXIO);
        return nullptr;
    }
    if (!serviceName || g_dispatcher.serviceName != serviceName || !handler) {
        fail(ENOENT);
        return nullptr;
    }
    g_dispatcher.handler = handler;
    return &serviceHandle;
}

bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status)
{
    if (handle != &serviceHandle)
        return fail(EBADF);
    if (status.dwCurrentState < svc::StateStopped || status.dwCurrentState > 7)
        return fail(EINVAL);
    {
        std::lock_guard<std::mutex> lock(g_dispatcher.mutex);
        if (!g_dispatcher.running)
            return fail(ENXIO);
        g_dispatcher.status = status;
        g_dispatcher.reported = true;
    }
    g_dispatcher.wake();

    std::fprintf(stderr, "procwarden: status %s (controls accepted %lu, exit code %lu, checkpoint %lu)\n",
                 stateName(status.dwCurrentState), static_cast<unsigned long>(status.dwControlsAccepted),
                 static_cast<unsigned long>(status.dwWin32ExitCode),
                 static_cast<unsigned long>(status.dwCheckPoint));
    std::string message;
    switch (status.dwCurrentState) {
    case svc::StateRunning:
        message = "READY=1\nSTATUS=running";
        break;
    case svc::StateStopPending:
        message = "STOPPING=1\nSTATUS=stopping";
        break;
    case svc::StateStartPending:
        message = "STATUS=starting";
        break;
    case svc::StateStopped:
        message = "STATUS=stopped";
        if (status.dwWin32ExitCode != 0)
            message += "\nERRNO=" + std::to_string(status.dwWin32ExitCode);
        break;
    default:
        message = std::string("STATUS=") + stateName(status.dwCurrentState);
        break;
    }
    return notifySystemd(message);
}

Handle createEvent()
{
    return new WaitableRef(std::make_shared<Waitable>());
}

bool setEvent(Handle event)
{
    Waitable* object = waitable(event);
    if (!object)
        return fail(EBADF);
    object->signal();
    return true;
}

WaitResult waitForSingleObject(Handle object, PwDword milliseconds)
{
    Waitable* w = waitable(object);
    if (!w) {
        fail(EBADF);
        return WaitResult::Failed;
    }
    std::unique_lock<std::mutex> lock(w->mutex);
    if (milliseconds == Infinite) {
        w->changed.wait(lock, [w] { return w->signalled; });
        return WaitResult::Object0;
    }
    const bool signalled =
        w->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [w] { return w->signalled; });
    return signalled ? WaitResult::Object0 : WaitResult::Timeout;
}

Handle createThread(ThreadFunction function, void* parameter)
{
    if (!function) {
        fail(EINVAL);
        return nullptr;
    }
    auto done = std::make_shared<Waitable>();
    try {
        std::thread([function, parameter, done] {
            function(parameter);
            done->signal();
        }).detach();
    } catch (const std::system_error& error) {
        fail(error.code().value());
        return nullptr;
    }
    return new WaitableRef(done);
}

void sleep(PwDword milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool closeHandle(Handle object)
{
    if (!object)
        return fail(EBADF);
    delete static_cast<WaitableRef*>(object);
    return true;
}

PwDword getLastError()
{
    return t_lastError;
}

} // namespace host
