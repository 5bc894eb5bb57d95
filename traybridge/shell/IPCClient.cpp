#include "IPCClient.h"

#include "DebugPrefix.h"
#include "IPCServer.h"
#include "UserPaths.h"

#include <QDataStream>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>

namespace IPC {

Client::Client(QWidget* parent) : QDialog(parent)
{
    m_HostLineEdit = new QLineEdit(QStringLiteral("HostAddr"), this);
    m_SendButton = new QPushButton(tr("Send"), this);
    m_QuitButton = new QPushButton(tr("Quit"), this);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_HostLineEdit);
    layout->addWidget(m_SendButton);
    layout->addWidget(m_QuitButton);

    socket = new QLocalSocket(this);

    connect(m_HostLineEdit, &QLineEdit::textChanged, this, &Client::enableSendMessagesButton);
    connect(m_SendButton, &QPushButton::clicked, this, &Client::request);
    connect(m_QuitButton, &QPushButton::clicked, this, &Client::close);
    connect(socket, SIGNAL(readyRead()), this, SLOT(readMessages()));
    connect(socket, SIGNAL(error(QLocalSocket::LocalSocketError)), this,
            SLOT(displayError(QLocalSocket::LocalSocketError)));
}

void Client::setMessageCallback(std::function<void()> f)
{
    m_messageCallback = std::move(f);
}

void Client::setNoServerCallback(std::function<void()> f)
{
    m_noServerCallback = std::move(f);
}

void Client::send()
{
    blockSize = 0;
    socket->abort();
    const QString name = UserPaths::ipcName();
    socket->connectToServer(name, QIODevice::ReadWrite);
    tb::shortPrefix(qDebug(), "send", "] : connectToServer(IPC_NAME)") << IPC_NAME;
    if (name != QLatin1String(IPC_NAME))
        tb::shortPrefix(qDebug(), "send", "] : local socket") << name;
}

// The never-shown window's own knock, at the name typed in its field.
void Client::request()
{
    m_SendButton->setEnabled(false);
    blockSize = 0;
    socket->abort();
    socket->connectToServer(m_HostLineEdit->text(), QIODevice::ReadWrite);
}

void Client::readMessages()
{
    QDataStream in(socket);
    in.setVersion(QDataStream::Qt_4_0);

    if (blockSize == 0) {
        if (socket->bytesAvailable() < qint64(sizeof(quint32)))
            return;
        in >> blockSize;
    }
    if (socket->bytesAvailable() < qint64(blockSize) || in.atEnd())
        return;

    QString nextMessage;
    in >> nextMessage;
    blockSize = 0;
    if (nextMessage == m_CurrentMessages) {
        // An empty or repeated text is no hand-over: the block is dropped and
        // no reaction runs (the running copy never sends one).
        qCritical() << "[Client::readMessages] : the answer repeats the last one and is not taken:"
                    << nextMessage;
        return;
    }
    m_CurrentMessages = nextMessage;
    m_messageCallback();
}

void Client::displayError(QLocalSocket::LocalSocketError socketError)
{
    switch (socketError) {
    case QLocalSocket::ConnectionRefusedError:
        qCritical()
            << "[Client::displayError] : The connection was refused by the peer. Make sure the <Inter "
               "Process Communications Server> is running, and check that the host name and port settings "
               "are correct.";
        break;
    case QLocalSocket::PeerClosedError:
        return;
    case QLocalSocket::ServerNotFoundError:
        qCritical() << "[Client::displayError] : The host was not found. Please check the host name and port "
                       "settings.";
        break;
    default:
        qCritical() << "[Client::displayError] : The following error occurred: " << socket->errorString();
        break;
    }
    m_noServerCallback();
}

void Client::enableSendMessagesButton()
{
    m_SendButton->setEnabled(!m_HostLineEdit->text().isEmpty());
}

} // namespace IPC
