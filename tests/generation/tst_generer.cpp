#include "FakeWebUi.h"
#include "Generer.h"
#include "MessageCapture.h"

#include <QApplication>
#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QScopeGuard>
#include <QScopedPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>
#include <QThread>

#ifdef Q_OS_LINUX
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#endif

namespace {

// The chunks of a PNG file, in order: type and data.
QList<QPair<QByteArray, QByteArray>> pngChunks(const QByteArray& png)
{
    QList<QPair<QByteArray, QByteArray>> chunks;
    int at = 8;
    while (at + 12 <= png.size()) {
        const auto* u = reinterpret_cast<const unsigned char*>(png.constData() + at);
        const int length = int((quint32(u[0]) << 24) | (quint32(u[1]) << 16) | (quint32(u[2]) << 8) | u[3]);
        chunks.append({png.mid(at + 4, 4), png.mid(at + 8, length)});
        at += 12 + length;
    }
    return chunks;
}

// The PNG without its chunks of the given type whose keyword is `keyword`.
QByteArray withoutTextChunk(const QByteArray& png, const QByteArray& type, const QByteArray& keyword)
{
    QByteArray out = png.left(8);
    int at = 8;
    while (at + 12 <= png.size()) {
        const auto* u = reinterpret_cast<const unsigned char*>(png.constData() + at);
        const int length = int((quint32(u[0]) << 24) | (quint32(u[1]) << 16) | (quint32(u[2]) << 8) | u[3]);
        if (!(png.mid(at + 4, 4) == type && png.mid(at + 8, length).startsWith(keyword + '\0')))
            out += png.mid(at, 12 + length);
        at += 12 + length;
    }
    return out;
}

// The image in a format; a PNG with its data stored uncompressed, unlike
// anything the PNG writer makes by default, so a decode and encode shows.
QByteArray encoded(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, qstrcmp(format, "PNG") == 0 ? 100 : -1);
    return bytes;
}

// A test image with every pixel different from its neighbours.
QImage noise(QImage::Format format, int width, int height)
{
    QImage image(width, height, QImage::Format_RGBA64);
    quint32 state = 2463534242u;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            image.setPixelColor(x, y,
                                QColor::fromRgba64(quint16(state), quint16(state >> 7), quint16(state >> 16),
                                                   quint16(0x4000 + (state >> 19))));
        }
    }
    if (format == QImage::Format_Indexed8) {
        QVector<QRgb> palette;
        for (int i = 0; i < 16; ++i)
            palette << qRgb(i * 16, 255 - i * 16, (i * 97) % 256);
        return image.convertToFormat(format, palette);
    }
    return image.convertToFormat(format);
}

// The web UI's answer for one image, as its raw fault sends it.
QJsonObject answerWith(const QByteArray& imageBytes)
{
    const QJsonObject body{{"images", QJsonArray{QString::fromLatin1(imageBytes.toBase64())}},
                           {"parameters", QJsonObject()},
                           {"info", "{}"}};
    return {{"status", 200}, {"body", QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact))}};
}

#ifdef Q_OS_LINUX
bool g_privateMounts = false;
#endif

} // namespace

// Generer against the stand-in web UI, with HOME in a temporary folder.
class TestGenerer : public QObject
{
    Q_OBJECT

private:
    FakeWebUi m_web;
    QScopedPointer<QTemporaryDir> m_home;

