#pragma once

#include <QElapsedTimer>
#include <QNetworkRequest>
#include <QObject>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Polls the web UI's progress endpoint every 250 ms while any text-to-image
// request is with the web UI, one poll at a time, and answers the liveness
// probe. Polling gives up, with one error, when the web UI stays unreachable
// or makes no progress for the stall limit.
class Progress : public QObject
{
    Q_OBJECT
public:
    explicit Progress(QObject* parent = nullptr);

    void get_stable_diffusion_progress_bar();

    // Failed polls in a row after which the web UI counts as unreachable.
    static constexpr int unreachablePolls = 8;
    // The stall limit when the setting is absent, and the setting's name.
    static constexpr int defaultStallSeconds = 600;
    static constexpr const char* stallSetting = "txt2img_stall_seconds";

signals:
    void messageGenerated(int);
    void signal_progress_txt2img_for_c4d(double);
    // Polling gave up: the web UI is unreachable or stalled. Once per give-up.
    void signal_progress_txt2img_error(QString);
    void signal_set_status_is_stable_diffusion_run(bool);

private slots:
    void onGetNetworkReplyFinished(QNetworkReply* reply);
    void onNetworkReplyFinished(QNetworkReply* reply);

public slots:
    // One request sent to the web UI: polling runs while any is with it.
    void start_recursiv_get_progress();
    void post_req_txt2img_finished();
    // The web UI answered one request.
    void txt2img_answered();
    void tick();
    void handleMessage(int value);

private:
    QNetworkRequest build_progress_request();
    void give_up(const QString& err_text);
    static int readStallSeconds();

    QNetworkAccessManager* getManager = nullptr;
    QNetworkAccessManager* statusManager = nullptr;
    QTimer* timer = nullptr;

    int m_inWebUi = 0;                  // requests sent and not yet answered
    QNetworkReply* m_pollOut = nullptr; // the poll on its way, if any
    bool m_pollStale = false;           // an answer came in since that poll was sent
    int m_failedPolls = 0;              // in a row
    qint64 m_stallLimitMs = defaultStallSeconds * 1000LL;
    QElapsedTimer m_sinceProgress; // since the last change of value or answer
    double m_lastValue = 0;
    bool m_hasValue = false;
};
