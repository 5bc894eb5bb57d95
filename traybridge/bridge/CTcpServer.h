#pragma once

#include "CStableDiffusionManger.h"
#include "CTreeModel.h"
#include "CWebReqSkip.h"
#include "Generer.h"
#include "Progress.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

// The TCP server the plug-in talks to on port 20837. Every accepted connection
// gets a thread of its own; the server and everything it owns live on the GUI
// thread.
class CTcpServer : public QTcpServer
{
    Q_OBJECT
public:
    static constexpr quint16 port = 20837;

    explicit CTcpServer(QObject* parent = nullptr);
    ~CTcpServer() override;

    void start_stablediffusion(QString path);
    void set_process_start_stable(bool bVal);
    CTreeModel update_tree_model();
    void get_stable_diffusion_progress_bar();

signals:
    void signal_start_post_request(QByteArray decodedPayload);

public slots:
    void start_post_request(QByteArray decodedPayload);
    void txt2img_finished_for_c4d(QString save_file);
    void progress_txt2img_for_c4d(double progressValue);
    void progress_txt2img_error(QString err_text);
    void set_status_is_stable_diffusion_run(bool val);

private slots:
    void handleClientDisconnected();
    void handleReadyRead(QTcpSocket* clientSocket);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    QList<QTcpSocket*> m_clientSockets;
    Generer m_generer;
    Progress m_progress;
    CWebReqSkip m_skip;
    CStableDiffusionManger m_sdManager;
};
