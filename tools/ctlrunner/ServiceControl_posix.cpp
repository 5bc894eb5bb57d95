#include "ServiceControl.h"

#include "ControlChannel.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#ifndef TB_SYSTEMD_UNIT_DIR
#define TB_SYSTEMD_UNIT_DIR "/usr/lib/systemd/system"
#endif

namespace {
// How long a control may take: the service walks the whole process list.
constexpr int ReplyTimeoutMs = 30000;

// The service is installed when systemd knows its unit.
bool unitInstalled()
{
    const char* dirs[] = {"/etc/systemd/system",     "/run/systemd/system", "/usr/local/lib/systemd/system",
                          "/usr/lib/systemd/system", "/lib/systemd/system", TB_SYSTEMD_UNIT_DIR};
    for (const char* dir : dirs) {
        struct stat info
        {
        };
        if (::stat((std::string(dir) + "/procwarden.service").c_str(), &info) == 0)
            return true;
    }
    return false;
}

class Fd
{
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};

ControlResult systemError(int error, const std::string& what, std::string& detail)
{
    detail = what + ": " + std::strerror(error);
    return ControlResult::Failed;
}
} // namespace

ControlResult sendServiceControl(const std::string& serviceName, unsigned control, std::string& detail)
{
    (void)serviceName; // procwarden is the only service behind the channel
    const std::string path = controlchannel::socketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        detail = "control channel path too long: " + path;
        return ControlResult::Failed;
    }
    std::memcpy(address.sun_path, path.data(), path.size());

    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return systemError(errno, "socket", detail);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        detail = path + ": " + std::strerror(error);
        switch (error) {
        case ENOENT:
        case ENOTDIR:
            return unitInstalled() ? ControlResult::NotRunning : ControlResult::NotInstalled;
        case ECONNREFUSED:
            return ControlResult::NotRunning;
        case EACCES:
        case EPERM:
            return ControlResult::AccessDenied;
        default:
            return ControlResult::Failed;
        }
    }

    const std::string request = std::to_string(control) + "\n";
    // A service that refuses the caller may answer before it has read the request.
    const bool requestSent = ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) ==
                             static_cast<ssize_t>(request.size());
    const int sendError = errno;

    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ReplyTimeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd.get(), POLLIN, 0};
        const int ready = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            detail = "the service did not answer within " + std::to_string(ReplyTimeoutMs / 1000) + " s";
            return ControlResult::Failed;
        }
        char buffer[32];
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n < 0)
            return systemError(requestSent ? errno : sendError,
                               requestSent ? "reading the answer" : "sending the control", detail);
        if (n == 0)
            break;
        answer.append(buffer, static_cast<std::size_t>(n));
        if (answer.find('\n') != std::string::npos)
            break;
    }
    if (answer.empty() && !requestSent)
        return systemError(sendError, "sending the control", detail);
    const std::string word = answer.substr(0, answer.find('\n'));
    if (word == controlchannel::ReplyOk)
        return ControlResult::Sent;
    detail = word.empty() ? std::string("the service closed the channel without an answer")
                          : "service answered " + word;
    if (word == controlchannel::ReplyDenied)
        return ControlResult::AccessDenied;
    if (word == controlchannel::ReplyInactive)
        return ControlResult::NotRunning;
    return ControlResult::Failed;
}
