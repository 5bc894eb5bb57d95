#pragma once

#include <QDialog>
#include <QLocalSocket>
#include <QString>

#include <functional>

class QLineEdit;
class QPushButton;

namespace IPC {

// Knock of a starting copy at the running copy's listener. Its window (a
// server-name field and two buttons) is never shown.
class Client : public QDialog
{
    Q_OBJECT
public:
    explicit Client(QWidget* parent = nullptr);

    // Run when the running copy's text has arrived.
    void setMessageCallback(std::function<void()> f);
    // Run when no running copy could be reached.
    void setNoServerCallback(std::function<void()> f);
    // Connects to UserPaths::ipcName(); the outcome arrives as readyRead or as an error,
    // possibly before this returns.
    void send();

private slots:
    void request();
    void readMessages();
    void displayError(QLocalSocket::LocalSocketError socketError);
    void enableSendMessagesButton();

private:
    QLineEdit* m_HostLineEdit = nullptr;
    QPushButton* m_SendButton = nullptr;
    QPushButton* m_QuitButton = nullptr;
    QLocalSocket* socket = nullptr;
    quint32 blockSize = 0;
    QString m_CurrentMessages;
    std::function<void()> m_messageCallback;
    std::function<void()> m_noServerCallback;
};

} // namespace IPC
