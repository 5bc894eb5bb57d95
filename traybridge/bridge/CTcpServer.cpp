#include "CTcpServer.h"

#include "CRegedit.h"
#include "DebugPrefix.h"
#include "ListenSocket.h"
#include "ModalBox.h"
#include "OpenFilesLimit.h"
#include "ProcessExit.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <string>

namespace {

std::atomic<int> g_requestWaitMs{CTcpServer::requestWaitMs};

const void* address(const void* object)
{
    return object;
}

} // namespace

CTcpServer::CTcpServer(QObject* parent)
    : QTcpServer(parent), m_cap(connectionCapFor(tb::openFilesLimit())), m_generer(nullptr),
      m_progress(nullptr), m_skip(nullptr)
{
    TB_SHORT("] : ");
    if (!listen(QHostAddress::Any, port)) {
        ModalBox::critical(QStringLiteral("Error"),
                           QStringLiteral("Unable to start the server: ") + errorString());
        tb::endProcess(1);
    }

    connect(&m_generer, &Generer::signal_start_recursiv_get_progress, &m_progress,
            &Progress::start_recursiv_get_progress);
    connect(&m_generer, &Generer::signal_post_req_txt2img_finished, &m_progress,
            &Progress::post_req_txt2img_finished);
    connect(&m_progress, &Progress::messageGenerated, &m_generer, &Generer::handleMessage);
    connect(&m_generer, &Generer::signal_txt2img_finished_for_c4d, this,
            &CTcpServer::txt2img_finished_for_c4d);
    connect(&m_progress, &Progress::signal_progress_txt2img_for_c4d, this,
            &CTcpServer::progress_txt2img_for_c4d);
    // Polling that gives up ends the requests with the web UI; each is told as failed.
    connect(&m_progress, &Progress::signal_progress_txt2img_error, &m_generer, &Generer::abandon_txt2img);
    connect(&m_progress, &Progress::signal_set_status_is_stable_diffusion_run, this,
            &CTcpServer::set_status_is_stable_diffusion_run);
    // The payload crosses to the GUI thread queued, after the reply has been written.
    connect(this, &CTcpServer::signal_start_post_request, this, &CTcpServer::start_post_request,
            Qt::QueuedConnection);
    // A failed generation stops the poller and tells every connection why.
    connect(&m_generer, &Generer::signal_txt2img_failed, &m_progress, &Progress::post_req_txt2img_finished);
    connect(&m_generer, &Generer::signal_txt2img_failed, this, &CTcpServer::progress_txt2img_error);
    connect(&m_skip, &CWebReqSkip::signal_skip_failed, this, &CTcpServer::progress_txt2img_error);
    // Polling follows the requests the web UI still works on.
    connect(&m_generer, &Generer::signal_txt2img_answered, &m_progress, &Progress::txt2img_answered);
    // The tray's notifications.
    connect(&m_generer, &Generer::signal_txt2img_finished_for_c4d, this, &CTcpServer::signal_image_saved);
    connect(&m_generer, &Generer::signal_txt2img_failed, this, &CTcpServer::signal_generation_failed);

    // QTcpServer retries a refused accept at once, for as long as the
    // descriptor table is full: the server accepts by itself instead.
    pauseAccepting();
    m_acceptNotifier = new QSocketNotifier(socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &CTcpServer::acceptPending);
    m_acceptRetry.setSingleShot(true);
    m_acceptRetry.setTimerType(Qt::PreciseTimer); // never sooner than the pause
    m_acceptRetry.setInterval(acceptRetryMs);
    connect(&m_acceptRetry, &QTimer::timeout, this, [this] {
        m_acceptNotifier->setEnabled(true);
        acceptPending();
    });
}

CTcpServer::~CTcpServer()
{
    m_acceptRetry.stop();
    const QList<QTcpSocket*> sockets = m_clientSockets;
    m_clientSockets.clear();
    m_waiting.clear();
    m_held.clear();
    for (QTcpSocket* socket : sockets) {
        TB_SHORT("] : &socket=") << address(socket);
        // The server is going: the closing socket must not call back into it.
        disconnect(socket, nullptr, this, nullptr);
        socket->flush();
        socket->close();
        delete socket;
    }
}