    QString store() const { return m_home->path() + QStringLiteral("/Documents/AI_TEXTURES"); }
    QStringList files(const QString& folder, const QString& pattern) const
    {
        return QDir(folder).entryList({pattern}, QDir::Files, QDir::Name);
    }
    static QByteArray readFile(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void writeFile(const QString& path, const QByteArray& bytes)
    {
        QFile f(path);
        QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
        f.write(bytes);
    }

private slots:
    void initTestCase()
    {
        // The .txt must be UTF-8 even where the locale's encoding is not.
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        QVERIFY2(m_web.start(), qPrintable(m_web.error()));
    }

    void init()
    {
        QVERIFY2(m_web.prepare(), qPrintable(m_web.error()));
        m_home.reset(new QTemporaryDir);
        QVERIFY(m_home->isValid());
        qputenv("HOME", QFile::encodeName(m_home->path()));
        QCOMPARE(QDir::homePath(), m_home->path());
    }

    void storesFirstImageWithItsPayload_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("posted"); // the body the web UI must receive
        QTest::addColumn<QSize>("size");        // of the stored PNG
        QTest::addColumn<QString>("text");      // in the .txt and the "Comment"
        QTest::addColumn<int>("seed");          // of the first image of the answer

        const QByteArray simple = R"({"prompt":"stone wall","width":64,"height":48,"steps":3,"seed":1234})";
        QTest::newRow("JSON object") << simple << QJsonDocument::fromJson(simple).toJson() << QSize(64, 48)
                                     << QString::fromUtf8(simple) << 1234;

        const QByteArray several =
            R"({"prompt":"moss","width":40,"height":24,"steps":2,"seed":50,"batch_size":2,"n_iter":2})";
        QTest::newRow("several images") << several << QJsonDocument::fromJson(several).toJson()
                                        << QSize(40, 24) << QString::fromUtf8(several) << 50;

        const QByteArray cyrillic =
            u8R"({"prompt":"кирпичная стена, 石垣","width":32,"height":16,"steps":1,"seed":9})";
        QTest::newRow("non-Latin prompt") << cyrillic << QJsonDocument::fromJson(cyrillic).toJson()
                                          << QSize(32, 16) << QString::fromUtf8(cyrillic) << 9;

        const QByteArray words = u8"rusty metal, не JSON";
        QTest::newRow("not JSON") << words << QByteArray("{\n}\n") << QSize(512, 512)
                                  << QString::fromUtf8(words) << -1;
        QTest::newRow("JSON array") << QByteArray(R"([{"width":8}])") << QByteArray("{\n}\n")
                                    << QSize(512, 512) << QStringLiteral(R"([{"width":8}])") << -1;

        const QByteArray head = R"({"prompt":"a","width":16,"height":16,"steps":1})";
        QTest::newRow("zero byte") << head + QByteArray("\0tail", 5) << QByteArray("{\n}\n")
                                   << QSize(512, 512) << QString::fromUtf8(head) << -1;
    }

