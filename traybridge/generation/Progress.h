#pragma once

#include <QNetworkRequest>
#include <QObject>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Polls the web UI's progress endpoint every 250 ms while a generation runs,
// and answers the liveness probe.
class Progress : public QObject
{
    Q_OBJECT
public:
    explicit Progress(QObject* parent = nullptr);

    void get_stable_diffusion_progress_bar();

signals:
    void messageGenerated(int);
    void signal_progress_txt2img_for_c4d(double);
    void signal_progress_txt2img_error(QString);
    void signal_set_status_is_stable_diffusion_run(bool);

private slots:
    void onGetNetworkReplyFinished(QNetworkReply* reply);
    void onNetworkReplyFinished(QNetworkReply* reply);

public slots:
    void start_recursiv_get_progress();
    void post_req_txt2img_finished();
    void tick();
    void handleMessage(int value);

private:
    QNetworkRequest build_progress_request();

    QNetworkAccessManager* getManager = nullptr;
    QNetworkAccessManager* statusManager = nullptr;
    QTimer* timer = nullptr;
};