bool CTcpServer::isLoopbackPeer(const QHostAddress& peer)
{
    bool isIPv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIPv4); // also true for ::ffff:a.b.c.d
    if (isIPv4)
        return (ipv4 >> 24) == 127;
    if (peer.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    const Q_IPV6ADDR ipv6 = peer.toIPv6Address();
    for (int i = 0; i < 15; ++i) {
        if (ipv6[i] != 0)
            return false;
    }
    return ipv6[15] == 1;
}

int CTcpServer::connectionCapFor(long long openFilesLimit)
{
    if (openFilesLimit < 0)
        return maxConnections;
    return static_cast<int>(std::clamp<long long>(openFilesLimit / 2, 1, maxConnections));
}

void CTcpServer::setRequestWaitForTests(int ms)
{
    g_requestWaitMs = ms;
}

void CTcpServer::incomingConnection(qintptr socketDescriptor)
{
    QTcpSocket* clientSocket = new QTcpSocket;
    // Every connection is served by the server's own (GUI) thread.
    TB_SHORT("] : ") << address(thread()) << " &clientSocket=" << address(clientSocket);

    if (!clientSocket->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState,
                                           QIODevice::ReadWrite)) {
        clientSocket->deleteLater();
        return;
    }
    const QHostAddress peer = clientSocket->peerAddress();
    if (!isLoopbackPeer(peer)) {
        TB_SHORT("] : refused, not a loopback peer:") << peer.toString();
        clientSocket->abort();
        delete clientSocket;
        return;
    }
    if (m_clientSockets.size() >= m_cap && !closeOldestWaiting("connection limit reached:")) {
        TB_SHORT("] : connection limit reached:") << m_cap << "connections, closing the new one";
        clientSocket->abort();
        delete clientSocket;
        return;
    }

    // Every reply and notification is a whole message: send it at once.
    clientSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_clientSockets.append(clientSocket);
    m_waiting.append(clientSocket);
    m_held.insert(clientSocket, QByteArray());

    // The one request: the first data to arrive, or nothing once the wait is over
    // or the peer has closed.
    auto* wait = new QTimer(clientSocket);
    wait->setSingleShot(true);
    const auto take = [this, clientSocket, wait] {
        if (!m_held.contains(clientSocket)) {
            // Answered (or being closed): later bytes are never read, only dropped.
            if (clientSocket->bytesAvailable() > 0)
                clientSocket->skip(clientSocket->bytesAvailable());
            return;
        }
        wait->stop();
        TB_SHORT("] : handleReadyRead");
        takeRequest(clientSocket);
    };
    connect(clientSocket, &QTcpSocket::readyRead, this, take);
    connect(wait, &QTimer::timeout, this, take);
    connect(clientSocket, &QTcpSocket::disconnected, this, take);
    connect(clientSocket, &QTcpSocket::disconnected, this, &CTcpServer::handleClientDisconnected);

    const int waitMs = g_requestWaitMs;
    const auto startWait = [wait, waitMs] {
        TB_SHORT("] : clientSocket->waitForReadyRead();");
        wait->start(waitMs);
    };
    startWait();
}

void CTcpServer::acceptPending()
{
    for (;;) {
        const tb::AcceptResult accepted = tb::acceptConnection(socketDescriptor());
        switch (accepted.outcome) {
        case tb::AcceptOutcome::Accepted:
            incomingConnection(accepted.descriptor);
            break;
        case tb::AcceptOutcome::NoneWaiting:
            return;
        case tb::AcceptOutcome::Failed:
            break;
        case tb::AcceptOutcome::NoDescriptor:
            // The table is full; the notifier tells when someone knocks.
            if (!tb::connectionWaiting(socketDescriptor()))
                return;
            TB_SHORT("] : accept failed: no descriptor left,")
                << m_clientSockets.size() << "connections open";
            // A connection still waiting for its request gives its descriptor to
            // the next one; otherwise accepting pauses until a connection closes
            // or a while has passed.
            if (closeOldestWaiting("no descriptor left:"))
                break;
            m_acceptNotifier->setEnabled(false);
            m_acceptRetry.start();
            return;
        }
    }
}

