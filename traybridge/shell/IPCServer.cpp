#include "IPCServer.h"

#include "ModalBox.h"

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
    QLocalServer::removeServer(QStringLiteral(IPC_NAME));
    if (!m_server->listen(QStringLiteral(IPC_NAME))) {
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
