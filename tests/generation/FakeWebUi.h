#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// The stand-in web UI (tools/fakewebui/fakewebui.py) as a child process on
// 127.0.0.1:7860, with its control endpoint.
class FakeWebUi
{
public:
    FakeWebUi() = default;
    ~FakeWebUi();
    FakeWebUi(const FakeWebUi&) = delete;
    FakeWebUi& operator=(const FakeWebUi&) = delete;

    // Starts it and waits until it answers; false with a reason in error().
    bool start(const QStringList& extraArgs = {});
    void stop();
    bool isRunning() const { return external() || m_process.state() == QProcess::Running; }
    // A stand-in started outside the test (TB_FAKEWEBUI_EXTERNAL, set by the
    // Wine runs): start() only checks that it answers, stop() leaves it.
    static bool external();
    // Starts it again if a test stopped it, then resets it; false with error().
    bool prepare();
    QString error() const { return m_error; }

    // POST /fakewebui/control; false (with error()) unless it answers 200.
    bool control(const QJsonObject& command);
    // Clears the request log and every fault, and sets the per-step delay.
    bool reset(double stepDelay = 0.0);
    // A fault of the stand-in, e.g. fault("txt2img", "error500").
    bool fault(const QString& endpoint, const QString& kind, const QJsonObject& extra = {});

    // The requests the stand-in received, oldest first; only those to `path` if given.
    QJsonArray requests(const QString& path = QString());
    // GET /fakewebui/status.
    QJsonObject status();

    struct Answer
    {
        int status = 0;
        QByteArray body;
        QString error;
        QList<QPair<QByteArray, QByteArray>> headers;
    };
    // A plain request to the stand-in, waited for.
    static Answer request(const QByteArray& method, const QString& path,
                          const QByteArray& body = QByteArray(),
                          const QByteArray& contentType = QByteArrayLiteral("application/json"));
    // POSTs a JSON payload to /sdapi/v1/txt2img through `client`; the caller owns the reply.
    static QNetworkReply* postTxt2img(QNetworkAccessManager& client, const QByteArray& payload);

    static QString baseUrl() { return QStringLiteral("http://127.0.0.1:7860"); }
    static QString script();

private:
    QProcess m_process;
    QString m_error;
};
