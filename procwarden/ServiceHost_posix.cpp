// The POSIX service host: the program is its own service manager. The thread
// that calls the dispatcher runs the control loop (and with it the control
// handler) while ServiceMain runs on a thread of its own, as under the Service
// Control Manager. Controls come from SIGTERM/SIGINT (the stop control) and
// from the local control channel; status reports go to systemd's notification
// socket when there is one and to the standard error stream (the journal).
#include "ServiceHost.h"

#include "ControlChannel.h"

#include <algorithm>
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
#include <vector>

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

        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (m_fd < 0)
            return fail(errno);
        if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            if (errno != EADDRINUSE || !removeStale(address))
                return closeFailing(errno);
            if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
                return closeFailing(errno);
        }
        // Only the service's own user may connect (and root, who is refused
        // by the user check); set before listen, so no one connects earlier.
        if (::chmod(path.c_str(), 0600) != 0)
            return closeFailing(errno);
        struct stat made
        {
        };
        ::stat(path.c_str(), &made);
        m_inode = made.st_ino;
        m_device = made.st_dev;
        if (::listen(m_fd, SOMAXCONN) != 0)
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
    // Never waits: a client that does not read gets what fits.
    (void)!::send(client, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
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

// The clients of the control channel. Each one is read as its bytes come, with
// its own deadline, so that no client waits for another; the control loop
// never blocks on a client.
class ControlClients
{
public:
    // Clients waiting for their request line at one time; beyond it the
    // oldest goes, so that a flood cannot take the descriptors.
    static constexpr std::size_t MaxPending = 64;

    ~ControlClients()
    {
        for (const Pending& client : m_pending)
            ::close(client.fd);
    }

    // Takes every connection waiting on the listening socket. A caller
    // without the right is refused at once, before anything is read.
    void acceptAll(int listenFd)
    {
        for (;;) {
            const int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (client < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                // Out of descriptors: the oldest waiting client makes room.
                if ((errno == EMFILE || errno == ENFILE) && !m_pending.empty()) {
                    drop(0);
                    continue;
                }
                return;
            }
            ucred peer{};
            socklen_t peerSize = sizeof peer;
            const bool known = ::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) == 0;
            if (!known || peer.uid != ::geteuid()) {
                std::fprintf(stderr, "procwarden: control refused: user %ld may not control the service\n",
                             known ? static_cast<long>(peer.uid) : -1L);
                reply(client, controlchannel::ReplyDenied);
                ::close(client);
                continue;
            }
            if (m_pending.size() >= MaxPending)
                drop(0);
            m_pending.push_back({client, std::string(),
                                 Clock::now() + std::chrono::milliseconds(controlchannel::RequestTimeoutMs)});
        }
    }

    // Poll entries for the waiting clients, appended to fds.
    void addPollFds(std::vector<pollfd>& fds) const
    {
        for (const Pending& client : m_pending)
            fds.push_back({client.fd, POLLIN, 0});
    }

    // Milliseconds until the next deadline; -1 without waiting clients.
    int msToNextDeadline() const
    {
        if (m_pending.empty())
            return -1;
        Clock::time_point next = m_pending.front().deadline;
        for (const Pending& client : m_pending)
            next = std::min(next, client.deadline);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
        return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
    }

    // Reads what the clients sent (fds from firstFd on are theirs, in order),
    // serves complete requests and refuses late or malformed ones.
    void serve(const std::vector<pollfd>& fds, std::size_t firstFd)
    {
        std::vector<int> ready;
        for (std::size_t i = firstFd; i < fds.size(); ++i)
            if (fds[i].revents)
                ready.push_back(fds[i].fd);
        for (int fd : ready) {
            const std::size_t index = find(fd);
            if (index < m_pending.size())
                read(index);
        }
        const Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < m_pending.size();) {
            if (m_pending[i].deadline <= now) {
                refuseInvalid(m_pending[i].fd);
                drop(i);
            } else {
                ++i;
            }
        }
    }

private:
    using Clock = std::chrono::steady_clock;

    struct Pending
    {
        int fd;
        std::string request;
        Clock::time_point deadline;
    };

    std::size_t find(int fd) const
    {
        for (std::size_t i = 0; i < m_pending.size(); ++i)
            if (m_pending[i].fd == fd)
                return i;
        return m_pending.size();
    }

    void drop(std::size_t index)
    {
        ::close(m_pending[index].fd);
        m_pending.erase(m_pending.begin() + static_cast<std::ptrdiff_t>(index));
    }

    static void refuseInvalid(int client)
    {
        std::fprintf(stderr, "procwarden: control refused: not a control code\n");
        reply(client, controlchannel::ReplyInvalid);
    }

    void read(std::size_t index)
    {
        Pending& client = m_pending[index];
        char buffer[controlchannel::MaxRequest];
        const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (n <= 0) {
            // Gone before its request was complete.
            refuseInvalid(client.fd);
            drop(index);
            return;
        }
        client.request.append(buffer, static_cast<std::size_t>(n));
        const std::string::size_type end = client.request.find('\n');
        if (end == std::string::npos) {
            if (client.request.size() >= controlchannel::MaxRequest) {
                refuseInvalid(client.fd);
                drop(index);
            }
            return;
        }
        const int fd = client.fd;
        PwDword control = 0;
        const bool valid =
            end < controlchannel::MaxRequest && parseControl(client.request.substr(0, end), control);
        // Off the list before the handler runs: it may take a while, and the client is done.
        m_pending.erase(m_pending.begin() + static_cast<std::ptrdiff_t>(index));
        if (!valid) {
            refuseInvalid(fd);
        } else if (host::HandlerFunction handler = activeHandler()) {
            handler(control);
            reply(fd, controlchannel::ReplyOk);
        } else {
            reply(fd, controlchannel::ReplyInactive);
        }
        ::close(fd);
    }

    std::vector<Pending> m_pending;
};

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

    ControlClients clients;
    std::vector<pollfd> fds;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(g_dispatcher.mutex);
            if (g_dispatcher.serviceMainReturned)
                break;
        }
        fds.assign({{signalFd, POLLIN, 0}, {g_dispatcher.wakeFd, POLLIN, 0}, {control->fd(), POLLIN, 0}});
        clients.addPollFds(fds);
        if (::poll(fds.data(), fds.size(), clients.msToNextDeadline()) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        // The stop comes first; no client is waited for.
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                deliverStop(true);
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            (void)!::read(g_dispatcher.wakeFd, &count, sizeof count);
            deliverStop(false);
        }
        clients.serve(fds, 3);
        if (fds[2].revents & POLLIN)
            clients.acceptAll(control->fd());
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
