#pragma once

#include "ImageStore.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QThreadPool>

class QNetworkAccessManager;
class QNetworkReply;

// Posts each prompt payload to the web UI's text-to-image endpoint and stores
// the first image of the answer in the image store. Checking and writing run
// on a worker, one store at a time; the outcome comes back to the GUI thread.
class Generer : public QObject
{
    Q_OBJECT
public:
    explicit Generer(QObject* parent = nullptr);
    ~Generer() override;

    void post_req_txt2img(QByteArray decodedPayload);

signals:
    void signal_start_recursiv_get_progress(int value);
    void signal_post_req_txt2img_finished();
    void signal_txt2img_finished_for_c4d(QString save_file);
    // The request failed, brought no image, its image could not be stored, or
    // it was abandoned. Each request ends with this or the two above, once.
    void signal_txt2img_failed(QString err_text);
    // The web UI answered a request (any outcome); it no longer works on it.
    void signal_txt2img_answered();

public slots:
    void handleMessage(int value);
    // Gives up every request the web UI has not answered yet: each is
    // reported failed with `err_text`, and its answer, should one come, is dropped.
    void abandon_txt2img(QString err_text);

private slots:
    void onNetworkReplyFinished(QNetworkReply* reply);

private:
    void onStored(const ImageStore::Result& result);

    QNetworkAccessManager* networkManager = nullptr;
    QByteArray lastPayload;
    QList<QNetworkReply*> m_inWebUi; // sent, not answered, not abandoned
    QThreadPool m_storePool;         // one store at a time, so stamps never collide
};

// Both return false when the file could not be written as asked; each writes
// to a temporary name and replaces the file only when all of it is written.
bool addComment(const QString& imagePath, const QString& comment);
bool saveTextToFile(const QString& filePath, const QString& text);
