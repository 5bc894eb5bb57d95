#pragma once

#include "StreamParser.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTcpSocket>

// One connection to traybridge: connect, send one request in one write, then
// read what comes back as messages. Blocking; every wait ends after the
// silence limit given to the constructor.
class BridgeClient
{
public:
    enum class Status
    {
        Events,   // at least one message arrived
        Closed,   // traybridge closed the connection (messages before it are returned first)
        TimedOut, // nothing arrived within the silence limit
        Failed    // connecting or sending failed; see errorText()
    };

    // How long a stream must stay quiet before a message at its end counts as whole.
    static constexpr int settleMs = 150;

    BridgeClient(QString host, quint16 port, int silenceMs);

    // Connects and writes the request. On failure, exitCode() and errorText() say why.
    bool sendRequest(const QByteArray& request);

    // Waits for the next messages.
    Status readEvents(QList<StreamEvent>& events);
    // Waits for the next raw bytes; `quietMs` > 0 ends the wait early once
    // something has arrived and then nothing more for that long.
    Status readRaw(QByteArray& bytes, int quietMs);

    QString errorText() const { return m_errorText; }
    int exitCode() const { return m_exitCode; }
    QString address() const;

private:
    enum class Wait
    {
        Data,
        Quiet,
        Closed
    };
    Wait waitForBytes(int ms);

    QString m_host;
    quint16 m_port;
    int m_silenceMs;
    QTcpSocket m_socket;
    StreamParser m_parser;
    bool m_closed = false;
    QString m_errorText;
    int m_exitCode = 0;
};
