#include "FakeWebUi.h"

#include <QBuffer>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

FakeWebUi::~FakeWebUi()
{
    stop();
}

QString FakeWebUi::script()
{
    return qEnvironmentVariable("TB_SOURCE_DIR") + QStringLiteral("/tools/fakewebui/fakewebui.py");
}

bool FakeWebUi::start(const QStringList& extraArgs)
{
    stop();
    if (external()) {
        if (!extraArgs.isEmpty()) {
            m_error = QStringLiteral("the stand-in web UI runs outside this test and takes no options");
            return false;
        }
        const Answer answer = request("GET", QStringLiteral("/fakewebui/status"));
        if (answer.status != 200) {
            m_error =
                QStringLiteral("the stand-in web UI outside this test does not answer: ") + answer.error;
            return false;
        }
        return true;
    }
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    m_process.start(QStringLiteral("python3"), QStringList{script(), QStringLiteral("--quiet")} + extraArgs);
    if (!m_process.waitForStarted(30000)) {
        m_error = QStringLiteral("python3 does not start: ") + m_process.errorString();
        return false;
    }
    // It prints its "serving on" line once it listens.
    QByteArray out;
    QDeadlineTimer deadline(30000);
    while (!out.contains("serving on")) {
        if (m_process.state() != QProcess::Running || deadline.hasExpired() ||
            !m_process.waitForReadyRead(int(deadline.remainingTime()))) {
            m_error = QStringLiteral("the stand-in web UI did not come up: ") +
                      QString::fromUtf8(out + m_process.readAllStandardError());
            stop();
            return false;
        }
        out += m_process.readAllStandardOutput();
    }
    const Answer answer = request("GET", QStringLiteral("/fakewebui/status"));
    if (answer.status != 200) {
        m_error = QStringLiteral("the stand-in web UI does not answer: ") + answer.error;
        stop();
        return false;
    }
    return true;
}

bool FakeWebUi::external()
{
    return !qEnvironmentVariableIsEmpty("TB_FAKEWEBUI_EXTERNAL");
}

bool FakeWebUi::prepare()
{
    if (!isRunning() && !start())
        return false;
    return reset();
}

void FakeWebUi::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

FakeWebUi::Answer FakeWebUi::request(const QByteArray& method, const QString& path, const QByteArray& body,
                                     const QByteArray& contentType)
{
    QNetworkAccessManager manager;
    QNetworkRequest req(QUrl(baseUrl() + path));
    req.setRawHeader("Content-Type", contentType);
    QBuffer buffer;
    buffer.setData(body);
    buffer.open(QIODevice::ReadOnly);
    QNetworkReply* reply = manager.sendCustomRequest(req, method, &buffer);
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(60000);
    if (!reply->isFinished())
        loop.exec();
    Answer answer;
    if (!reply->isFinished()) {
        answer.error = QStringLiteral("no answer within 60 s");
        reply->abort();
    } else {
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer.body = reply->readAll();
        answer.headers = reply->rawHeaderPairs();
        if (reply->error() != QNetworkReply::NoError)
            answer.error = reply->errorString();
    }
    delete reply;
    return answer;
}

QNetworkReply* FakeWebUi::postTxt2img(QNetworkAccessManager& client, const QByteArray& payload)
{
    QNetworkRequest request(QUrl(baseUrl() + QStringLiteral("/sdapi/v1/txt2img")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    return client.post(request, payload);
}

bool FakeWebUi::control(const QJsonObject& command)
{
    const Answer answer =
        request("POST", QStringLiteral("/fakewebui/control"), QJsonDocument(command).toJson());
    if (answer.status != 200) {
        m_error = QStringLiteral("control request refused: ") + QString::fromUtf8(answer.body) + answer.error;
        return false;
    }
    return true;
}

bool FakeWebUi::reset(double stepDelay)
{
    return control({{"clear_log", true}, {"clear_faults", true}, {"step_delay", stepDelay}});
}

bool FakeWebUi::fault(const QString& endpoint, const QString& kind, const QJsonObject& extra)
{
    QJsonObject f = extra;
    f.insert(QStringLiteral("endpoint"), endpoint);
    f.insert(QStringLiteral("kind"), kind);
    return control({{"faults", QJsonArray{f}}});
}

QJsonArray FakeWebUi::requests(const QString& path)
{
    const Answer answer = request("GET", QStringLiteral("/fakewebui/log"));
    const QJsonArray all =
        QJsonDocument::fromJson(answer.body).object().value(QStringLiteral("requests")).toArray();
    if (path.isEmpty())
        return all;
    QJsonArray found;
    for (const QJsonValue& r : all) {
        if (r.toObject().value(QStringLiteral("path")).toString() == path)
            found.append(r);
    }
    return found;
}

QJsonObject FakeWebUi::status()
{
    return QJsonDocument::fromJson(request("GET", QStringLiteral("/fakewebui/status")).body).object();
}
