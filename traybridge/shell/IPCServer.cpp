#include "IPCServer.h"

#include "ModalBox.h"
#include "UserPaths.h"

#include <QByteArray>
#include <QDataStream>
#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRandomGenerator>

namespace IPC {

Server::Server(QWidget* parent) : QDialog(parent) {}

Server::~Server()
{
    qCritical() << "[Server::~Server] : ";
}

void Server::setCallback(std::function<void()> f)
{
    m_callback = std::move(f);
}

void Server::start()
{
    m_server = new QLocalServer(this);
    const QString name = UserPaths::ipcName();
    QLocalServer::removeServer(name);
    if (!m_server->listen(name)) {
        ModalBox::critical(tr("Inter Process Communications Server"),
                           tr("Unable to start the server: %1.").arg(m_server->errorString()));
        close();
        return;
    }
    messages << tr("THE APPLICATION IS ALREADY RUNNING");
    connect(m_server, &QLocalServer::newConnection, this, &Server::sendMessages);
}

void Server::sendMessages()
{
    m_callback();

    QByteArray block;
    QDataStream out(&block, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_0);
    out << quint32(0);
    out << messages.at(int(QRandomGenerator::global()->bounded(quint32(messages.size()))));
    out.device()->seek(0);
    out << quint32(block.size() - int(sizeof(quint32)));

    QLocalSocket* clientConnection = m_server->nextPendingConnection();
    if (!clientConnection)
        return;
    connect(clientConnection, &QLocalSocket::disconnected, clientConnection, &QLocalSocket::deleteLater);
    clientConnection->write(block);
    clientConnection->flush();
    clientConnection->disconnectFromServer();
}

} // namespace IPC
