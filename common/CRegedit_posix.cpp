#include "CRegedit.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Folder store in place of the registry: <root>/SOFTWARE/Cinema4DPluginSettings/
// holds one file per value, and the file's bytes are the value. The root is
// TRAYBRIDGE_REGISTRY_ROOT, or the machine-wide default.

namespace {

constexpr std::size_t bufferSize = 255;

// A value name must stay inside the key folder.
bool isPlainName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
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
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

std::string CRegedit::keyFolder()
{
    const char* root = std::getenv("TRAYBRIDGE_REGISTRY_ROOT");
    const std::string folder = (root && *root) ? root : "/etc/traybridge/registry";
    return folder + "/SOFTWARE/Cinema4DPluginSettings";
}

CRegedit::Outcome CRegedit::readValue(const std::string& name, std::string& value)
{
    char buffer[bufferSize];
    std::memset(buffer, 0, sizeof buffer);

    // Open the key: it must be a folder we may list and enter.
    const std::string folder = keyFolder();
    Fd key(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (key.get() < 0)
        return errno == ENOENT ? Outcome::KeyNotFound : Outcome::KeyOpenError;
    if (::faccessat(AT_FDCWD, folder.c_str(), R_OK | X_OK, AT_EACCESS) != 0)
        return Outcome::KeyOpenError;

    // Query the value; the key is closed when this scope ends, whatever the result.
    if (!isPlainName(name))
        return Outcome::ValueNotFound;
    // Non-blocking, so that a pipe or device in the key cannot hold the reader.
    Fd file(::openat(key.get(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0)
        return Outcome::ValueNotFound;
    struct stat info;
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return Outcome::ValueNotFound;
    // One byte more than the buffer tells a value that does not fit.
    char data[bufferSize + 1];
    std::size_t size = 0;
    while (size < sizeof data) {
        const ssize_t got = ::read(file.get(), data + size, sizeof data - size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Outcome::ValueNotFound; // e.g. the value name is a folder
        if (got == 0)
            break;
        size += static_cast<std::size_t>(got);
    }
    if (size >= bufferSize)
        return Outcome::ValueNotFound;
    std::memcpy(buffer, data, size);

    value.assign(buffer, ::strnlen(buffer, bufferSize));
    return value.empty() ? Outcome::ValueEmpty : Outcome::Ok;
}
