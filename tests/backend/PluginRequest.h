#pragma once

#include "CTcpServer.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>

// Sends one request as the plug-in does and collects what comes back.
class PluginRequest : public QObject
{
public:
    explicit PluginRequest(const QByteArray& request)
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] { reply += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, CTcpServer::port);
        socket.write(request);
    }
    QTcpSocket socket;
    QByteArray reply;
};
