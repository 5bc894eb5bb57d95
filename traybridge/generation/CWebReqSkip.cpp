#include "CWebReqSkip.h"

#include "DebugPrefix.h"
#include "WebUi.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

CWebReqSkip::CWebReqSkip(QObject* parent) : QObject(parent), networkManager(new QNetworkAccessManager(this))
{
    connect(networkManager, &QNetworkAccessManager::finished, this, &CWebReqSkip::onNetworkReplyFinished);
}

void CWebReqSkip::post_req_skip()
{
    TB_TIMED;
    QNetworkRequest request(QUrl(QStringLiteral("%1/sdapi/v1/skip").arg(WebUi::baseAddress())));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    networkManager->post(request, QJsonDocument(QJsonObject()).toJson());
}

void CWebReqSkip::onNetworkReplyFinished(QNetworkReply* reply)
{
    TB_TIMED << "str121";
    if (reply->error() != QNetworkReply::NoError) {
        TB_TIMED << "str135 Error: " << reply->errorString();
    } else {
        const QByteArray body = reply->readAll();
        const QString text =
            QString::fromUtf8(body.constData(), int(qstrnlen(body.constData(), uint(body.size()))));
        TB_TIMED << "str129" << text.left(200);
    }
    reply->deleteLater();
    TB_TIMED << "str299 End.";
}

void CWebReqSkip::handleMessage(int value)
{
    qDebug() << "CWebReqSkip received message:" << value;
}
