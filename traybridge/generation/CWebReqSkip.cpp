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
    networkManager->post(WebUi::request(QStringLiteral("/sdapi/v1/skip")),
                         QJsonDocument(QJsonObject()).toJson());
}

void CWebReqSkip::onNetworkReplyFinished(QNetworkReply* reply)
{
    TB_TIMED << "str121";
    if (reply->error() != QNetworkReply::NoError) {
        TB_TIMED << "str135 Error: " << reply->errorString();
        // A web UI that refuses us, or runs without its API, must not lose the skip silently.
        if (WebUi::hasOwnText(reply))
            emit signal_skip_failed(WebUi::failureText(reply));
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
