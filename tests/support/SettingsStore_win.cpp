#include "SettingsStore.h"

#include <windows.h>

namespace SettingsStore {

namespace {

const char* const kKey = "SOFTWARE\\Cinema4DPluginSettings";

} // namespace

bool write(const QString& /*root*/, const QString& name, const QByteArray& value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    // REG_SZ with its terminating zero, as a registry editor writes it.
    const QByteArray data = value + '\0';
    const LONG rc = RegSetValueExA(key, name.toLocal8Bit().constData(), 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(data.constData()), DWORD(data.size()));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

bool remove(const QString& /*root*/, const QString& name)
{
    HKEY key = nullptr;
    const LONG open = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key);
    if (open == ERROR_FILE_NOT_FOUND)
        return true;
    if (open != ERROR_SUCCESS)
        return false;
    const LONG rc = RegDeleteValueA(key, name.toLocal8Bit().constData());
    RegCloseKey(key);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

bool clear(const QString& /*root*/)
{
    const LONG rc = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY, 0);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

} // namespace SettingsStore
