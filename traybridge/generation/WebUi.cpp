#include "WebUi.h"

#include "CRegedit.h"

#include <QNetworkReply>
#include <QUrl>

#include <string>

namespace WebUi {

namespace {

constexpr int unauthorized = 401;

int httpStatus(const QNetworkReply* reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool sentCredentials(const QNetworkReply* reply)
{
    return reply->request().hasRawHeader(QByteArrayLiteral("Authorization"));
}

bool isApiPath(const QString& path)
{
    return path.startsWith(QLatin1String("/sdapi/v1/"));
}

} // namespace

QNetworkRequest request(const QString& path)
{
    QNetworkRequest request(QUrl(QStringLiteral("%1%2").arg(baseAddress(), path)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    std::string credentials;
    if (CRegedit::readValue(authSettingName(), credentials) == CRegedit::Outcome::Ok && !credentials.empty())
        request.setRawHeader(QByteArrayLiteral("Authorization"),
                             basicAuthorization(QByteArray::fromStdString(credentials)));
    return request;
}

QByteArray basicAuthorization(const QByteArray& credentials)
{
    if (credentials.isEmpty())
        return QByteArray();
    return QByteArrayLiteral("Basic ") + credentials.toBase64();
}

QString credentialsWantedText()
{
    return QStringLiteral("The web UI wants API credentials: put them as user:password in the setting "
                          "\"webui_api_auth\".");
}

QString credentialsRefusedText()
{
    return QStringLiteral("The web UI refused the API credentials of the setting \"webui_api_auth\": "
                          "put the user:password it was started with there.");
}

QString apiMissingText()
{
    return QStringLiteral("The web UI answers without its API: start it with --api.");
}

namespace {

// The own text of an HTTP answer, empty when it has none.
QString ownText(int status, const QString& path, bool credentials)
{
    if (status == unauthorized)
        return credentials ? credentialsRefusedText() : credentialsWantedText();
    if ((status == 404 || status == 405) && isApiPath(path))
        return apiMissingText();
    return QString();
}

} // namespace

QString failureText(int status, const QString& path, bool credentials, const QString& clientText)
{
    const QString own = ownText(status, path, credentials);
    return own.isEmpty() ? clientText : own;
}

QString failureText(const QNetworkReply* reply)
{
    return failureText(httpStatus(reply), reply->url().path(), sentCredentials(reply), reply->errorString());
}

bool hasOwnText(const QNetworkReply* reply)
{
    return !ownText(httpStatus(reply), reply->url().path(), sentCredentials(reply)).isEmpty();
}

bool isRefusal(const QNetworkReply* reply)
{
    return httpStatus(reply) == unauthorized;
}

} // namespace WebUi
