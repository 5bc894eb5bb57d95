#pragma once

#include "CStableDiffusionManger.h"
#include "CTreeModel.h"
#include "CWebReqSkip.h"
#include "Generer.h"
#include "Progress.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <functional>

class QSocketNotifier;
class QTcpSocket;

// The TCP server the plug-in talks to on port 20837.
//
// Threads: the server, its sockets and everything it owns live on the GUI
// thread. Connections are served by events, not by threads of their own: a
// connection waits for its one request without blocking anyone, the dispatch
// of requests 3 to 7 (the status manager and the skip requester) therefore
// runs on the GUI thread, and a prompt's payload reaches Generer through the
// queued signal_start_post_request. No socket is touched from another thread.
//
// Limits: at most connectionCap() connections are served at once (512, less
// when the open-files limit is low); a connection beyond the cap closes the
// oldest one still waiting for its request, or is itself closed at once. A
// connection whose unsent output passes maxUnsentBytes is closed.
class CTcpServer : public QTcpServer
{
    Q_OBJECT
public:
    static constexpr quint16 port = 20837;
    // How long a connection thread waits for the request, in milliseconds.
    static constexpr int requestWaitMs = 30000;
    // The most connections served at once.
    static constexpr int maxConnections = 512;
    // Unsent output beyond which a connection that does not read is closed.
    static constexpr qint64 maxUnsentBytes = 1024 * 1024;
    // Pause before accepting again after the system refused a descriptor.
    static constexpr int acceptRetryMs = 200;

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

    // The most connections served at once: maxConnections, or half the
    // open-files limit when that is lower, so that descriptors are left for
    // the rest of the program (threads, files, the web UI's connections).
    int connectionCap() const { return m_cap; }
    static int connectionCapFor(long long openFilesLimit);

    // Test hook: another cap from now on.
    void setConnectionCapForTests(int cap) { m_cap = cap; }

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
    // Accepts every connection waiting on the listening socket.
    void acceptPending();
    // Takes the connection's request once it has come, or its wait is over.
    void takeRequest(QTcpSocket* clientSocket);
    // Closes, unread, the connection that has waited longest for its request.
    bool closeOldestWaiting(const char* why);
    // Writes to an answered connection, or holds the bytes until its reply.
    void send(QTcpSocket* clientSocket, const QByteArray& bytes);
    // Sends the bytes to every open connection, then writes the line once for each.
    void relay(const QByteArray& bytes, const std::function<void()>& line);

    QList<QTcpSocket*> m_clientSockets;
    // Connections still waiting for their request, oldest first, with the
    // notifications held back until their reply has been written.
    QList<QTcpSocket*> m_waiting;
    QHash<QTcpSocket*, QByteArray> m_held;
    int m_cap = maxConnections;
    // The server accepts by itself, so that a full descriptor table pauses
    // accepting instead of spinning on the listening socket.
    QSocketNotifier* m_acceptNotifier = nullptr;
    QTimer m_acceptRetry;
    Generer m_generer;
    Progress m_progress;
    CWebReqSkip m_skip;
    CStableDiffusionManger m_sdManager;
};
