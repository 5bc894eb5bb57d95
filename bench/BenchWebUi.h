#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

// A stand-in of the web UI's HTTP interface for the benchmarks, in the bench's
// own event loop so that it can stamp the moment each answer has been sent:
// progress polls get the body set last, txt2img requests are held until the
// bench answers them, skips get an empty object.
class BenchWebUi : public QTcpServer
{
    Q_OBJECT
public:
    using QTcpServer::QTcpServer;

    void setProgressBody(const QByteArray& body) { m_progressBody = body; }
    int heldTxt2img() const { return m_held.size(); }
    // Answers the oldest held txt2img request; false when none is held.
    bool answerTxt2img(const QByteArray& body);

signals:
    void txt2imgReceived();
    // The whole answer has been handed to the system (clockNs()).
    void txt2imgAnswered(qint64 ns);
    void progressAnswered(qint64 ns, const QByteArray& body);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void serve(QTcpSocket* socket);
    void reply(QTcpSocket* socket, int status, const QByteArray& body, std::function<void(qint64)> sent);

    QHash<QTcpSocket*, QByteArray> m_input;
    QList<QTcpSocket*> m_held;
    QByteArray m_progressBody = "{\"progress\": 0.0}";
};
