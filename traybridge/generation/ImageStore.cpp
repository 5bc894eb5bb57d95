#include "ImageStore.h"

#include "DebugPrefix.h"
#include "Generer.h"
#include "PngChunks.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

// The first millisecond from now on whose .txt and .png are both still free.
// Stores run one at a time, so a stamp found free stays free until written.
qint64 freeStamp(const QString& imageFolder)
{
    qint64 stamp = QDateTime::currentMSecsSinceEpoch();
    while (QFileInfo::exists(QDir::toNativeSeparators(ImageStore::storeRoot() + QLatin1Char('/') +
                                                      QString::number(stamp) + QStringLiteral(".txt"))) ||
           QFileInfo::exists(QDir::toNativeSeparators(imageFolder + QLatin1Char('/') +
                                                      QString::number(stamp) + QStringLiteral(".png"))))
        ++stamp;
    return stamp;
}

bool writeWhole(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qDebug() << "Error opening the file for writing" << path << file.errorString();
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        qDebug() << "Error writing the file" << path << file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

} // namespace

QString ImageStore::storeRoot()
{
    return QDir::homePath() + QStringLiteral("/Documents/AI_TEXTURES");
}

QByteArray ImageStore::annotatedPng(const QByteArray& imageData, const QString& comment)
{
    if (PngChunks::hasSignature(imageData)) {
        if (!PngChunks::isComplete(imageData))
            return QByteArray();
        return PngChunks::withText(imageData, QStringLiteral("Comment"), comment);
    }
    QImage image = QImage::fromData(imageData);
    if (image.isNull())
        return QByteArray();
    image.setText(QStringLiteral("Comment"), comment);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!QImageWriter(&buffer, "png").write(image))
        return QByteArray();
    return png;
}

ImageStore::Result ImageStore::store(const QByteArray& answerBody, const QString& text)
{
    Result result;
    const QJsonArray images = QJsonDocument::fromJson(answerBody).object().value("images").toArray();
    if (images.isEmpty())
        return result;

    const QByteArray png = annotatedPng(QByteArray::fromBase64(images.at(0).toString().toUtf8()), text);
    if (png.isEmpty()) {
        result.outcome = Outcome::Undecodable;
        return result;
    }

    const QString imageFolder = QDir::toNativeSeparators(storeRoot() + QStringLiteral("/FULL_RES"));
    QDir dir(imageFolder);
    if (!dir.exists())
        dir.mkpath(imageFolder);

    const QString stamp = QString::number(freeStamp(imageFolder));
    const QString textPath =
        QDir::toNativeSeparators(storeRoot() + QLatin1Char('/') + stamp + QStringLiteral(".txt"));
    const QString pngPath =
        QDir::toNativeSeparators(imageFolder + QLatin1Char('/') + stamp + QStringLiteral(".png"));
    if (!saveTextToFile(textPath, text)) {
        result.outcome = Outcome::TextFailed;
        result.path = textPath;
        return result;
    }
    if (!writeWhole(pngPath, png)) {
        // No half-stored image: its text file goes too.
        QFile::remove(textPath);
        result.outcome = Outcome::ImageFailed;
        result.path = pngPath;
        return result;
    }
    tb::timedPrefix(qDebug(), __TIME__, "void addComment(const QString&, const QString&)")
        << "Comment " << text << " added successfully";
    result.outcome = Outcome::Stored;
    result.path = pngPath;
    return result;
}
