#include "CTcpServer.h"

#include "CRegedit.h"
#include "DebugPrefix.h"
#include "ModalBox.h"
#include "ProcessExit.h"

#include <QMetaObject>
#include <QTcpSocket>
#include <QThread>

#include <atomic>
#include <optional>
#include <string>
#include <type_traits>

namespace {

std::atomic<int> g_requestWaitMs{CTcpServer::requestWaitMs};

const void* address(const void* object)
{
    return object;
}

} // namespace

CTcpServer::CTcpServer(QObject* parent)
    : QTcpServer(parent), m_generer(nullptr), m_progress(nullptr), m_skip(nullptr)
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
}

CTcpServer::~CTcpServer()
{
    for (QTcpSocket* socket : qAsConst(m_clientSockets)) {
        TB_SHORT("] : &socket=") << address(socket);
        // The server is going: the closing socket must not call back into it.
        disconnect(socket, &QTcpSocket::disconnected, this, &CTcpServer::handleClientDisconnected);
        QMetaObject::invokeMethod(
            socket,
            [socket] {
                socket->close();
                socket->deleteLater();
            },
            Qt::QueuedConnection);
    }
    m_clientSockets.clear();
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

void CTcpServer::setRequestWaitForTests(int ms)
{
    g_requestWaitMs = ms;
}

template <typename F> auto CTcpServer::onGuiThread(F f) -> decltype(f())
{
    using Result = decltype(f());
    if constexpr (std::is_void_v<Result>) {
        QMetaObject::invokeMethod(this, std::move(f), Qt::BlockingQueuedConnection);
    } else {
        Result result{};
        QMetaObject::invokeMethod(this, std::move(f), Qt::BlockingQueuedConnection, &result);
        return result;
    }
}

void CTcpServer::incomingConnection(qintptr socketDescriptor)
{
    QThread* thread = new QThread;
    QTcpSocket* clientSocket = new QTcpSocket;
    TB_SHORT("] : ") << address(thread) << " &clientSocket=" << address(clientSocket);

    if (!clientSocket->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState,
                                           QIODevice::ReadWrite)) {
        clientSocket->deleteLater();
        delete thread;
        return;
    }
    const QHostAddress peer = clientSocket->peerAddress();
    if (!isLoopbackPeer(peer)) {
        TB_SHORT("] : refused, not a loopback peer:") << peer.toString();
        clientSocket->abort();
        clientSocket->deleteLater();
        delete thread;
        return;
    }

    clientSocket->moveToThread(thread);
    m_clientSockets.append(clientSocket);

    const int waitMs = g_requestWaitMs;
    connect(
        thread, &QThread::started, thread,
        [clientSocket, waitMs] {
            TB_SHORT("] : clientSocket->waitForReadyRead();");
            clientSocket->waitForReadyRead(waitMs);
        },
        Qt::DirectConnection);
    connect(
        thread, &QThread::started, thread,
        [this, clientSocket] {
            TB_SHORT("] : handleReadyRead");
            handleReadyRead(clientSocket);
        },
        Qt::DirectConnection);
    connect(clientSocket, &QTcpSocket::disconnected, this, &CTcpServer::handleClientDisconnected);
    connect(clientSocket, &QTcpSocket::disconnected, thread, &QThread::quit);
    connect(thread, &QThread::finished, thread, &QThread::deleteLater);

    thread->start(QThread::InheritPriority);
}

