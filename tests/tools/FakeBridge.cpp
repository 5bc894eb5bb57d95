#include "FakeBridge.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

FakeBridge::FakeBridge(QObject* parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeBridge::accept);
}

bool FakeBridge::listen(quint16 port)
{
    return m_server.listen(QHostAddress::Any, port);
}

void FakeBridge::accept()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        ++m_connections;
        socket->setParent(this);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // One read only: later bytes on the connection are never looked at.
        auto once = std::make_shared<QMetaObject::Connection>();
        *once = connect(socket, &QTcpSocket::readyRead, this, [this, socket, once] {
            disconnect(*once);
            const QByteArray request = socket->readAll();
            m_requests.append(request);
            emit requestRead(request);
            const Script script = m_responder ? m_responder(request) : Script{};
            play(socket, script, 0);
        });
    }
}

void FakeBridge::play(QTcpSocket* socket, Script script, int next)
{
    if (next < script.writes.size()) {
        socket->write(script.writes.at(next));
        socket->flush();
    }
    if (next + 1 < script.writes.size()) {
        QPointer<QTcpSocket> alive(socket);
        QTimer::singleShot(script.gapMs, this, [this, alive, script, next] {
            if (alive)
                play(alive, script, next + 1);
        });
        return;
    }
    if (script.closeAfter)
        socket->disconnectFromHost();
}
