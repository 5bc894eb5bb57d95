#include "Generer.h"

#include "DebugPrefix.h"
#include "ProcessExit.h"
#include "WebUi.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTextStream>
#include <QThread>

#include <exception>

namespace {

// The reply property that carries the payload of the request it answers.
const char* const kPayloadProperty = "tb_txt2img_payload";

// UTF-8 up to the first zero byte.
QString payloadText(const QByteArray& payload)
{
    return QString::fromUtf8(payload.constData(), int(qstrnlen(payload.constData(), uint(payload.size()))));
}

QString storeRoot()
{
    return QDir::homePath() + QStringLiteral("/Documents/AI_TEXTURES");
}

// The first millisecond from now on whose .txt and .png are both still free.
qint64 freeStamp(const QString& imageFolder)
{
    qint64 stamp = QDateTime::currentMSecsSinceEpoch();
    while (QFileInfo::exists(QDir::toNativeSeparators(storeRoot() + QLatin1Char('/') +
                                                      QString::number(stamp) + QStringLiteral(".txt"))) ||
           QFileInfo::exists(QDir::toNativeSeparators(imageFolder + QLatin1Char('/') +
                                                      QString::number(stamp) + QStringLiteral(".png"))))
        ++stamp;
    return stamp;
}

} // namespace

Generer::Generer(QObject* parent) : QObject(parent), networkManager(new QNetworkAccessManager(this))
{
    connect(networkManager, &QNetworkAccessManager::finished, this, &Generer::onNetworkReplyFinished);
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
    emit signal_start_recursiv_get_progress(837);
}

void Generer::handleMessage(int value)
{
    qDebug() << "Generer received message:" << value;
}

void Generer::onNetworkReplyFinished(QNetworkReply* reply)
{
    TB_TIMED;
    reply->deleteLater();

    if (reply->error() != QNetworkReply::NoError) {
        TB_TIMED << "Error: " << reply->errorString();
        emit signal_txt2img_failed(WebUi::failureText(reply));
        return;
    }

    const QJsonArray images = QJsonDocument::fromJson(reply->readAll()).object().value("images").toArray();
    if (images.isEmpty()) {
        TB_TIMED << "Error: No images in the response";
        emit signal_txt2img_failed(QStringLiteral("The web UI answered without an image."));
        return;
    }

    const QVariant own = reply->property(kPayloadProperty);
    const QString text = payloadText(own.isValid() ? own.toByteArray() : lastPayload);

    const QImage image = QImage::fromData(QByteArray::fromBase64(images.at(0).toString().toUtf8()));
    if (image.isNull()) {
        TB_TIMED << "Error: the image data of the response cannot be decoded";
        emit signal_txt2img_failed(QStringLiteral("The image sent by the web UI cannot be decoded."));
        return;
    }

    const QString imageFolder = QDir::toNativeSeparators(storeRoot() + QStringLiteral("/FULL_RES"));
    QDir dir(imageFolder);
    if (!dir.exists())
        dir.mkpath(imageFolder);

    const QString stamp = QString::number(freeStamp(imageFolder));
    const QString textPath =
        QDir::toNativeSeparators(storeRoot() + QLatin1Char('/') + stamp + QStringLiteral(".txt"));
    if (!saveTextToFile(textPath, text)) {
        emit signal_txt2img_failed(QStringLiteral("The text file of the image cannot be written: ") +
                                   textPath);
        return;
    }

    const QString pngPath =
        QDir::toNativeSeparators(imageFolder + QLatin1Char('/') + stamp + QStringLiteral(".png"));
    if (!image.save(pngPath) || !addComment(pngPath, text)) {
        TB_TIMED << "Error: the image cannot be written to" << pngPath;
        // No half-stored image: its text file goes too.
        QFile::remove(textPath);
        emit signal_txt2img_failed(QStringLiteral("The image file cannot be written: ") + pngPath);
        return;
    }

    QThread::msleep(100);
    tb::shortPrefix(qDebug(), "onNetworkReplyFinished", "] : ") << "Image saved successfully! " << pngPath;
    emit signal_post_req_txt2img_finished();
    emit signal_txt2img_finished_for_c4d(pngPath);
}

bool addComment(const QString& imagePath, const QString& comment)
{
    try {
        QImage image(imagePath);
        const QString format = QFileInfo(imagePath).suffix().toLower();
        if (image.isNull()) {
            TB_TIMED << "Comment " << comment << " not added, no image at" << imagePath;
            return false;
        }
        image.setText(QStringLiteral("Comment"), comment);
        if (!image.save(imagePath, format.toLatin1().constData())) {
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
    QFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        qDebug() << "Ошибка открытия файла для записи" << filePath;
        return false;
    }
    QTextStream out(&file);
    out.setCodec("UTF-8");
    out << text;
    out.flush();
    const bool written = out.status() == QTextStream::Ok && file.error() == QFileDevice::NoError;
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        qDebug() << "Error writing the file" << filePath << file.errorString();
        return false;
    }
    qDebug() << "Текст успешно сохранен в файл" << filePath;
    return true;
}
