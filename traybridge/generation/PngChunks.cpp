#include "PngChunks.h"

#include <array>

namespace {

const char kSignature[] = "\x89PNG\r\n\x1a\n";
constexpr int kSignatureSize = 8;

quint32 readU32(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (quint32(u[0]) << 24) | (quint32(u[1]) << 16) | (quint32(u[2]) << 8) | quint32(u[3]);
}

void appendU32(QByteArray& out, quint32 v)
{
    out.append(char(v >> 24)).append(char(v >> 16)).append(char(v >> 8)).append(char(v));
}

// Eight tables, so the CRC takes eight bytes a step (slicing-by-8).
using CrcTables = std::array<std::array<quint32, 256>, 8>;

const CrcTables& crcTables()
{
    static const CrcTables tables = [] {
        CrcTables t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[0][n] = c;
        }
        for (quint32 n = 0; n < 256; ++n)
            for (int k = 1; k < 8; ++k)
                t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xff];
        return t;
    }();
    return tables;
}

bool soundHeader(const char* d)
{
    const quint32 width = readU32(d);
    const quint32 height = readU32(d + 4);
    const int depth = static_cast<unsigned char>(d[8]);
    const int colour = static_cast<unsigned char>(d[9]);
    if (width == 0 || height == 0 || width > 0x7fffffffu || height > 0x7fffffffu)
        return false;
    bool depthOk = false;
    switch (colour) {
    case 0:
        depthOk = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
        break;
    case 3:
        depthOk = depth == 1 || depth == 2 || depth == 4 || depth == 8;
        break;
    case 2:
    case 4:
    case 6:
        depthOk = depth == 8 || depth == 16;
        break;
    default:
        return false;
    }
    return depthOk && d[10] == 0 && d[11] == 0 && (d[12] == 0 || d[12] == 1);
}

} // namespace

namespace PngChunks {

quint32 crc32(const char* data, int size, quint32 crc)
{
    const CrcTables& t = crcTables();
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    crc = ~crc;
    for (; size >= 8; size -= 8, p += 8) {
        const quint32 lo =
            crc ^ (quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24));
        crc = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24] ^
              t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; size > 0; --size, ++p)
        crc = t[0][(crc ^ *p) & 0xff] ^ (crc >> 8);
    return ~crc;
}

bool hasSignature(const QByteArray& data)
{
    return data.startsWith(QByteArray::fromRawData(kSignature, kSignatureSize));
}

bool isComplete(const QByteArray& png)
{
    if (!hasSignature(png))
        return false;
    const qint64 size = png.size();
    qint64 at = kSignatureSize;
    bool first = true, palette = false, data = false;
    int colour = -1;
    while (at + 12 <= size) {
        const quint32 length = readU32(png.constData() + at);
        if (length > 0x7fffffffu || at + 12 + qint64(length) > size)
            return false;
        const char* type = png.constData() + at + 4;
        const QByteArray name = QByteArray::fromRawData(type, 4);
        if (crc32(type, int(length) + 4) != readU32(type + 4 + length))
            return false;
        if (first) {
            if (name != "IHDR" || length != 13 || !soundHeader(type + 4))
                return false;
            colour = static_cast<unsigned char>(type[4 + 9]);
            first = false;
        } else if (name == "PLTE") {
            palette = true;
        } else if (name == "IDAT") {
            if (colour == 3 && !palette)
                return false;
            data = true;
        } else if (name == "IEND") {
            return data;
        }
        at += 12 + qint64(length);
    }
    return false;
}

QByteArray withText(const QByteArray& png, const QString& keyword, const QString& text)
{
    bool latin1 = true;
    for (const QChar c : text)
        latin1 = latin1 && c.unicode() <= 0xff;

    QByteArray chunk = latin1 ? QByteArray("tEXt") : QByteArray("iTXt");
    chunk += keyword.toLatin1();
    chunk += '\0';
    if (latin1) {
        chunk += text.toLatin1();
    } else {
        // Not compressed, no language tag, no translated keyword.
        chunk += QByteArray("\0\0\0\0", 4);
        chunk += text.toUtf8();
    }

    // Before the first IDAT, where every reader meets it.
    qint64 at = kSignatureSize;
    while (at + 8 <= png.size() && QByteArray::fromRawData(png.constData() + at + 4, 4) != "IDAT")
        at += 12 + qint64(readU32(png.constData() + at));

    QByteArray out;
    out.reserve(png.size() + chunk.size() + 8);
    out.append(png.constData(), int(at));
    appendU32(out, quint32(chunk.size() - 4));
    out += chunk;
    appendU32(out, crc32(chunk.constData(), chunk.size()));
    out.append(png.constData() + at, int(png.size() - at));
    return out;
}

} // namespace PngChunks
