#include "BenchWebUi.h"

#include "Clock.h"

#include <QTcpSocket>

#include <memory>

void BenchWebUi::incomingConnection(qintptr descriptor)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        m_input.remove(socket);
        m_held.removeAll(socket);
        socket->deleteLater();
    });
}

void BenchWebUi::serve(QTcpSocket* socket)
{
    QByteArray& input = m_input[socket];
    input += socket->readAll();
    for (;;) {
        const int headerEnd = input.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QByteArray header = input.left(headerEnd);
        qint64 length = 0;
        for (const QByteArray& line : header.split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
        }
        if (input.size() < headerEnd + 4 + length)
            return;
        const QByteArray requestLine = header.left(header.indexOf('\r'));
        input.remove(0, headerEnd + 4 + length);

        const QByteArray path = requestLine.split(' ').value(1);
        if (path.startsWith("/sdapi/v1/progress")) {
            const QByteArray body = m_progressBody;
            reply(socket, 200, body, [this, body](qint64 ns) { emit progressAnswered(ns, body); });
        } else if (path.startsWith("/sdapi/v1/txt2img")) {
            m_held.append(socket);
            emit txt2imgReceived();
        } else if (path.startsWith("/sdapi/v1/skip")) {
            reply(socket, 200, "{}", nullptr);
        } else {
            reply(socket, 404, "{\"detail\":\"Not Found\"}", nullptr);
        }
    }
}

bool BenchWebUi::answerTxt2img(const QByteArray& body)
{
    if (m_held.isEmpty())
        return false;
    reply(m_held.takeFirst(), 200, body, [this](qint64 ns) { emit txt2imgAnswered(ns); });
    return true;
}

void BenchWebUi::reply(QTcpSocket* socket, int status, const QByteArray& body,
                       std::function<void(qint64)> sent)
{
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Not Found") +
        "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
        "\r\nConnection: keep-alive\r\n\r\n";
    socket->write(head + body);
    socket->flush();
    if (!sent)
        return;
    if (socket->bytesToWrite() == 0) {
        sent(clockNs());
        return;
    }
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(socket, &QTcpSocket::bytesWritten, this, [socket, sent, connection] {
        if (socket->bytesToWrite() > 0)
            return;
        QObject::disconnect(*connection);
        sent(clockNs());
    });
}
