#pragma once

#include "CStableDiffusionManger.h"
#include "CTreeModel.h"
#include "CWebReqSkip.h"
#include "Generer.h"
#include "Progress.h"

#include <QByteArray>
#include <QHostAddress>
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
    // How long a connection thread waits for the request, in milliseconds.
    static constexpr int requestWaitMs = 30000;

    explicit CTcpServer(QObject* parent = nullptr);
    ~CTcpServer() override;

    void start_stablediffusion(QString path);
    void set_process_start_stable(bool bVal);
    CTreeModel update_tree_model();
    void get_stable_diffusion_progress_bar();

    // Only peers on this machine are served: 127.0.0.0/8 and ::1, IPv4-mapped
    // forms included.
    static bool isLoopbackPeer(const QHostAddress& address);

    // Open plug-in connections (GUI thread only).
    int clientCount() const { return m_clientSockets.size(); }

    // Test hook: the wait for the request of connections accepted from now on.
    // The program always waits requestWaitMs.
    static void setRequestWaitForTests(int ms);

signals:
    void signal_start_post_request(QByteArray decodedPayload);
    // An image has been stored (its PNG path); a generation has failed (the
    // error text the plug-in received).
    void signal_image_saved(QString save_file);
    void signal_generation_failed(QString err_text);

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
    // Runs f on the GUI thread and waits for its result (called from connection threads).
    template <typename F> auto onGuiThread(F f) -> decltype(f());

    QList<QTcpSocket*> m_clientSockets;
    Generer m_generer;
    Progress m_progress;
    CWebReqSkip m_skip;
    CStableDiffusionManger m_sdManager;
};
