#include "Progress.h"

#include "DebugPrefix.h"
#include "WebUi.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace {

// UTF-8 up to the first zero byte.
QString bodyText(const QByteArray& body)
{
    return QString::fromUtf8(body.constData(), int(qstrnlen(body.constData(), uint(body.size()))));
}

} // namespace

Progress::Progress(QObject* parent) : QObject(parent)
{
    timer = new QTimer(this);
    getManager = new QNetworkAccessManager(this);
    statusManager = new QNetworkAccessManager(this);
    connect(getManager, &QNetworkAccessManager::finished, this, &Progress::onGetNetworkReplyFinished);
    connect(statusManager, &QNetworkAccessManager::finished, this, &Progress::onNetworkReplyFinished);
    connect(timer, &QTimer::timeout, this, &Progress::tick);
}

QNetworkRequest Progress::build_progress_request()
{
    return WebUi::request(QStringLiteral("/sdapi/v1/progress"));
}

void Progress::get_stable_diffusion_progress_bar()
{
    statusManager->get(build_progress_request());
}

void Progress::start_recursiv_get_progress()
{
    timer->start(250);
}

void Progress::post_req_txt2img_finished()
{
    TB_SHORT("] : TODO: STOP WHILE");
    timer->stop();
}

void Progress::tick()
{
    TB_SHORT("] : Start");
    getManager->get(build_progress_request());
}

void Progress::onGetNetworkReplyFinished(QNetworkReply* reply)
{
    if (reply->error() != QNetworkReply::NoError) {
        TB_SHORT("] :") << "Error: " << reply->errorString();
        emit signal_progress_txt2img_error(WebUi::failureText(reply));
        timer->stop();
    } else {
        const QString text = bodyText(reply->readAll());
        [&]() {
            const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
            if (doc.isNull() || !doc.isObject()) {
                TB_SHORT("] :") << "Invalid JSON format";
                return;
            }
            const QJsonObject obj = doc.object();
            if (obj.contains(QStringLiteral("progress")) &&
                obj.value(QStringLiteral("progress")).type() == QJsonValue::Double) {
                const double value = obj.value(QStringLiteral("progress")).toDouble();
                TB_SHORT("] :") << "Progress value:" << value;
                emit signal_progress_txt2img_for_c4d(value);
            } else {
                TB_SHORT("] :") << "Invalid JSON format or missing 'progress' key";
            }
        }();
        TB_TIMED << text.left(20);
    }
    reply->deleteLater();
}

void Progress::onNetworkReplyFinished(QNetworkReply* reply)
{
    TB_TIMED << "str279 before QNetworkReply";
    if (reply->error() != QNetworkReply::NoError) {
        TB_TIMED << "str291 Error: " << reply->errorString();
        // A 401 comes from a running web UI that wants credentials.
        emit signal_set_status_is_stable_diffusion_run(WebUi::isRefusal(reply));
    } else {
        const QString text = bodyText(reply->readAll());
        TB_TIMED << "str285" << text.left(200);
        emit signal_set_status_is_stable_diffusion_run(true);
    }
    reply->deleteLater();
    TB_TIMED << "str299 End.";
}

void Progress::handleMessage(int value)
{
    qDebug() << "Progress received message:" << value;
    emit messageGenerated(value);
}
