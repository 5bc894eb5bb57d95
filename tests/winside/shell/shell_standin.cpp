// A small Windows program that stands in for others under their names: it
// appends its arguments as one line to "<own path>.args", then
//  - if "<own path>.exit" holds a number: waits 300 ms, writes "<own path>.done"
//    and ends with that number (a stand-in ctlrunner);
//  - otherwise runs until "<own path>.stop" exists (a stand-in Cinema 4D).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring ownPath()
{
    wchar_t buffer[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
    return std::wstring(buffer, length);
}

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

int main()
{
    const std::wstring self = ownPath();

    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            line += L' ';
        line += argv[i];
    }
    line += L'\n';
    if (FILE* args = _wfopen((self + L".args").c_str(), L"ab")) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, &utf8[0], size, nullptr, nullptr);
        std::fwrite(utf8.data(), 1, utf8.size() - 1, args);
        std::fclose(args);
    }

    if (FILE* exitFile = _wfopen((self + L".exit").c_str(), L"rb")) {
        int code = 0;
        if (std::fscanf(exitFile, "%d", &code) != 1)
            code = 0;
        std::fclose(exitFile);
        Sleep(300);
        if (FILE* done = _wfopen((self + L".done").c_str(), L"wb"))
            std::fclose(done);
        return code;
    }
    while (!exists(self + L".stop"))
        Sleep(50);
    return 0;
}
