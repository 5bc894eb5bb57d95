#include "FanOutWriter.h"

#include <QTcpSocket>

quint16 FanOutWriter::listen()
{
    m_server = new QTcpServer(this);
    m_server->setMaxPendingConnections(1000);
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            m_sockets.append(socket);
        }
    });
    return m_server->listen(QHostAddress::LocalHost, 0) ? m_server->serverPort() : 0;
}

void FanOutWriter::send(const QByteArray& bytes)
{
    for (QTcpSocket* socket : qAsConst(m_sockets)) {
        socket->write(bytes);
        socket->flush();
    }
}

void FanOutWriter::closeAll()
{
    qDeleteAll(m_sockets);
    m_sockets.clear();
    delete m_server;
    m_server = nullptr;
}
