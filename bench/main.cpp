// tb_bench: measures a running traybridge against baselines made in the same
// run, and prints the figures as a Markdown table. bench/run.sh sets up the
// desktop, the settings and the namespaces; this program starts traybridge and
// the tick baseline, plays the web UI (port 7860) and the plug-in (port 20837).
//
//   tb_bench --traybridge PATH --ticks PATH --store DIR [--label TEXT]
//            [--idle-windows N] [--idle-window-ms MS] [--store-runs N] [--fanout-polls N]

#include "BenchWebUi.h"
#include "Clock.h"
#include "FanOutWriter.h"
#include "ProcStats.h"
#include "Samples.h"

#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace {

constexpr quint16 kBridgePort = 20837;
constexpr quint16 kWebUiPort = 7860;

QTextStream& out()
{
    static QTextStream stream(stdout);
    stream.setCodec("UTF-8");
    return stream;
}

void note(const QString& text)
{
    std::fprintf(stderr, "tb_bench: %s\n", qPrintable(text));
}

double ms(qint64 ns)
{
    return ns / 1e6;
}

// Runs the event loop until done() holds; false when the time is up.
bool serveUntil(const std::function<bool()>& done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

// One plug-in connection: sends its request at once and collects what comes back.
struct PluginConnection
{
    explicit PluginConnection(const QByteArray& request, quint16 port = kBridgePort)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            data += socket.readAll();
            if (onData)
                onData(clockNs());
        });
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket.write(request);
    }

    QTcpSocket socket;
    QByteArray data;
    std::function<void(qint64)> onData;
};

// Round trip of one "MSG_PING_SYSTRAY_GUI" on a new connection, as the plug-in
// makes it; -1 when no answer came.
qint64 pingNs(int timeoutMs = 30000)
{
    const qint64 start = clockNs();
    PluginConnection ping("MSG_PING_SYSTRAY_GUI");
    qint64 answered = -1;
    ping.onData = [&](qint64 ns) {
        if (answered < 0 && ping.data.startsWith("MSG_PING_SYSTRAY_GUI"))
            answered = ns;
    };
    if (!serveUntil([&] { return answered >= 0; }, timeoutMs))
        return -1;
    return answered - start;
}

QByteArray promptRequest(int width, int height)
{
    QJsonObject parameters{{QStringLiteral("prompt"), QStringLiteral("benchmark texture")},
                           {QStringLiteral("width"), width},
                           {QStringLiteral("height"), height},
                           {QStringLiteral("steps"), 20}};
    return "prompt:" + QJsonDocument(parameters).toJson(QJsonDocument::Compact).toBase64();
}

