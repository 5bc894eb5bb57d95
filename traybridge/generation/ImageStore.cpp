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

#include <cctype>

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

// A reader of the answer's shape that finds the text of "images"[0] without
// building a document, so the text is used in place. It reads the whole body
// and gives up (a null result) on anything it does not expect, an escape in
// that text included; the JSON reader then decides.
class AnswerScan
{
public:
    explicit AnswerScan(const QByteArray& body) : m_p(body.constData()), m_end(body.constData() + body.size())
    {}

    // The Base64 text of the first image, or a null array.
    QByteArray firstImage()
    {
        if (!object(true, 0))
            return QByteArray();
        space();
        if (m_p != m_end || !m_image)
            return QByteArray();
        return QByteArray::fromRawData(m_image, int(m_imageEnd - m_image));
    }

private:
    void space()
    {
        while (m_p != m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\n' || *m_p == '\r'))
            ++m_p;
    }
    bool take(char c)
    {
        space();
        if (m_p == m_end || *m_p != c)
            return false;
        ++m_p;
        return true;
    }
    // A string: its bytes between the quotes, and whether it holds an escape.
    bool string(const char** from = nullptr, const char** to = nullptr, bool* escaped = nullptr)
    {
        if (!take('"'))
            return false;
        const char* start = m_p;
        bool esc = false;
        while (m_p != m_end && *m_p != '"') {
            if (*m_p == '\\') {
                esc = true;
                if (++m_p == m_end)
                    return false;
            }
            ++m_p;
        }
        if (m_p == m_end)
            return false;
        if (from)
            *from = start;
        if (to)
            *to = m_p;
        if (escaped)
            *escaped = esc;
        ++m_p;
        return true;
    }
    bool value(int depth)
    {
        space();
        if (m_p == m_end || depth > 64)
            return false;
        if (*m_p == '"')
            return string();
        if (*m_p == '{')
            return object(false, depth + 1);
        if (*m_p == '[')
            return array(false, depth + 1);
        const char* start = m_p;
        while (m_p != m_end &&
               (std::isalnum(static_cast<unsigned char>(*m_p)) || *m_p == '-' || *m_p == '+' || *m_p == '.'))
            ++m_p;
        return m_p != start;
    }
    bool array(bool images, int depth)
    {
        if (!take('['))
            return false;
        if (take(']'))
            return true;
        bool first = images;
        do {
            space();
            if (first && m_p != m_end && *m_p == '"') {
                const char* from = nullptr;
                const char* to = nullptr;
                bool escaped = false;
                if (!string(&from, &to, &escaped) || escaped)
                    return false;
                m_image = from;
                m_imageEnd = to;
            } else if (!value(depth)) {
                return false;
            }
            first = false;
        } while (take(','));
        return take(']');
    }
    bool object(bool top, int depth)
    {
        if (!take('{'))
            return false;
        if (take('}'))
            return true;
        do {
            const char* from = nullptr;
            const char* to = nullptr;
            bool escaped = false;
            if (!string(&from, &to, &escaped) || !take(':'))
                return false;
            const bool images = top && !escaped && QByteArray::fromRawData(from, int(to - from)) == "images";
            if (images) {
                space();
                // Not an array, or a second "images": left to the JSON reader.
                if (m_image || m_p == m_end || *m_p != '[' || !array(true, depth + 1))
                    return false;
            } else if (!value(depth)) {
                return false;
            }
        } while (take(','));
        return take('}');
    }

    const char* m_p;
    const char* m_end;
    const char* m_image = nullptr;
    const char* m_imageEnd = nullptr;
};

// The Base64 text of the answer's first image: null when the answer holds no
// images, empty when the first is no text.
QByteArray firstImageText(const QByteArray& body)
{
    const QByteArray fast = AnswerScan(body).firstImage();
    if (!fast.isNull())
        return fast;
    const QJsonArray images = QJsonDocument::fromJson(body).object().value("images").toArray();
    if (images.isEmpty())
        return QByteArray();
    const QByteArray text = images.at(0).toString().toUtf8();
    return text.isNull() ? QByteArray("") : text;
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
    const QByteArray imageText = firstImageText(answerBody);
    if (imageText.isNull())
        return result;

    const QByteArray png = annotatedPng(QByteArray::fromBase64(imageText), text);
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
