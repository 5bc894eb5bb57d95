#include "Progress.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

Progress::Progress(QObject* parent)
    : QObject(parent), getManager(nullptr), statusManager(nullptr), timer(new QTimer(this))
{
    getManager = new QNetworkAccessManager(this);
    statusManager = new QNetworkAccessManager(this);
    connect(timer, &QTimer::timeout, this, &Progress::tick);
    connect(getManager, &QNetworkAccessManager::finished, this, &Progress::onGetNetworkReplyFinished);
    connect(statusManager, &QNetworkAccessManager::finished, this, &Progress::onNetworkReplyFinished);
}

void Progress::get_stable_diffusion_progress_bar() {}
void Progress::onGetNetworkReplyFinished(QNetworkReply* reply) { reply->deleteLater(); }
void Progress::onNetworkReplyFinished(QNetworkReply* reply) { reply->deleteLater(); }
void Progress::start_recursiv_get_progress() {}
void Progress::post_req_txt2img_finished() {}
void Progress::tick() {}
void Progress::handleMessage(int value) { emit messageGenerated(value); }
QNetworkRequest Progress::build_progress_request() { return QNetworkRequest(); }
