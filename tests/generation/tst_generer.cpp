#include "FakeWebUi.h"
#include "Generer.h"
#include "MessageCapture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QScopedPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

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

    void cleanupTestCase() { m_web.stop(); }
};

QTEST_MAIN(TestGenerer)
#include "tst_generer.moc"
