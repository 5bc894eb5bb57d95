#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>

class QNetworkReply;

// The web UI's fixed base address; every endpoint URL is a template filled with it.
namespace WebUi {
inline QString baseAddress()
{
    return QStringLiteral("http://127.0.0.1:7860");
}

// The optional settings value with the web UI's API credentials, "user:password".
inline const char* authSettingName()
{
    return "webui_api_auth";
}

// The request for an endpoint path such as "/sdapi/v1/txt2img": Content-Type
// "application/json" and, when the settings value "webui_api_auth" is present,
// an HTTP Basic Authorization header made from it. The value is read quietly
// for every request, so a change counts from the next request on.
QNetworkRequest request(const QString& path);

// "Basic " and the Base64 of the credentials; empty for empty credentials.
QByteArray basicAuthorization(const QByteArray& credentials);

// The error texts the plug-in gets for the HTTP answers that have one.
QString credentialsWantedText();
QString credentialsRefusedText();
QString apiMissingText();

// The text the plug-in gets for a failed reply: the texts above for 401 and
// for 404/405 on "/sdapi/v1/...", the HTTP client's own message otherwise.
QString failureText(const QNetworkReply* reply);
// The same from the parts: the HTTP status (0 when none came), the URL's path,
// whether the request carried credentials, and the HTTP client's message.
QString failureText(int httpStatus, const QString& path, bool sentCredentials, const QString& clientText);

// True when the reply's HTTP status has one of the texts above.
bool hasOwnText(const QNetworkReply* reply);

// 401: the web UI runs, but wants credentials or refuses those it got.
bool isRefusal(const QNetworkReply* reply);
} // namespace WebUi