bool CTcpServer::closeOldestWaiting(const char* why)
{
    if (m_waiting.isEmpty())
        return false;
    QTcpSocket* oldest = m_waiting.takeFirst();
    m_held.remove(oldest);
    TB_SHORT("] : ") << why << m_clientSockets.size()
                     << "connections, closing the oldest one still waiting for its request:"
                     << address(oldest);
    oldest->abort(); // its disconnected removes it from the list
    return true;
}

void CTcpServer::takeRequest(QTcpSocket* clientSocket)
{
    m_waiting.removeOne(clientSocket);
    const QByteArray held = m_held.take(clientSocket);

    handleReadyRead(clientSocket);

    // The reply is out; notifications that came meanwhile follow it.
    if (clientSocket->state() != QAbstractSocket::ConnectedState)
        return;
    if (!held.isEmpty())
        send(clientSocket, held);
    else
        clientSocket->flush();
}

void CTcpServer::send(QTcpSocket* clientSocket, const QByteArray& bytes)
{
    if (clientSocket->state() != QAbstractSocket::ConnectedState)
        return; // closed meanwhile; its disconnected takes it off the list
    const auto held = m_held.find(clientSocket);
    if (held != m_held.end()) {
        held->append(bytes);
        if (held->size() <= maxUnsentBytes)
            return;
    } else {
        clientSocket->write(bytes);
        clientSocket->flush();
        if (clientSocket->bytesToWrite() <= maxUnsentBytes)
            return;
    }
    TB_SHORT("] : the peer reads nothing, closing after")
        << maxUnsentBytes << "unsent bytes:" << address(clientSocket);
    m_waiting.removeOne(clientSocket);
    m_held.remove(clientSocket);
    clientSocket->abort(); // its disconnected removes it from the list
}

void CTcpServer::handleReadyRead(QTcpSocket* clientSocket)
{
    const QByteArray received = clientSocket->readAll();
    const QString message = QString::fromUtf8(received.constData()); // up to the first zero byte
    TB_SHORT("] : ") << "Received message:" << message;

    // Requests 3 to 7 use the status manager and the skip requester, which live
    // on the GUI thread: this dispatch runs there too.
    Q_ASSERT(QThread::currentThread() == thread());
    const QString command = message.trimmed();
    if (command == QLatin1String("get_load_status")) {
        TB_SHORT("] : ");
        clientSocket->write(m_sdManager.update_tree_model().status().toUtf8());
        return;
    }
    if (command == QLatin1String("MSG_PING_SYSTRAY_GUI")) {
        TB_SHORT("] : ");
        clientSocket->write("MSG_PING_SYSTRAY_GUI");
        return;
    }
    if (command == QLatin1String("REQUEST_TO_RUN_RUNBAT")) {
        TB_SHORT("] : 'REQUEST_TO_START_TCP_SEVER' send 'OK_RECOV_START_TCP_SEVER'");
        std::string path;
        if (!CRegedit::ReadPathInstallClient("path_stable_difusson_bat", path))
            tb::endProcess(1);
        m_sdManager.start_stablediffusion(QString::fromLocal8Bit(path.c_str()));
        clientSocket->write("OK_RECOV_START_TCP_SEVER");
        return;
    }
    if (command == QLatin1String("REQUEST_STATUS_RUNBAT")) {
        TB_SHORT("] : AHTUNG ") << "Received message:" << message;
        clientSocket->write(m_sdManager.get_stablediffusion_status().toUtf8());
        clientSocket->flush();
        return;
    }
    if (command == QLatin1String("REQUEST_SKIP_GENERATION")) {
        TB_SHORT("] : AHTUNG ") << "Received message:" << message;
        m_skip.post_req_skip();
        clientSocket->write("OK_SKIP_GENERATION");
        clientSocket->flush();
        return;
    }
    if (command == QLatin1String("MSG_IS_STABLEDIFFUSION_RUNNING")) {
        const QString status = m_sdManager.update_tree_model().status();
        clientSocket->write(status.toUtf8());
        TB_TIMED << "[step 2] send: " << status;
        return;
    }
    if (command == QLatin1String("MSG_GET_STATUS_LOAD_STABLEDIFFUSION")) {
        clientSocket->write("RESPONSE_STATUS_LOAD");
        const QString status = m_sdManager.update_tree_model().status();
        TB_TIMED << "send: " << status;
        clientSocket->write(status.toUtf8());
        return;
    }

    static const QString promptMark = QStringLiteral("prompt:");
    const int promptAt = message.indexOf(promptMark);
    if (promptAt < 0) {
        // Unknown, empty or missing request: this connection is done, the server serves on.
        TB_SHORT("] : AHTUNG UNKNOW MSG");
        clientSocket->close();
        return;
    }

    const QByteArray decodedPayload =
        QByteArray::fromBase64(message.mid(promptAt + promptMark.size()).toUtf8());
    TB_SHORT("] : decodedPayload.QByteArray=") << decodedPayload;
    TB_SHORT("] : decodedPayload.toStdString().c_str()=") << decodedPayload.constData();
    TB_SHORT("] : clientSocket=") << address(clientSocket);
    emit signal_start_post_request(decodedPayload); // queued: Generer gets it after this reply
    clientSocket->write("IMAGE_GENERATION_PROCESS_STARTED");
    clientSocket->flush();
}

