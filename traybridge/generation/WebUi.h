#pragma once

#include <QString>

// The web UI's fixed base address; every endpoint URL is a template filled with it.
namespace WebUi {
inline QString baseAddress()
{
    return QStringLiteral("http://127.0.0.1:7860");
}
} // namespace WebUi
