#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// The baseline of the fan-out figures: a bare server on a thread of its own
// that writes the same bytes to every connection it has accepted, and nothing
// else. The bench reads its connections as it reads traybridge's.
class FanOutWriter : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Listens on a free loopback port (call on the writer's thread).
    Q_INVOKABLE quint16 listen();
    Q_INVOKABLE int connections() const { return m_sockets.size(); }
    Q_INVOKABLE void send(const QByteArray& bytes);
    Q_INVOKABLE void closeAll();

private:
    QTcpServer* m_server = nullptr;
    QList<QTcpSocket*> m_sockets;
};
