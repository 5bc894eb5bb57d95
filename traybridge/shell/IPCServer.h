#pragma once

#include <QDialog>
#include <QStringList>

#include <functional>

class QLocalServer;

// Local socket name of the single-instance channel.
#define IPC_NAME "ipc_stablediffusion"

namespace IPC {

// Listener of the running copy: answers each copy that knocks with one block
// (quint32 length, then the text as a QDataStream QString, Qt_4_0) and closes
// the connection. Its window is never shown.
class Server : public QDialog
{
    Q_OBJECT
public:
    explicit Server(QWidget* parent = nullptr);
    ~Server() override;

    // Run for every knock, before the answer is written.
    void setCallback(std::function<void()> f);
    // Removes a stale entry of the name and listens on it; a failure is shown
    // in a message box and leaves the copy without the guard.
    void start();

private slots:
    void sendMessages();

private:
    QStringList messages;
    QLocalServer* m_server = nullptr;
    std::function<void()> m_callback;
};

} // namespace IPC