void CTcpServer::handleReadyRead(QTcpSocket* clientSocket)
{
    const QByteArray received = clientSocket->readAll();
    const QString message = QString::fromUtf8(received.constData()); // up to the first zero byte
    TB_SHORT("] : ") << "Received message:" << message;

    const QString command = message.trimmed();
    if (command == QLatin1String("get_load_status")) {
        TB_SHORT("] : ");
        const QString status = onGuiThread([this] { return m_sdManager.update_tree_model().status(); });
        clientSocket->write(status.toUtf8());
        return;
    }
    if (command == QLatin1String("MSG_PING_SYSTRAY_GUI")) {
        TB_SHORT("] : ");
        clientSocket->write("MSG_PING_SYSTRAY_GUI");
        return;
    }
    if (command == QLatin1String("REQUEST_TO_RUN_RUNBAT")) {
        TB_SHORT("] : 'REQUEST_TO_START_TCP_SEVER' send 'OK_RECOV_START_TCP_SEVER'");
        // Empty when the call never ran because the server is being destroyed.
        const std::optional<bool> started = onGuiThread([this]() -> std::optional<bool> {
            std::string path;
            if (!CRegedit::ReadPathInstallClient("path_stable_difusson_bat", path))
                return false;
            m_sdManager.start_stablediffusion(QString::fromLocal8Bit(path.c_str()));
            return true;
        });
        if (!started)
            return;
        if (!*started)
            tb::endProcess(1);
        clientSocket->write("OK_RECOV_START_TCP_SEVER");
        return;
    }
    if (command == QLatin1String("REQUEST_STATUS_RUNBAT")) {
        TB_SHORT("] : AHTUNG ") << "Received message:" << message;
        const QString status = onGuiThread([this] { return m_sdManager.get_stablediffusion_status(); });
        clientSocket->write(status.toUtf8());
        clientSocket->flush();
        return;
    }
    if (command == QLatin1String("REQUEST_SKIP_GENERATION")) {
        TB_SHORT("] : AHTUNG ") << "Received message:" << message;
        onGuiThread([this] { m_skip.post_req_skip(); });
        clientSocket->write("OK_SKIP_GENERATION");
        clientSocket->flush();
        return;
    }
    if (command == QLatin1String("MSG_IS_STABLEDIFFUSION_RUNNING")) {
        const QString status = onGuiThread([this] { return m_sdManager.update_tree_model().status(); });
        clientSocket->write(status.toUtf8());
        TB_TIMED << "[step 2] send: " << status;
        return;
    }
    if (command == QLatin1String("MSG_GET_STATUS_LOAD_STABLEDIFFUSION")) {
        clientSocket->write("RESPONSE_STATUS_LOAD");
        const QString status = onGuiThread([this] { return m_sdManager.update_tree_model().status(); });
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
    emit signal_start_post_request(decodedPayload);
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
    clientSocket->deleteLater();
}

void CTcpServer::start_post_request(QByteArray decodedPayload)
{
    TB_TIMED;
    m_generer.post_req_txt2img(decodedPayload);
}

void CTcpServer::progress_txt2img_for_c4d(double progressValue)
{
    TB_SHORT("] : Start :") << progressValue;
    for (QTcpSocket* socket : qAsConst(m_clientSockets)) {
        QMetaObject::invokeMethod(
            socket,
            [socket, progressValue] {
                const QString text = QStringLiteral("PROGRESS_TXT2IMG:%1").arg(progressValue, 0, 'g', -1);
                TB_SHORT("] str388 before send <") << text << ">";
                socket->write(text.toUtf8());
                socket->flush();
            },
            Qt::QueuedConnection);
    }
}

void CTcpServer::txt2img_finished_for_c4d(QString save_file)
{
    TB_SHORT("] : Start");
    for (QTcpSocket* socket : qAsConst(m_clientSockets)) {
        QMetaObject::invokeMethod(
            socket,
            [socket, save_file] {
                const QString text = QStringLiteral("IMAGE_SAVED_SUCCESSFULLY: ") + save_file;
                TB_SHORT("] str372 before send ") << text;
                socket->write(text.toUtf8());
                socket->flush();
            },
            Qt::QueuedConnection);
    }
}

void CTcpServer::progress_txt2img_error(QString err_text)
{
    TB_SHORT("] : Start :") << err_text;
    for (QTcpSocket* socket : qAsConst(m_clientSockets)) {
        QMetaObject::invokeMethod(
            socket,
            [socket, err_text] {
                TB_SHORT("] before send '") << err_text << "'";
                socket->write(err_text.toUtf8());
                socket->flush();
            },
            Qt::QueuedConnection);
    }
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
