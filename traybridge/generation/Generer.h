#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Posts each prompt payload to the web UI's text-to-image endpoint and stores
// the first image of the answer in the image store.
class Generer : public QObject
{
    Q_OBJECT
public:
    explicit Generer(QObject* parent = nullptr);

    void post_req_txt2img(QByteArray decodedPayload);

signals:
    void signal_start_recursiv_get_progress(int value);
    void signal_post_req_txt2img_finished();
    void signal_txt2img_finished_for_c4d(QString save_file);
    // The request failed, brought no image, or its image could not be stored.
    void signal_txt2img_failed(QString err_text);

public slots:
    void handleMessage(int value);

private slots:
    void onNetworkReplyFinished(QNetworkReply* reply);

private:
    QNetworkAccessManager* networkManager = nullptr;
    QByteArray lastPayload;
};

// Both return false when the file could not be written as asked.
bool addComment(const QString& imagePath, const QString& comment);
bool saveTextToFile(const QString& filePath, const QString& text);
