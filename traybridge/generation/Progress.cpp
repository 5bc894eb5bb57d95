#include "Progress.h"

#include "CRegedit.h"
#include "DebugPrefix.h"
#include "WebUi.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <string>

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

int Progress::readStallSeconds()
{
    std::string value;
    if (CRegedit::readValue(stallSetting, value) != CRegedit::Outcome::Ok)
        return defaultStallSeconds;
    bool ok = false;
    const int seconds = QString::fromStdString(value).trimmed().toInt(&ok);
    if (!ok || seconds < 1 || seconds > 86400) {
        TB_SHORT("] :") << stallSetting
                        << "is not a number of seconds from 1 to 86400:" << QString::fromStdString(value)
                        << "; using" << defaultStallSeconds;
        return defaultStallSeconds;
    }
    return seconds;
}

void Progress::get_stable_diffusion_progress_bar()
{
    statusManager->get(build_progress_request());
}

void Progress::start_recursiv_get_progress()
{
    if (m_inWebUi++ == 0) {
        m_failedPolls = 0;
        m_hasValue = false;
        m_stallLimitMs = readStallSeconds() * 1000LL;
        m_sinceProgress.start();
    }
    timer->start(250);
}

void Progress::post_req_txt2img_finished()
{
    TB_SHORT("] : TODO: STOP WHILE");
    if (m_inWebUi == 0)
        timer->stop();
}

void Progress::txt2img_answered()
{
    if (m_inWebUi > 0)
        --m_inWebUi;
    // The value of a poll already out may belong to the answered request.
    m_pollStale = m_pollOut != nullptr;
    m_sinceProgress.start();
    if (m_inWebUi == 0)
        timer->stop();
}

void Progress::give_up(const QString& err_text)
{
    m_inWebUi = 0;
    timer->stop();
    if (QNetworkReply* poll = m_pollOut) {
        m_pollOut = nullptr;
        poll->abort();
    }
    emit signal_progress_txt2img_error(err_text);
}

void Progress::tick()
{
    if (m_inWebUi > 0 && m_sinceProgress.hasExpired(m_stallLimitMs)) {
        TB_SHORT("] :") << "no progress for" << m_stallLimitMs / 1000 << "s; giving up";
        give_up(QStringLiteral("The web UI made no progress for %1 seconds; the request was abandoned.")
                    .arg(m_stallLimitMs / 1000));
        return;
    }
    // One poll at a time: a slow web UI is not asked again before it answers.
    if (m_pollOut)
        return;
    TB_SHORT("] : Start");
    QNetworkRequest request = build_progress_request();
    QUrl url = request.url();
    url.setQuery(QStringLiteral("skip_current_image=true"));
    request.setUrl(url);
    m_pollOut = getManager->get(request);
    m_pollStale = false;
}

void Progress::onGetNetworkReplyFinished(QNetworkReply* reply)
{
    reply->deleteLater();
    if (reply != m_pollOut)
        return; // given up on
    m_pollOut = nullptr;
    // A poll's value counts only while a request is with the web UI and no
    // answer came in since it was sent.
    const bool relay = m_inWebUi > 0 && !m_pollStale;
    m_pollStale = false;

    if (reply->error() != QNetworkReply::NoError) {
        TB_SHORT("] :") << "Error: " << reply->errorString();
        if (relay && ++m_failedPolls >= unreachablePolls)
            // A refusal or a missing API has its own text that says what to do.
            give_up(WebUi::hasOwnText(reply)
                        ? WebUi::failureText(reply)
                        : QStringLiteral("The web UI cannot be reached: ") + WebUi::failureText(reply));
        return;
    }
    m_failedPolls = 0;
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
            if (!relay) {
                TB_SHORT("] :") << "Progress value of an answered request, not relayed:" << value;
                return;
            }
            TB_SHORT("] :") << "Progress value:" << value;
            if (!m_hasValue || value != m_lastValue)
                m_sinceProgress.start();
            m_hasValue = true;
            m_lastValue = value;
            emit signal_progress_txt2img_for_c4d(value);
        } else {
            TB_SHORT("] :") << "Invalid JSON format or missing 'progress' key";
        }
    }();
    TB_TIMED << text.left(20);
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
