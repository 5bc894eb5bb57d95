#include "Generer.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

Generer::Generer(QObject* parent) : QObject(parent), networkManager(new QNetworkAccessManager(this))
{
    connect(networkManager, &QNetworkAccessManager::finished, this, &Generer::onNetworkReplyFinished);
}

void Generer::post_req_txt2img(QByteArray decodedPayload)
{
    lastPayload = decodedPayload;
}

void Generer::handleMessage(int value)
{
    (void)value;
}

void Generer::onNetworkReplyFinished(QNetworkReply* reply)
{
    reply->deleteLater();
}

void addComment(const QString&, const QString&) {}
void saveTextToFile(const QString&, const QString&) {}
