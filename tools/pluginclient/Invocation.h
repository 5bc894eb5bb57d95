#pragma once

#include <QByteArray>
#include <QString>

// What one run of plugin-client does, as read from its command line.
struct Invocation
{
    enum class Command
    {
        Help,
        Ping,
        RunWebUi,
        Status,
        Skip,
        IsRunning,
        LoadStatus,
        GetLoadStatus,
        Raw,
        Generate
    };

    Command command = Command::Help;
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 20837;
    // Give up when nothing arrives for this long.
    int timeoutMs = 10000;
    // The bytes sent on the connection.
    QByteArray request;
    // raw: keep printing until the connection closes or goes silent.
    bool follow = false;
};
