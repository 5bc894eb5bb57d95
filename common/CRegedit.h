#pragma once

#include <string>

// Reads the file paths of the installation from the settings key
// "SOFTWARE\Cinema4DPluginSettings" (HKEY_LOCAL_MACHINE on Windows, a folder
// store elsewhere). Standard library only: both programs build it.
class CRegedit
{
public:
    // Outcome of one read, in the order the reader tests for them.
    enum class Outcome
    {
        Ok,
        KeyNotFound,   // the key is absent (open error 2)
        KeyOpenError,  // the key exists but cannot be opened
        ValueNotFound, // the query failed: no such value, or too long for the buffer
        ValueEmpty     // the value holds no text
    };

    // Called after every read, success included, with the value as it stands
    // after the call. Each program installs its own: message box and debug
    // line in the tray program, log lines in the service.
    using Reporter = void (*)(Outcome outcome, const std::string& name, const std::string& value);

    static bool ReadPathInstallClient(std::string name, std::string& value);

    static void setReporter(Reporter reporter);

    // The key path, as the reports name it.
    static const char* keyPath();

    // The platform read without any report (CRegedit_win.cpp / CRegedit_posix.cpp).
    // Leaves value as it was when the key cannot be opened or the value not be
    // queried; a text of 255 bytes or more fails as "not found".
    static Outcome readValue(const std::string& name, std::string& value);

    // Where the key lives: the folder of the store outside Windows
    // ($TRAYBRIDGE_REGISTRY_ROOT, default /etc/traybridge/registry, followed by
    // /SOFTWARE/Cinema4DPluginSettings), the registry path on Windows.
    static std::string keyFolder();
};
