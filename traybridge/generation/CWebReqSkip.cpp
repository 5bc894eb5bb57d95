#include "CWebReqSkip.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

CWebReqSkip::CWebReqSkip(QObject* parent) : QObject(parent), networkManager(new QNetworkAccessManager(this))
{
    connect(networkManager, &QNetworkAccessManager::finished, this, &CWebReqSkip::onNetworkReplyFinished);
}

void CWebReqSkip::post_req_skip() {}
void CWebReqSkip::onNetworkReplyFinished(QNetworkReply* reply) { reply->deleteLater(); }
void CWebReqSkip::handleMessage(int) {}
