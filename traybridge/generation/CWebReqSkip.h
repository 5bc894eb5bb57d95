#pragma once

#include <QObject>

class QNetworkAccessManager;
class QNetworkReply;

// Asks the web UI to skip the image in progress. The outcome is logged; an
// answer that refuses us (401) or shows the API missing (404/405) is reported.
class CWebReqSkip : public QObject
{
    Q_OBJECT
public:
    explicit CWebReqSkip(QObject* parent = nullptr);

    void post_req_skip();

signals:
    // The web UI refused the skip; the text is for the plug-in.
    void signal_skip_failed(QString err_text);

private slots:
    void onNetworkReplyFinished(QNetworkReply* reply);

public slots:
    void handleMessage(int value);

private:
    QNetworkAccessManager* networkManager = nullptr;
};