    void storesFirstImageWithItsPayload()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, posted);
        QFETCH(QSize, size);
        QFETCH(QString, text);
        QFETCH(int, seed);

        MessageCapture capture;
        Generer generer;
        QSignalSpy started(&generer, &Generer::signal_start_recursiv_get_progress);
        QSignalSpy finished(&generer, &Generer::signal_post_req_txt2img_finished);
        QSignalSpy saved(&generer, &Generer::signal_txt2img_finished_for_c4d);
        QSignalSpy failed(&generer, &Generer::signal_txt2img_failed);

        generer.post_req_txt2img(payload);
        QCOMPARE(started.count(), 1);
        QCOMPARE(started.at(0).at(0).toInt(), 837);
        QVERIFY(saved.wait(60000));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(failed.count(), 0);

        const QJsonArray received = m_web.requests(QStringLiteral("/sdapi/v1/txt2img"));
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.at(0)["method"].toString(), QStringLiteral("POST"));
        QCOMPARE(received.at(0)["content_type"].toString(), QStringLiteral("application/json"));
        QCOMPARE(received.at(0)["body"].toString().toUtf8(), posted);

        const QString png = saved.at(0).at(0).toString();
        QCOMPARE(png, QDir::toNativeSeparators(png));
        const QFileInfo info(png);
        QCOMPARE(info.absolutePath(), store() + QStringLiteral("/FULL_RES"));
        QCOMPARE(info.suffix(), QStringLiteral("png"));
        bool digits = false;
        const qint64 stamp = info.completeBaseName().toLongLong(&digits);
        QVERIFY(digits);
        QVERIFY(qAbs(stamp - QDateTime::currentMSecsSinceEpoch()) < 120000);

        // Only the first image is stored, with the payload as "Comment".
        QCOMPARE(files(store() + QStringLiteral("/FULL_RES"), QStringLiteral("*")),
                 QStringList{info.fileName()});
        QCOMPARE(files(store(), QStringLiteral("*")),
                 QStringList{info.completeBaseName() + QStringLiteral(".txt")});
        QImage image;
        QVERIFY(image.load(png, "PNG"));
        QCOMPARE(image.size(), size);
        QCOMPARE(image.text(QStringLiteral("Comment")), text);
        const QString parameters = image.text(QStringLiteral("parameters"));
        if (seed >= 0) {
            QVERIFY2(parameters.contains(QStringLiteral("Seed: %1,").arg(seed)), qPrintable(parameters));
            QVERIFY2(!parameters.contains(QStringLiteral("Seed: %1,").arg(seed + 1)), qPrintable(parameters));
        }

        QCOMPARE(readFile(store() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral(".txt")),
                 text.toUtf8());
        QVERIFY(capture.contains(
            QStringLiteral("[ onNetworkReplyFinished ] :  Image saved successfully!  \"%1\"").arg(png)));
    }

    // Checking and writing run on a worker; the signals come on the GUI thread.
    void storesOffTheGuiThread()
    {
        static QMutex mutex;
        static QList<QPair<QString, QThread*>> lines;
        static QtMessageHandler previous = nullptr;
        lines.clear();
        previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
                {
                    QMutexLocker lock(&mutex);
                    lines.append({text, QThread::currentThread()});
                }
                previous(type, context, text);
            });
        const auto restore = qScopeGuard([] { qInstallMessageHandler(previous); });

        Generer generer;
        QThread* signalled = nullptr;
        connect(
            &generer, &Generer::signal_txt2img_finished_for_c4d, this,
            [&signalled] { signalled = QThread::currentThread(); }, Qt::DirectConnection);
        QSignalSpy saved(&generer, &Generer::signal_txt2img_finished_for_c4d);
        generer.post_req_txt2img(R"({"prompt":"slate","width":64,"height":64,"steps":1})");
        QVERIFY(saved.wait(60000));
        QCOMPARE(signalled, QThread::currentThread());

        QMutexLocker lock(&mutex);
        int written = 0;
        for (const auto& line : qAsConst(lines)) {
            if (line.first.contains(QStringLiteral("Текст успешно сохранен в файл")) ||
                line.first.contains(QStringLiteral(" added successfully"))) {
                ++written;
                QVERIFY2(line.second != QThread::currentThread(), qPrintable(line.first));
            }
        }
        QCOMPARE(written, 2);
    }

    // A second prompt posted before the first answer must not relabel the first image.
    void answersKeepTheirOwnPayload()
    {
        QVERIFY(m_web.reset(0.01));
        const QByteArray first = R"({"prompt":"first","width":16,"height":16,"steps":30,"seed":1})";
        const QByteArray second = R"({"prompt":"second","width":16,"height":16,"steps":1,"seed":2})";
        Generer generer;
        QSignalSpy saved(&generer, &Generer::signal_txt2img_finished_for_c4d);
        generer.post_req_txt2img(first);
        generer.post_req_txt2img(second);
        QTRY_COMPARE_WITH_TIMEOUT(saved.count(), 2, 60000);

        for (const QList<QVariant>& args : saved) {
            const QString png = args.at(0).toString();
            QImage image;
            QVERIFY(image.load(png));
            // The stand-in writes the prompt it rendered as the first line of "parameters".
            const QString rendered =
                image.text(QStringLiteral("parameters")).section(QLatin1Char('\n'), 0, 0);
            const QByteArray expected = rendered == QLatin1String("first") ? first : second;
            QCOMPARE(image.text(QStringLiteral("Comment")), QString::fromUtf8(expected));
            QCOMPARE(readFile(store() + QLatin1Char('/') + QFileInfo(png).completeBaseName() +
                              QStringLiteral(".txt")),
                     expected);
        }
        QVERIFY(saved.at(0).at(0).toString() != saved.at(1).at(0).toString());
    }

    // Stamps whose .txt or .png exist are skipped; nothing stored is replaced.
    void occupiedStampsAreNotOverwritten()
    {
        const int span = 10000;
        QVERIFY(QDir().mkpath(store() + QStringLiteral("/FULL_RES")));
        const qint64 from = QDateTime::currentMSecsSinceEpoch();
        for (qint64 s = from; s < from + span; ++s) {
            // Even stamps hold only a .txt, odd ones only a .png.
            if (s % 2 == 0)
                writeFile(store() + QStringLiteral("/%1.txt").arg(s), "old " + QByteArray::number(s));
            else
                writeFile(store() + QStringLiteral("/FULL_RES/%1.png").arg(s),
                          "old " + QByteArray::number(s));
        }

        Generer generer;
        QSignalSpy saved(&generer, &Generer::signal_txt2img_finished_for_c4d);
        generer.post_req_txt2img(R"({"prompt":"tile","width":8,"height":8,"steps":1})");
        QVERIFY(saved.wait(60000));

        const QString png = saved.at(0).at(0).toString();
        QCOMPARE(QFileInfo(png).completeBaseName(), QString::number(from + span));
        QVERIFY(QFileInfo::exists(store() + QStringLiteral("/%1.txt").arg(from + span)));
        QCOMPARE(files(store(), QStringLiteral("*.txt")).size(), span / 2 + 1);
        QCOMPARE(files(store() + QStringLiteral("/FULL_RES"), QStringLiteral("*.png")).size(), span / 2 + 1);
        for (qint64 s = from; s < from + span; ++s) {
            const QString path = s % 2 == 0 ? store() + QStringLiteral("/%1.txt").arg(s)
                                            : store() + QStringLiteral("/FULL_RES/%1.png").arg(s);
            QCOMPARE(readFile(path), "old " + QByteArray::number(s));
        }
    }

    // A PNG is stored as it came, with one "Comment" chunk added; pixels and
    // the web UI's own chunks stay bit for bit.
    void receivedPngIsKeptWithTheComment_data()
    {
        QTest::addColumn<int>("format"); // QImage::Format of the web UI's image
        QTest::addColumn<int>("colourType");
        QTest::addColumn<int>("bitDepth");
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<QByteArray>("chunkType"); // of the stored Comment

        QTest::newRow("8-bit RGB, ASCII")
            << int(QImage::Format_RGB32) << 2 << 8 << QStringLiteral("stone wall") << QByteArray("tEXt");
        QTest::newRow("8-bit RGBA, Latin-1") << int(QImage::Format_ARGB32) << 6 << 8
                                             << QStringLiteral("façade, naïve öl") << QByteArray("tEXt");
        QTest::newRow("palette, non-Latin") << int(QImage::Format_Indexed8) << 3 << 8
                                            << QStringLiteral("кирпичная стена, 石垣") << QByteArray("iTXt");
        QTest::newRow("16-bit RGBA, non-Latin")
            << int(QImage::Format_RGBA64) << 6 << 16 << QStringLiteral("€ tiles") << QByteArray("iTXt");
    }

    void receivedPngIsKeptWithTheComment()
    {
        QFETCH(int, format);
        QFETCH(int, colourType);
        QFETCH(int, bitDepth);
        QFETCH(QString, prompt);
        QFETCH(QByteArray, chunkType);

        QImage made = noise(QImage::Format(format), 37, 23);
        const QString parameters = QStringLiteral("%1\nSteps: 20, Seed: 7, Größe: 37x23").arg(prompt);
        made.setText(QStringLiteral("parameters"), parameters);
        const QByteArray received = encoded(made, "PNG");
        const QList<QPair<QByteArray, QByteArray>> receivedChunks = pngChunks(received);
        QCOMPARE(receivedChunks.first().first, QByteArray("IHDR"));
        QCOMPARE(int(quint8(receivedChunks.first().second.at(9))), colourType);
        QCOMPARE(int(quint8(receivedChunks.first().second.at(8))), bitDepth);
        QVERIFY(m_web.fault("txt2img", "raw", answerWith(received)));

        const QByteArray payload =
            QJsonDocument(QJsonObject{{"prompt", prompt}, {"steps", 1}}).toJson(QJsonDocument::Compact);
        Generer generer;
        QSignalSpy saved(&generer, &Generer::signal_txt2img_finished_for_c4d);
        QSignalSpy failed(&generer, &Generer::signal_txt2img_failed);
        generer.post_req_txt2img(payload);
        QVERIFY(saved.wait(60000));
        QCOMPARE(failed.count(), 0);

        const QByteArray stored = readFile(saved.at(0).at(0).toString());
        // Exactly one chunk more: the Comment, of the expected type; nothing else changed.
        int comments = 0;
        for (const auto& chunk : pngChunks(stored)) {
            if (chunk.second.startsWith("Comment\0")) {
                ++comments;
                QCOMPARE(chunk.first, chunkType);
            }
        }
        QCOMPARE(comments, 1);
        QCOMPARE(pngChunks(stored).size(), receivedChunks.size() + 1);
        QCOMPARE(withoutTextChunk(stored, chunkType, "Comment"), received);

        QImage back;
        QVERIFY(back.loadFromData(stored, "PNG"));
        QCOMPARE(back.text(QStringLiteral("Comment")), QString::fromUtf8(payload));
        QCOMPARE(back.text(QStringLiteral("parameters")), parameters);
        const QImage original = QImage::fromData(received, "PNG");
        QCOMPARE(back.format(), original.format());
        QVERIFY(back == original);
    }

    // The first image is found in every shape of answer the JSON allows.
    void answerShapesAreRead_data()
    {
        QTest::addColumn<QByteArray>("before"); // the body up to the image text
        QTest::addColumn<QByteArray>("after");  // the body after it
        QTest::addColumn<bool>("escapeSlashes");
        QTest::newRow("compact") << QByteArray("{'images':['").replace('\'', '"')
                                 << QByteArray("'],'info':'{}'}").replace('\'', '"') << false;
        QTest::newRow("escaped slashes")
            << QByteArray("{'images':['").replace('\'', '"') << QByteArray("']}").replace('\'', '"') << true;
        QTest::newRow("images last, another images before")
            << QByteArray("{'parameters': {'images': ['bm90IGl0']}, 'info': '`'images`': [`'eA==`']', "
                          "'images': [ '")
                   .replace('\'', '"')
                   .replace('`', '\\')
            << QByteArray("' , 'eA=='] }").replace('\'', '"') << false;
        QTest::newRow("line breaks")
            << QByteArray("{\n  'images' :\n  [\n    '").replace('\'', '"')
            << QByteArray("'\n  ],\n  'n': -1.5e3, 'ok': true\n}\n").replace('\'', '"') << false;
    }

    void answerShapesAreRead()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QFETCH(bool, escapeSlashes);
        const QImage made = noise(QImage::Format_ARGB32, 29, 31);
        const QByteArray png = encoded(made, "PNG");
        QByteArray text = png.toBase64();
        QVERIFY(text.contains('/'));
        if (escapeSlashes)
            text.replace("/", "\\/");
        const QByteArray body = before + text + after;
        QVERIFY2(QJsonDocument::fromJson(body).isObject(), body.left(120).constData());
        QVERIFY(m_web.fault("txt2img", "raw", {{"status", 200}, {"body", QString::fromLatin1(body)}}));

        Generer generer;
        QSignalSpy saved(&generer, &Generer::signal_txt2img_finished_for_c4d);
        generer.post_req_txt2img(R"({"prompt":"shape"})");
        QVERIFY(saved.wait(60000));
        QImage back;
        QVERIFY(back.load(saved.at(0).at(0).toString()));
        QVERIFY(back == QImage::fromData(png));
    }

    // Other formats are decoded and stored as a PNG once.
    void jpegIsStoredAsPng()
    {
        const QByteArray jpeg = encoded(noise(QImage::Format_RGB32, 40, 30), "JPEG");
        QVERIFY(jpeg.startsWith("\xff\xd8"));
        QVERIFY(m_web.fault("txt2img", "raw", answerWith(jpeg)));
        const QByteArray payload = u8R"({"prompt":"grès cérame, 瓦"})";
        Generer generer;
        QSignalSpy saved(&generer, &Generer::signal_txt2img_finished_for_c4d);
        generer.post_req_txt2img(payload);
        QVERIFY(saved.wait(60000));

        const QString png = saved.at(0).at(0).toString();
        QCOMPARE(QFileInfo(png).suffix(), QStringLiteral("png"));
        const QByteArray stored = readFile(png);
        QVERIFY(stored.startsWith("\x89PNG\r\n\x1a\n"));
        QImage back;
        QVERIFY(back.loadFromData(stored, "PNG"));
        QCOMPARE(back.text(QStringLiteral("Comment")), QString::fromUtf8(payload));
        const QImage decoded = QImage::fromData(jpeg, "JPEG");
        QVERIFY(back.convertToFormat(decoded.format()) == decoded);
    }

    // A full disk at any point of the write leaves no file, not even a
    // temporary one, and is reported; with room, the same image is stored.
    void fillingDiskLeavesNothing_data()
    {
        QTest::addColumn<int>("freeKiB");
        QTest::addColumn<QString>("error"); // the start of the reported text; empty: stored
        const QString text = QStringLiteral("The text file of the image cannot be written: ");
        const QString image = QStringLiteral("The image file cannot be written: ");
        // The .txt takes 3 pages (12 KiB), the .png more than 2 more.
        QTest::newRow("no room at all") << 0 << text;
        QTest::newRow("text cut short") << 4 << text;
        QTest::newRow("no room for the image") << 12 << image;
        QTest::newRow("image cut short") << 20 << image;
        QTest::newRow("room for both") << 128 << QString();
    }

    void fillingDiskLeavesNothing()
    {
        QFETCH(int, freeKiB);
        QFETCH(QString, error);
#ifndef Q_OS_LINUX
        QSKIP("A small tmpfs is made on Linux only.");
#else
        if (!g_privateMounts)
            QSKIP(
                "No private mount namespace here (needs root or user namespaces): no tmpfs can be mounted.");
        const QString documents = m_home->path() + QStringLiteral("/Documents");
        QVERIFY(QDir().mkpath(documents));
        const QByteArray options = "size=" + QByteArray::number(freeKiB + 4) + "k";
        QVERIFY2(mount("tmpfs", QFile::encodeName(documents).constData(), "tmpfs", 0, options.constData()) ==
                     0,
                 strerror(errno));
        const auto unmount =
            qScopeGuard([&] { umount2(QFile::encodeName(documents).constData(), MNT_DETACH); });
        QVERIFY(QDir().mkpath(store() + QStringLiteral("/FULL_RES")));
        writeFile(documents + QStringLiteral("/filler"), QByteArray(4096, 'f'));
        struct statvfs fs;
        QCOMPARE(statvfs(QFile::encodeName(documents).constData(), &fs), 0);
        QCOMPARE(qint64(fs.f_bavail) * qint64(fs.f_bsize), qint64(freeKiB) * 1024);

        const QByteArray payload =
            "{\"prompt\":\"" + QByteArray(10000, 'x') + "\",\"width\":32,\"height\":32,\"steps\":1}";
        MessageCapture capture;
        Generer generer;
        QSignalSpy saved(&generer, &Generer::signal_txt2img_finished_for_c4d);
        QSignalSpy failed(&generer, &Generer::signal_txt2img_failed);
        generer.post_req_txt2img(payload);
        QTRY_VERIFY_WITH_TIMEOUT(saved.count() + failed.count() > 0, 60000);

        const QStringList everything{QStringLiteral("*")};
        const auto all = QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot;
        if (error.isEmpty()) {
            QCOMPARE(failed.count(), 0);
            QImage back;
            QVERIFY(back.load(saved.at(0).at(0).toString()));
            QCOMPARE(back.text(QStringLiteral("Comment")), QString::fromUtf8(payload));
            QCOMPARE(QDir(store()).entryList(everything, all).size(), 2);
            return;
        }
        QCOMPARE(saved.count(), 0);
        QCOMPARE(failed.count(), 1);
        const QString told = failed.at(0).at(0).toString();
        QVERIFY2(told.startsWith(error), qPrintable(told));
        QVERIFY(!capture.contains(QStringLiteral("Image saved successfully!")));
        QCOMPARE(QDir(store()).entryList(everything, all), QStringList{QStringLiteral("FULL_RES")});
        QCOMPARE(QDir(store() + QStringLiteral("/FULL_RES")).entryList(everything, all), QStringList());
#endif
    }

    void failuresAreReportedNotStored_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("error");     // the text of signal_txt2img_failed
        QTest::addColumn<QString>("debugLine"); // a piece of the debug line written

        const QString url = FakeWebUi::baseUrl() + QStringLiteral("/sdapi/v1/txt2img");
        QTest::newRow("HTTP 500")
            << "error500"
            << QStringLiteral("Error transferring %1 - server replied: Internal Server Error").arg(url)
            << QStringLiteral("Error:  \"Error transferring");
        QTest::newRow("connection dropped") << "drop" << QStringLiteral("Connection closed")
                                            << QStringLiteral("Error:  \"Connection closed\"");
        QTest::newRow("web UI not running") << "stopped" << QStringLiteral("Connection refused")
                                            << QStringLiteral("Error:  \"Connection refused\"");
        QTest::newRow("no images") << "no_images" << QStringLiteral("The web UI answered without an image.")
                                   << QStringLiteral("Error: No images in the response");
        QTest::newRow("answer not JSON") << "raw" << QStringLiteral("The web UI answered without an image.")
                                         << QStringLiteral("Error: No images in the response");
        QTest::newRow("undecodable image")
            << "undecodable" << QStringLiteral("The image sent by the web UI cannot be decoded.")
            << QStringLiteral("cannot be decoded");
        QTest::newRow("truncated PNG")
            << "truncated_png" << QStringLiteral("The image sent by the web UI cannot be decoded.")
            << QStringLiteral("cannot be decoded");
        QTest::newRow("damaged PNG") << "damaged_png"
                                     << QStringLiteral("The image sent by the web UI cannot be decoded.")
                                     << QStringLiteral("cannot be decoded");
        QTest::newRow("store cannot be made")
            << "documents_is_file"
            << QStringLiteral("The text file of the image cannot be written: %1/%2.txt")
            << QStringLiteral("Ошибка открытия файла для записи");
        QTest::newRow("image folder cannot be made")
            << "full_res_is_file" << QStringLiteral("The image file cannot be written: %1/FULL_RES/%2.png")
            << QStringLiteral("the image cannot be written to");
    }

    void failuresAreReportedNotStored()
    {
        QFETCH(QString, setup);
        QFETCH(QString, error);
        QFETCH(QString, debugLine);

        if (setup == QLatin1String("stopped")) {
            m_web.stop();
        } else if (setup == QLatin1String("raw")) {
            QVERIFY(m_web.fault("txt2img", "raw", {{"status", 200}, {"body", "<html>busy</html>"}}));
        } else if (setup == QLatin1String("truncated_png") || setup == QLatin1String("damaged_png")) {
            QByteArray png = encoded(noise(QImage::Format_RGB32, 64, 64), "PNG");
            if (setup == QLatin1String("truncated_png"))
                png.chop(png.size() / 3);
            else
                png[png.size() / 2] = char(png.at(png.size() / 2) ^ 0x10);
            QVERIFY(m_web.fault("txt2img", "raw", answerWith(png)));
        } else if (setup == QLatin1String("documents_is_file")) {
            writeFile(m_home->path() + QStringLiteral("/Documents"), "in the way");
        } else if (setup == QLatin1String("full_res_is_file")) {
            QVERIFY(QDir().mkpath(store()));
            writeFile(store() + QStringLiteral("/FULL_RES"), "in the way");
        } else {
            QVERIFY2(m_web.fault("txt2img", setup), qPrintable(m_web.error()));
        }

        MessageCapture capture;
        Generer generer;
        QSignalSpy finished(&generer, &Generer::signal_post_req_txt2img_finished);
        QSignalSpy saved(&generer, &Generer::signal_txt2img_finished_for_c4d);
        QSignalSpy failed(&generer, &Generer::signal_txt2img_failed);
        generer.post_req_txt2img(R"({"prompt":"lost","width":8,"height":8,"steps":1})");
        QVERIFY(failed.wait(60000));

        QString text = failed.at(0).at(0).toString();
        if (error.contains(QLatin1String("%2"))) {
            // The stamp is the store's business; the rest of the sentence is fixed.
            const QString stamp = text.section(QLatin1Char('/'), -1).section(QLatin1Char('.'), 0, 0);
            QVERIFY2(!stamp.isEmpty() && stamp.toLongLong() > 0, qPrintable(text));
            error = error.arg(store(), stamp);
        }
        QCOMPARE(text, error);
        QVERIFY2(capture.contains(debugLine), qPrintable(capture.lines().join('\n')));
        // The request is done with: nothing more comes.
        QCoreApplication::processEvents();
        QCOMPARE(failed.count(), 1);
        QCOMPARE(saved.count(), 0);
        QCOMPARE(finished.count(), 0);
        QVERIFY(!capture.contains(QStringLiteral("Image saved successfully!")));
        QVERIFY(files(store(), QStringLiteral("*.txt")).isEmpty());
        QVERIFY(files(store() + QStringLiteral("/FULL_RES"), QStringLiteral("*.png")).isEmpty());
    }

    void cleanupTestCase()
    {
        m_web.stop();
    }
};

int main(int argc, char** argv)
{
#ifdef Q_OS_LINUX
    // A mount namespace of this process's own, made while it has one thread,
    // so that the tmpfs of the full-disk test is seen by nobody else.
    g_privateMounts =
        unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
#endif
    QApplication app(argc, argv);
    TestGenerer test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_generer.moc"