// A PNG as the web UI makes it: 8-bit RGB with its "parameters" text.
QByteArray makePng(int side, bool noise)
{
    QImage image(side, side, QImage::Format_RGB888);
    QRandomGenerator random(20837);
    for (int y = 0; y < side; ++y) {
        uchar* line = image.scanLine(y);
        for (int x = 0; x < side; ++x) {
            if (noise) {
                const quint32 value = random.generate();
                line[3 * x] = value & 0xff;
                line[3 * x + 1] = (value >> 8) & 0xff;
                line[3 * x + 2] = (value >> 16) & 0xff;
            } else {
                line[3 * x] = static_cast<uchar>(255 * x / side);
                line[3 * x + 1] = static_cast<uchar>(255 * y / side);
                line[3 * x + 2] = static_cast<uchar>(128);
            }
        }
    }
    image.setText(QStringLiteral("parameters"), QStringLiteral("benchmark texture\nSteps: 20, Seed: 20837"));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

QByteArray txt2imgAnswer(const QByteArray& png)
{
    return "{\"images\": [\"" + png.toBase64() + "\"], \"parameters\": {}, \"info\": \"{}\"}";
}

// Progress values of one fixed length, so that a value is never the start of another.
QByteArray valueText(int k)
{
    return QByteArray::number((1000 + 10 * k + 1) / 10000.0, 'g', 6);
}

// Records, for each "PROGRESS_TXT2IMG:" value arriving on the connection, the
// time since that value was sent.
std::function<void(qint64)> progressReader(PluginConnection* connection, int* position,
                                           const std::map<QByteArray, qint64>& sentAt, Samples& latencies)
{
    return [connection, position, &sentAt, &latencies](qint64 ns) {
        static const QByteArray mark("PROGRESS_TXT2IMG:");
        for (;;) {
            const int at = connection->data.indexOf(mark, *position);
            if (at < 0 || connection->data.size() < at + mark.size() + 6)
                return;
            const QByteArray value = connection->data.mid(at + mark.size(), 6);
            *position = at + mark.size() + 6;
            const auto sent = sentAt.find(value);
            if (sent != sentAt.end())
                latencies.add(ms(ns - sent->second));
        }
    };
}

struct Options
{
    QString traybridge;
    QString ticks;
    QString store;
    QString label;
    int idleWindows = 5;
    int idleWindowMs = 4000;
    int storeRuns = 3;
    int fanoutPolls = 20;
};

class Bench
{
public:
    explicit Bench(const Options& options) : m_options(options) {}

    int run();

private:
    bool startPrograms();
    void idle();
    void pings();
    void stores();
    void fanOut(int connections);
    void fanOutBaseline(int connections);
    void printReport();

    struct StoreCase
    {
        QString name;
        int side;
        QByteArray answer;
        QByteArray base64;
        Samples program;
        Samples baseline;
    };

    Options m_options;
    BenchWebUi m_webUi;
    QProcess m_tray;
    QProcess m_ticks;
    Samples m_idleWakeups, m_tickWakeups, m_idleCpu, m_tickCpu;
    Samples m_pingIdle, m_pingDuringStore;
    std::vector<StoreCase> m_stores;
    std::map<int, Samples> m_fanOut;
    std::map<int, Samples> m_fanOutBaseline;
    std::map<int, int> m_fanOutMissing;
};

bool Bench::startPrograms()
{
    if (!m_webUi.listen(QHostAddress::LocalHost, kWebUiPort)) {
        note(QStringLiteral("cannot listen on %1: %2").arg(kWebUiPort).arg(m_webUi.errorString()));
        return false;
    }
    m_tray.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    m_tray.setStandardErrorFile(QDir(m_options.store).filePath(QStringLiteral("traybridge.log")));
    m_tray.start(m_options.traybridge, QStringList());
    m_ticks.start(m_options.ticks, QStringList());
    if (!m_tray.waitForStarted() || !m_ticks.waitForStarted()) {
        note(QStringLiteral("cannot start the programs"));
        return false;
    }
    // traybridge answers once its server is up; its heartbeats start a moment later.
    const QDeadlineTimer deadline(60000);
    while (pingNs(1000) < 0) {
        if (deadline.hasExpired() || m_tray.state() != QProcess::Running) {
            note(QStringLiteral("traybridge did not come up"));
            return false;
        }
    }
    serveUntil([] { return false; }, 3000);
    return true;
}

void Bench::idle()
{
    note(QStringLiteral("idle: %1 windows of %2 ms").arg(m_options.idleWindows).arg(m_options.idleWindowMs));
    for (int window = 0; window < m_options.idleWindows; ++window) {
        const ProcStats trayBefore = ProcStats::of(m_tray.processId());
        const ProcStats ticksBefore = ProcStats::of(m_ticks.processId());
        const qint64 start = clockNs();
        // The bench sleeps meanwhile, apart from answering the liveness probes.
        serveUntil([] { return false; }, m_options.idleWindowMs);
        const double seconds = (clockNs() - start) / 1e9;
        const ProcStats trayAfter = ProcStats::of(m_tray.processId());
        const ProcStats ticksAfter = ProcStats::of(m_ticks.processId());
        m_idleWakeups.add((trayAfter.voluntarySwitches - trayBefore.voluntarySwitches) / seconds);
        m_tickWakeups.add((ticksAfter.voluntarySwitches - ticksBefore.voluntarySwitches) / seconds);
        m_idleCpu.add(ms(trayAfter.cpuNs - trayBefore.cpuNs) / seconds);
        m_tickCpu.add(ms(ticksAfter.cpuNs - ticksBefore.cpuNs) / seconds);
    }
}

void Bench::pings()
{
    for (int i = 0; i < 50; ++i) {
        const qint64 ns = pingNs();
        if (ns >= 0)
            m_pingIdle.add(ms(ns));
    }
}

void Bench::stores()
{
    const QByteArray progress = "{\"progress\": 0.5, \"eta_relative\": 1.0, \"state\": {}}";
    for (int side : {512, 1024, 2048}) {
        for (bool noise : {true, false}) {
            const QByteArray png = makePng(side, noise);
            StoreCase store;
            // Not arg(): "%1²" reads as the place marker %12.
            store.name = QString::number(side) + QStringLiteral("² ") +
                         (noise ? QStringLiteral("noise") : QStringLiteral("gradient"));
            store.side = side;
            store.answer = txt2imgAnswer(png);
            store.base64 = png.toBase64();
            note(QStringLiteral("store: %1, PNG of %2 bytes").arg(store.name).arg(png.size()));
            m_stores.push_back(std::move(store));
        }
    }
    const QString baselineFile = QDir(m_options.store).filePath(QStringLiteral("baseline.png"));
    m_webUi.setProgressBody(progress);

    for (StoreCase& store : m_stores) {
        const bool pingMeanwhile = store.side == 2048 && store.name.endsWith(QStringLiteral("noise"));
        for (int run = 0; run < m_options.storeRuns; ++run) {
            // The baseline: base64 decode and one write of the PNG.
            {
                const qint64 start = clockNs();
                const QByteArray bytes = QByteArray::fromBase64(store.base64);
                QFile file(baselineFile);
                if (file.open(QIODevice::WriteOnly)) {
                    file.write(bytes);
                    file.close();
                }
                store.baseline.add(ms(clockNs() - start));
            }

            PluginConnection plugin(promptRequest(store.side, store.side));
            if (!serveUntil([&] { return m_webUi.heldTxt2img() > 0; }, 30000)) {
                note(QStringLiteral("no txt2img request came"));
                continue;
            }
            qint64 answered = -1;
            qint64 saved = -1;
            const QMetaObject::Connection stamp =
                QObject::connect(&m_webUi, &BenchWebUi::txt2imgAnswered, [&](qint64 ns) { answered = ns; });
            plugin.onData = [&](qint64 ns) {
                if (saved < 0 && plugin.data.contains("IMAGE_SAVED_SUCCESSFULLY: "))
                    saved = ns;
            };
            const qint64 asked = clockNs();
            m_webUi.answerTxt2img(store.answer);
            if (pingMeanwhile) {
                serveUntil([&] { return answered >= 0; }, 30000);
                note(QStringLiteral("answered %1 ms after the request, saved: %2")
                         .arg(ms(answered - asked))
                         .arg(saved >= 0));
                // Pings one after another, each begun before the image was saved.
                while (saved < 0) {
                    const qint64 ns = pingNs();
                    if (ns < 0)
                        break;
                    m_pingDuringStore.add(ms(ns));
                }
            }
            const bool ok = serveUntil([&] { return saved >= 0 && answered >= 0; }, 60000);
            QObject::disconnect(stamp);
            if (!ok) {
                note(QStringLiteral("%1: no \"IMAGE_SAVED_SUCCESSFULLY: \" (got \"%2\")")
                         .arg(store.name, QString::fromUtf8(plugin.data.right(200))));
                continue;
            }
            store.program.add(ms(saved - answered));
        }
        note(QStringLiteral("store %1: %2 ms").arg(store.name, store.program.summary(1)));
    }
}

void Bench::fanOut(int connections)
{
    note(QStringLiteral("fan-out: %1 connections").arg(connections));
    std::map<QByteArray, qint64> answeredAt;
    int next = 0;
    auto setNext = [&] {
        m_webUi.setProgressBody("{\"progress\": " + valueText(next) +
                                ", \"eta_relative\": 1.0, \"state\": {}}");
        ++next;
    };
    setNext();
    const QMetaObject::Connection stamp =
        QObject::connect(&m_webUi, &BenchWebUi::progressAnswered, [&](qint64 ns, const QByteArray& body) {
            const int at = body.indexOf("\"progress\": ") + 12;
            answeredAt[body.mid(at, body.indexOf(',', at) - at)] = ns;
            setNext();
        });

    Samples& latencies = m_fanOut[connections];
    std::vector<std::unique_ptr<PluginConnection>> open;
    std::vector<int> parsed(connections, 0);
    for (int i = 0; i < connections; ++i) {
        open.push_back(std::make_unique<PluginConnection>("MSG_PING_SYSTRAY_GUI"));
        PluginConnection* connection = open.back().get();
        int* position = &parsed[i];
        *position = 20; // after the reply
        connection->onData = progressReader(connection, position, answeredAt, latencies);
    }
    serveUntil(
        [&] {
            for (const auto& connection : open) {
                if (connection->data.size() < 20)
                    return false;
            }
            return true;
        },
        60000);

    PluginConnection prompt(promptRequest(512, 512));
    serveUntil([&] { return m_webUi.heldTxt2img() > 0; }, 30000);
    const int first = next;
    serveUntil([&] { return next - first >= m_options.fanoutPolls; }, m_options.fanoutPolls * 2000);
    serveUntil([] { return false; }, 300); // the last values arrive

    // The generation ends; the poller stops.
    QObject::disconnect(stamp);
    auto savedEverywhere = [&] {
        if (!prompt.data.contains("IMAGE_SAVED_SUCCESSFULLY: "))
            return false;
        for (const auto& connection : open) {
            if (!connection->data.contains("IMAGE_SAVED_SUCCESSFULLY: "))
                return false;
        }
        return true;
    };
    m_webUi.answerTxt2img(txt2imgAnswer(makePng(64, false)));
    serveUntil(savedEverywhere, 30000);
    serveUntil([] { return false; }, 300); // a poll under way may still add a value

    // Values relayed by the program (liveness probes take values too, but relay none).
    int relayed = 0;
    for (const auto& [value, ns] : answeredAt) {
        Q_UNUSED(ns);
        if (prompt.data.contains("PROGRESS_TXT2IMG:" + value))
            ++relayed;
    }
    m_fanOutMissing[connections] = relayed * connections - latencies.size();
    open.clear();
    serveUntil([] { return false; }, 500);
}

void Bench::fanOutBaseline(int connections)
{
    QThread thread;
    auto* writer = new FanOutWriter;
    writer->moveToThread(&thread);
    thread.start();
    quint16 port = 0;
    QMetaObject::invokeMethod(writer, &FanOutWriter::listen, Qt::BlockingQueuedConnection, &port);

    std::map<QByteArray, qint64> sentAt;
    Samples& latencies = m_fanOutBaseline[connections];
    std::vector<std::unique_ptr<PluginConnection>> open;
    std::vector<int> parsed(connections, 0);
    for (int i = 0; i < connections; ++i) {
        open.push_back(std::make_unique<PluginConnection>(QByteArray(), port));
        open.back()->onData = progressReader(open.back().get(), &parsed[i], sentAt, latencies);
    }
    serveUntil(
        [&] {
            int accepted = 0;
            QMetaObject::invokeMethod(writer, &FanOutWriter::connections, Qt::BlockingQueuedConnection,
                                      &accepted);
            return accepted == connections;
        },
        60000);
    for (int k = 0; k < m_options.fanoutPolls; ++k) {
        const QByteArray value = valueText(k);
        sentAt[value] = clockNs();
        const QByteArray bytes = "PROGRESS_TXT2IMG:" + value;
        QMetaObject::invokeMethod(
            writer, [writer, bytes] { writer->send(bytes); }, Qt::QueuedConnection);
        serveUntil([] { return false; }, 250);
    }
    serveUntil([] { return false; }, 300);
    QMetaObject::invokeMethod(writer, &FanOutWriter::closeAll, Qt::BlockingQueuedConnection);
    open.clear();
    thread.quit();
    thread.wait();
    delete writer;
}

void Bench::printReport()
{
    const auto ratio = [](double program, double baseline) {
        return baseline > 0 ? QStringLiteral("%1×").arg(program / baseline, 0, 'f', 1) : QStringLiteral("—");
    };
    QTextStream& o = out();
    o << "\n## " << m_options.label << "\n\n";
    o << "| Figure | traybridge, median (min-max) | Baseline, median (min-max) | Ratio |\n";
    o << "|---|---|---|---|\n";
    o << "| Idle wake-ups, 1/s | " << m_idleWakeups.summary(1) << " | tick process "
      << m_tickWakeups.summary(1) << "; the ticks alone 1.53 | "
      << ratio(m_idleWakeups.median(), m_tickWakeups.median()) << " |\n";
    o << "| Idle CPU, ms/s | " << m_idleCpu.summary(2) << " | tick process " << m_tickCpu.summary(2) << " | "
      << ratio(m_idleCpu.median(), m_tickCpu.median()) << " |\n";
    for (const StoreCase& store : m_stores) {
        o << QStringLiteral("| Answer → saved, ") << store.name << ", ms | " << store.program.summary(1)
          << " | decode + one write " << store.baseline.summary(1) << " | "
          << ratio(store.program.median(), store.baseline.median()) << " |\n";
    }
    o << QStringLiteral("| Ping round trip during a 2048² noise store, ms | ") << m_pingDuringStore.summary(1)
      << " (" << m_pingDuringStore.size() << " pings) | idle " << m_pingIdle.summary(2) << " | max "
      << ratio(m_pingDuringStore.max(), m_pingIdle.median()) << " |\n";
    for (const auto& [connections, latencies] : m_fanOut) {
        const Samples& bare = m_fanOutBaseline[connections];
        o << "| Fan-out to " << connections << " connection" << (connections == 1 ? "" : "s") << ", ms | p50 "
          << QString::number(latencies.median(), 'f', 2) << ", p99 "
          << QString::number(latencies.percentile(0.99), 'f', 2) << " (min "
          << QString::number(latencies.min(), 'f', 2) << ", max " << QString::number(latencies.max(), 'f', 2)
          << "; " << latencies.size() << " values";
        const int missing = m_fanOutMissing[connections];
        if (missing != 0)
            o << ", " << missing << " missing";
        o << ") | bare writer: p50 " << QString::number(bare.median(), 'f', 2) << ", p99 "
          << QString::number(bare.percentile(0.99), 'f', 2) << " (" << bare.size() << " values) | p99 "
          << ratio(latencies.percentile(0.99), bare.percentile(0.99)) << " |\n";
    }
    o.flush();
}

int Bench::run()
{
    if (!startPrograms())
        return 1;
    idle();
    pings();
    stores();
    for (int connections : {1, 50, 200}) {
        fanOut(connections);
        fanOutBaseline(connections);
    }
    printReport();
    m_tray.kill();
    m_ticks.kill();
    m_tray.waitForFinished();
    m_ticks.waitForFinished();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption traybridge(QStringLiteral("traybridge"), QStringLiteral("the program"),
                                        QStringLiteral("path"));
    const QCommandLineOption ticks(QStringLiteral("ticks"), QStringLiteral("the tick baseline"),
                                   QStringLiteral("path"));
    const QCommandLineOption store(QStringLiteral("store"), QStringLiteral("a scratch folder"),
                                   QStringLiteral("dir"));
    const QCommandLineOption label(QStringLiteral("label"), QStringLiteral("title of the table"),
                                   QStringLiteral("text"), QStringLiteral("traybridge"));
    const QCommandLineOption idleWindows(QStringLiteral("idle-windows"), QStringLiteral("idle windows"),
                                         QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption idleWindowMs(QStringLiteral("idle-window-ms"), QStringLiteral("length of one"),
                                          QStringLiteral("ms"), QStringLiteral("4000"));
    const QCommandLineOption storeRuns(QStringLiteral("store-runs"), QStringLiteral("runs per image"),
                                       QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption fanoutPolls(QStringLiteral("fanout-polls"), QStringLiteral("polls per fan-out"),
                                         QStringLiteral("n"), QStringLiteral("20"));
    parser.addOptions({traybridge, ticks, store, label, idleWindows, idleWindowMs, storeRuns, fanoutPolls});
    parser.process(app);
    if (!parser.isSet(traybridge) || !parser.isSet(ticks) || !parser.isSet(store)) {
        note(QStringLiteral("--traybridge, --ticks and --store are needed"));
        return 2;
    }
    Options options;
    options.traybridge = parser.value(traybridge);
    options.ticks = parser.value(ticks);
    options.store = parser.value(store);
    options.label = parser.value(label);
    options.idleWindows = parser.value(idleWindows).toInt();
    options.idleWindowMs = parser.value(idleWindowMs).toInt();
    options.storeRuns = parser.value(storeRuns).toInt();
    options.fanoutPolls = parser.value(fanoutPolls).toInt();
    clockNs();
    Bench bench(options);
    return bench.run();
}
