#include "CTcpServer.h"

#include "DebugPrefix.h"
#include "ModalBox.h"
#include "ProcessExit.h"

#include <QTcpSocket>

CTcpServer::CTcpServer(QObject* parent) : QTcpServer(parent), m_generer(nullptr), m_progress(nullptr), m_skip(nullptr)
{
    TB_SHORT("] : ");
    if (!listen(QHostAddress::Any, port)) {
        ModalBox::critical(QStringLiteral("Error"), QStringLiteral("Unable to start the server: ") + errorString());
        tb::endProcess(1);
    }
}

CTcpServer::~CTcpServer() = default;

void CTcpServer::incomingConnection(qintptr socketDescriptor)
{
    (void)socketDescriptor;
}

void CTcpServer::handleReadyRead(QTcpSocket* clientSocket)
{
    (void)clientSocket;
}

void CTcpServer::handleClientDisconnected() {}

void CTcpServer::start_post_request(QByteArray decodedPayload)
{
    m_generer.post_req_txt2img(decodedPayload);
}

void CTcpServer::txt2img_finished_for_c4d(QString) {}
void CTcpServer::progress_txt2img_for_c4d(double) {}
void CTcpServer::progress_txt2img_error(QString) {}

void CTcpServer::set_status_is_stable_diffusion_run(bool val)
{
    m_sdManager.set_status_is_stable_diffusion_run(val);
}

void CTcpServer::start_stablediffusion(QString path)
{
    m_sdManager.start_stablediffusion(path);
}

void CTcpServer::set_process_start_stable(bool bVal)
{
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
