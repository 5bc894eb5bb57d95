// logwriter SECONDS MESSAGE...: writes each message through writeLog with the
// clock fixed at SECONDS since the epoch; "\n" in a message is a line break.
// logwriter SECONDS --threads MESSAGE...: one thread per message, all started
// at once, each writing its message with its number 0 to 999 after a space.
#include "ServiceLog.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {
std::time_t g_time = 0;

std::time_t fixedClock()
{
    return g_time;
}

std::string unescape(const std::string& text)
{
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            result += '\n';
            ++i;
        } else {
            result += text[i];
        }
    }
    return result;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    g_time = static_cast<std::time_t>(std::strtoll(argv[1], nullptr, 10));
    setLogClock(fixedClock);
    if (argc > 2 && std::strcmp(argv[2], "--threads") == 0) {
        std::vector<std::thread> threads;
        for (int i = 3; i < argc; ++i) {
            const std::string message = unescape(argv[i]);
            threads.emplace_back([message] {
                for (int n = 0; n < 1000; ++n)
                    writeLog(message + " " + std::to_string(n));
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        return 0;
    }
    for (int i = 2; i < argc; ++i)
        writeLog(unescape(argv[i]));
    return 0;
}
