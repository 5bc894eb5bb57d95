#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

// Stands in for traybridge's TCP server: it reads each connection once (the
// bytes that have arrived with the first data), then writes a reply and any
// notifications, every write as it is with nothing between them.
class FakeBridge : public QObject
{
    Q_OBJECT
public:
    struct Script
    {
        QList<QByteArray> writes; // the first one right after the read, the rest gapMs apart
        bool closeAfter = false;  // close the connection after the last write
        int gapMs = 20;
    };
    using Responder = std::function<Script(const QByteArray& request)>;

    explicit FakeBridge(QObject* parent = nullptr);

    bool listen(quint16 port);
    quint16 port() const { return m_server.serverPort(); }
    void setResponder(Responder responder) { m_responder = std::move(responder); }

    QList<QByteArray> requests() const { return m_requests; }
    int connections() const { return m_connections; }

signals:
    void requestRead(const QByteArray& request);

private:
    void accept();
    void play(QTcpSocket* socket, Script script, int next);

    QTcpServer m_server;
    Responder m_responder;
    QList<QByteArray> m_requests;
    int m_connections = 0;
};
