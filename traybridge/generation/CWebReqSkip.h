#pragma once

#include <QObject>

class QNetworkAccessManager;
class QNetworkReply;

// Asks the web UI to skip the image in progress; the outcome is only logged.
class CWebReqSkip : public QObject
{
    Q_OBJECT
public:
    explicit CWebReqSkip(QObject* parent = nullptr);

    void post_req_skip();

private slots:
    void onNetworkReplyFinished(QNetworkReply* reply);

public slots:
    void handleMessage(int value);

private:
    QNetworkAccessManager* networkManager = nullptr;
};
