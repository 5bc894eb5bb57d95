#include "BridgeClient.h"

#include "ExitCodes.h"

#include <QElapsedTimer>
#include <QHostAddress>

#include <algorithm>
#include <utility>

BridgeClient::BridgeClient(QString host, quint16 port, int silenceMs)
    : m_host(std::move(host)), m_port(port), m_silenceMs(silenceMs)
{}

QString BridgeClient::address() const
{
    return m_host + QLatin1Char(':') + QString::number(m_port);
}

bool BridgeClient::sendRequest(const QByteArray& request)
{
    m_socket.connectToHost(m_host, m_port);
    if (!m_socket.waitForConnected(m_silenceMs)) {
        switch (m_socket.error()) {
        case QAbstractSocket::ConnectionRefusedError:
            m_exitCode = ExitCodes::notRunning;
            m_errorText =
                QStringLiteral("traybridge is not running: nothing accepts connections on %1").arg(address());
            break;
        case QAbstractSocket::SocketTimeoutError:
            m_exitCode = ExitCodes::timedOut;
            m_errorText = QStringLiteral("timed out connecting to %1").arg(address());
            break;
        default:
            m_exitCode = ExitCodes::notRunning;
            m_errorText = QStringLiteral("cannot connect to %1: %2").arg(address(), m_socket.errorString());
            break;
        }
        return false;
    }
    // The server reads a connection once, so the whole request goes in one write.
    if (request.isEmpty())
        return true;
    if (m_socket.write(request) != request.size() || !m_socket.waitForBytesWritten(m_silenceMs)) {
        m_exitCode = ExitCodes::noReply;
        m_errorText =
            QStringLiteral("cannot send the request to %1: %2").arg(address(), m_socket.errorString());
        return false;
    }
    return true;
}

BridgeClient::Wait BridgeClient::waitForBytes(int ms)
{
    if (m_closed)
        return Wait::Closed;
    if (m_socket.bytesAvailable() > 0)
        return Wait::Data;
    if (m_socket.waitForReadyRead(ms))
        return Wait::Data;
    if (m_socket.bytesAvailable() > 0)
        return Wait::Data;
    if (m_socket.state() != QAbstractSocket::ConnectedState) {
        m_closed = true;
        return Wait::Closed;
    }
    return Wait::Quiet;
}

BridgeClient::Status BridgeClient::readEvents(QList<StreamEvent>& events)
{
    events.clear();
    QElapsedTimer silence;
    silence.start();
    for (;;) {
        const int left = std::max(0, m_silenceMs - int(silence.elapsed()));
        const int wait = m_parser.hasPending() ? std::min(settleMs, left) : left;
        const Wait got = waitForBytes(wait);
        if (got == Wait::Data) {
            m_parser.feed(m_socket.readAll());
            silence.restart();
        } else if (got == Wait::Closed) {
            m_parser.finish();
        } else if (m_parser.hasPending()) {
            m_parser.flush();
        }
        events = m_parser.takeEvents();
        if (!events.isEmpty())
            return Status::Events;
        if (got == Wait::Closed)
            return Status::Closed;
        if (got == Wait::Quiet && silence.elapsed() >= m_silenceMs) {
            // A message that was held back for more bytes is taken as it is.
            m_parser.finish();
            events = m_parser.takeEvents();
            return events.isEmpty() ? Status::TimedOut : Status::Events;
        }
    }
}

BridgeClient::Status BridgeClient::readRaw(QByteArray& bytes, int quietMs)
{
    bytes.clear();
    const Wait got = waitForBytes(m_silenceMs);
    if (got == Wait::Closed)
        return Status::Closed;
    if (got == Wait::Quiet)
        return Status::TimedOut;
    bytes = m_socket.readAll();
    while (quietMs > 0 && waitForBytes(quietMs) == Wait::Data)
        bytes += m_socket.readAll();
    return Status::Events;
}
