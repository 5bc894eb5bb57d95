#pragma once

#include <QByteArray>
#include <QString>

// PNG files at the level of their chunks: a check that the data is a whole
// PNG, and a text chunk added without touching anything else.
namespace PngChunks {

// Whether the data starts with the PNG signature.
bool hasSignature(const QByteArray& data);

// Whether the data is a whole PNG: the signature, a sound IHDR first, every
// chunk complete with a matching CRC, a palette where the colour type needs
// one, image data, and IEND. Truncated or damaged data fails.
bool isComplete(const QByteArray& png);

// The PNG with one text chunk `keyword` = `text` put before its first IDAT:
// tEXt when the text is Latin-1, iTXt (UTF-8, uncompressed) otherwise. Every
// other byte stays as it came. The PNG must pass isComplete().
QByteArray withText(const QByteArray& png, const QString& keyword, const QString& text);

// CRC-32 as PNG chunks use it (over type and data).
quint32 crc32(const char* data, int size, quint32 crc = 0);

} // namespace PngChunks