void CTcpServer::handleClientDisconnected()
{
    QTcpSocket* clientSocket = qobject_cast<QTcpSocket*>(sender());
    if (!clientSocket)
        return;
    TB_SHORT("] :  clientSocket=") << address(clientSocket);
    m_clientSockets.removeOne(clientSocket);
    m_waiting.removeOne(clientSocket);
    m_held.remove(clientSocket);
    clientSocket->deleteLater();
    // A freed descriptor may let a refused connection in.
    if (m_acceptRetry.isActive()) {
        m_acceptRetry.stop();
        m_acceptNotifier->setEnabled(true);
        QMetaObject::invokeMethod(this, &CTcpServer::acceptPending, Qt::QueuedConnection);
    }
}

void CTcpServer::start_post_request(QByteArray decodedPayload)
{
    TB_TIMED;
    m_generer.post_req_txt2img(decodedPayload);
}

void CTcpServer::relay(const QByteArray& bytes, const std::function<void()>& line)
{
    // Every open connection gets the bytes first and the relay's lines come
    // after, so that the last connection does not wait for the lines of all
    // the others. A connection that closes meanwhile leaves the copy untouched.
    const QList<QTcpSocket*> sockets = m_clientSockets;
    for (QTcpSocket* socket : sockets)
        send(socket, bytes);
    for (int i = 0; i < sockets.size(); ++i)
        line();
}

void CTcpServer::progress_txt2img_for_c4d(double progressValue)
{
    TB_SHORT("] : Start :") << progressValue;
    const QString text = QStringLiteral("PROGRESS_TXT2IMG:%1").arg(progressValue, 0, 'g', -1);
    relay(text.toUtf8(), [&text] { TB_SHORT("] str388 before send <") << text << ">"; });
}

void CTcpServer::txt2img_finished_for_c4d(QString save_file)
{
    TB_SHORT("] : Start");
    const QString text = QStringLiteral("IMAGE_SAVED_SUCCESSFULLY: ") + save_file;
    relay(text.toUtf8(), [&text] { TB_SHORT("] str372 before send ") << text; });
}

void CTcpServer::progress_txt2img_error(QString err_text)
{
    TB_SHORT("] : Start :") << err_text;
    relay(err_text.toUtf8(), [&err_text] { TB_SHORT("] before send '") << err_text << "'"; });
}

void CTcpServer::set_status_is_stable_diffusion_run(bool val)
{
    m_sdManager.set_status_is_stable_diffusion_run(val);
}

void CTcpServer::start_stablediffusion(QString path)
{
    TB_SHORT("] Start ");
    m_sdManager.start_stablediffusion(path);
}

void CTcpServer::set_process_start_stable(bool bVal)
{
    TB_TIMED << "bVal=" << bVal;
    m_sdManager.set_process_start_stable(bVal);
}

CTreeModel CTcpServer::update_tree_model()
{
    return m_sdManager.update_tree_model();
}

void CTcpServer::get_stable_diffusion_progress_bar()
{
    m_progress.get_stable_diffusion_progress_bar();
}
