#include "ProcessList.h"

#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <iterator>

namespace {

bool isPid(const char* name)
{
    if (!*name)
        return false;
    for (const char* c = name; *c; ++c) {
        if (!std::isdigit(static_cast<unsigned char>(*c)))
            return false;
    }
    return true;
}

std::string baseName(const std::string& path)
{
    const std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The target of /proc/<pid>/exe; the kernel marks a removed file with " (deleted)".
bool executablePath(const std::string& procDir, std::string& path)
{
    std::string buffer(4096, '\0');
    const ssize_t length = readlink((procDir + "/exe").c_str(), &buffer[0], buffer.size());
    if (length <= 0 || static_cast<size_t>(length) >= buffer.size())
        return false;
    buffer.resize(static_cast<size_t>(length));
    static const std::string deleted = " (deleted)";
    if (buffer.size() > deleted.size() &&
        buffer.compare(buffer.size() - deleted.size(), deleted.size(), deleted) == 0 &&
        access(buffer.c_str(), F_OK) != 0)
        buffer.resize(buffer.size() - deleted.size());
    path = buffer;
    return true;
}

// The first item of the command line, for processes whose executable cannot be read.
bool firstArgument(const std::string& procDir, std::string& path)
{
    std::ifstream cmdline(procDir + "/cmdline", std::ios::binary);
    if (!cmdline)
        return false;
    std::getline(cmdline, path, '\0');
    return !path.empty();
}

} // namespace

bool ProcessList::executableNames(std::vector<std::string>& names)
{
    names.clear();
    DIR* proc = opendir("/proc");
    if (!proc)
        return false;
    while (const dirent* entry = readdir(proc)) {
        if (!isPid(entry->d_name))
            continue;
        const std::string procDir = std::string("/proc/") + entry->d_name;
        std::string path;
        if (!executablePath(procDir, path) && !firstArgument(procDir, path))
            continue; // kernel threads, or a process that has just ended
        const std::string name = baseName(path);
        if (!name.empty())
            names.push_back(name);
    }
    closedir(proc);
    return !names.empty();
}
