#include "Generer.h"

#include "DebugPrefix.h"
#include "ImageStore.h"
#include "ProcessExit.h"
#include "WebUi.h"

#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QTextStream>
#include <QTimer>

#include <exception>

namespace {

// The reply property that carries the payload of the request it answers.
const char* const kPayloadProperty = "tb_txt2img_payload";

// The pause between a stored image and its two signals.
constexpr int kSavedPauseMs = 100;

// UTF-8 up to the first zero byte.
QString payloadText(const QByteArray& payload)
{
    return QString::fromUtf8(payload.constData(), int(qstrnlen(payload.constData(), uint(payload.size()))));
}

} // namespace

Generer::Generer(QObject* parent) : QObject(parent), networkManager(new QNetworkAccessManager(this))
{
    connect(networkManager, &QNetworkAccessManager::finished, this, &Generer::onNetworkReplyFinished);
    m_storePool.setMaxThreadCount(1);
}

Generer::~Generer()
{
    // A store under way finishes its files; its outcome goes nowhere.
    m_storePool.waitForDone();
}

void Generer::post_req_txt2img(QByteArray decodedPayload)
{
    TB_TIMED << "decodedPayload" << decodedPayload;
    lastPayload = decodedPayload;

    const QNetworkRequest request = WebUi::request(QStringLiteral("/sdapi/v1/txt2img"));
    const QByteArray body = QJsonDocument(QJsonDocument::fromJson(decodedPayload).object()).toJson();

    QNetworkReply* reply = networkManager->post(request, body);
    // Each answer is stored with the payload of its own request.
    reply->setProperty(kPayloadProperty, decodedPayload);
    m_inWebUi.append(reply);
    emit signal_start_recursiv_get_progress(837);
}

void Generer::handleMessage(int value)
{
    qDebug() << "Generer received message:" << value;
}

void Generer::abandon_txt2img(QString err_text)
{
    const QList<QNetworkReply*> abandoned = m_inWebUi;
    m_inWebUi.clear();
    for (QNetworkReply* reply : abandoned) {
        TB_TIMED << "Error: " << err_text;
        reply->abort();
        emit signal_txt2img_failed(err_text);
    }
}

void Generer::onNetworkReplyFinished(QNetworkReply* reply)
{
    TB_TIMED;
    reply->deleteLater();
    if (!m_inWebUi.removeOne(reply)) {
        TB_TIMED << "the request was abandoned; its answer is dropped";
        return;
    }
    emit signal_txt2img_answered();

    if (reply->error() != QNetworkReply::NoError) {
        TB_TIMED << "Error: " << reply->errorString();
        emit signal_txt2img_failed(WebUi::failureText(reply));
        return;
    }

    const QVariant own = reply->property(kPayloadProperty);
    const QString text = payloadText(own.isValid() ? own.toByteArray() : lastPayload);

    // Parsing, checking and writing happen on the store's worker; the outcome
    // comes back queued. The destructor waits for the worker, so `this` is
    // alive when it posts, and a post left undelivered dies with the object.
    const QByteArray body = reply->readAll();
    m_storePool.start([this, body, text] {
        const ImageStore::Result result = ImageStore::store(body, text);
        QMetaObject::invokeMethod(
            this, [this, result] { onStored(result); }, Qt::QueuedConnection);
    });
}

void Generer::onStored(const ImageStore::Result& result)
{
    const char* const replyFunction = "void Generer::onNetworkReplyFinished(QNetworkReply*)";
    switch (result.outcome) {
    case ImageStore::Outcome::NoImages:
        tb::timedPrefix(qDebug(), __TIME__, replyFunction) << "Error: No images in the response";
        emit signal_txt2img_failed(QStringLiteral("The web UI answered without an image."));
        return;
    case ImageStore::Outcome::Undecodable:
        tb::timedPrefix(qDebug(), __TIME__, replyFunction)
            << "Error: the image data of the response cannot be decoded";
        emit signal_txt2img_failed(QStringLiteral("The image sent by the web UI cannot be decoded."));
        return;
    case ImageStore::Outcome::TextFailed:
        emit signal_txt2img_failed(QStringLiteral("The text file of the image cannot be written: ") +
                                   result.path);
        return;
    case ImageStore::Outcome::ImageFailed:
        tb::timedPrefix(qDebug(), __TIME__, replyFunction)
            << "Error: the image cannot be written to" << result.path;
        emit signal_txt2img_failed(QStringLiteral("The image file cannot be written: ") + result.path);
        return;
    case ImageStore::Outcome::Stored:
        break;
    }
    // The pause before the two signals does not hold the event loop.
    const QString pngPath = result.path;
    QTimer::singleShot(kSavedPauseMs, this, [this, pngPath] {
        tb::shortPrefix(qDebug(), "onNetworkReplyFinished", "] : ")
            << "Image saved successfully! " << pngPath;
        emit signal_post_req_txt2img_finished();
        emit signal_txt2img_finished_for_c4d(pngPath);
    });
}

bool addComment(const QString& imagePath, const QString& comment)
{
    try {
        QFile file(imagePath);
        const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        file.close();
        const QByteArray annotated = ImageStore::annotatedPng(bytes, comment);
        if (annotated.isEmpty()) {
            TB_TIMED << "Comment " << comment << " not added, no image at" << imagePath;
            return false;
        }
        QSaveFile out(imagePath);
        if (!out.open(QIODevice::WriteOnly) || out.write(annotated) != annotated.size() || !out.commit()) {
            TB_TIMED << "Comment " << comment << " not added, cannot write" << imagePath;
            return false;
        }
        TB_TIMED << "Comment " << comment << " added successfully";
        return true;
    } catch (const std::exception& e) {
        qDebug() << "Error:" << e.what();
        tb::endProcess(5);
    }
}

bool saveTextToFile(const QString& filePath, const QString& text)
{
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        qDebug() << "Ошибка открытия файла для записи" << filePath;
        return false;
    }
    QTextStream out(&file);
    out.setCodec("UTF-8");
    out << text;
    out.flush();
    if (out.status() != QTextStream::Ok || !file.commit()) {
        qDebug() << "Error writing the file" << filePath << file.errorString();
        file.cancelWriting();
        return false;
    }
    qDebug() << "Текст успешно сохранен в файл" << filePath;
    return true;
}
