#pragma once

#include <QByteArray>
#include <QString>

// Stores the first image of a text-to-image answer with its request text.
// Runs off the GUI thread; touches no QObject.
class ImageStore
{
public:
    enum class Outcome
    {
        Stored,
        NoImages,    // no "images" array, an empty one, or an answer that is not JSON
        Undecodable, // the first image is not whole, decodable image data
        TextFailed,  // the .txt could not be written; nothing is stored
        ImageFailed  // the .png could not be written; nothing is stored
    };

    struct Result
    {
        Outcome outcome = Outcome::NoImages;
        QString path; // the .png when stored or when it failed, the .txt when that failed
    };

    // Checks the answer body and writes home/Documents/AI_TEXTURES/<stamp>.txt
    // and .../FULL_RES/<stamp>.png. A PNG is kept byte for byte with a
    // "Comment" chunk added; other formats are decoded and written as PNG once.
    // Each file goes to a temporary name first; a failure leaves neither.
    static Result store(const QByteArray& answerBody, const QString& text);

    // The file's bytes: the PNG as received with the comment added, or the
    // image decoded and encoded as PNG with it; empty when undecodable.
    static QByteArray annotatedPng(const QByteArray& imageData, const QString& comment);

    static QString storeRoot();
};
