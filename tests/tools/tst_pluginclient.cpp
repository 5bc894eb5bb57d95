// plugin-client as a child process against a stand-in for traybridge's server
// on 127.0.0.1:20837: the bytes of each request, what the client prints, and
// its exit code on every failure.

#include "ClientRun.h"
#include "FakeBridge.h"

#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr quint16 bridgePort = 20837;

using Writes = QList<QByteArray>;

const QByteArray started = "IMAGE_GENERATION_PROCESS_STARTED";
const QByteArray pngPath = "/home/u/Documents/AI_TEXTURES/FULL_RES/1700000000123.png";
const QByteArray saved = "IMAGE_SAVED_SUCCESSFULLY: " + pngPath;

} // namespace

class TestPluginClient : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void commands_data();
    void commands();
    void generateRequest_data();
    void generateRequest();
    void generateStream_data();
    void generateStream();
    void generateGivesUpWithoutProgress();
    void failures_data();
    void failures();
    void usageErrors_data();
    void usageErrors();
    void portOption();
    void progressBarOnTerminal();

private:
    std::unique_ptr<FakeBridge> m_bridge;
};

void TestPluginClient::init()
{
    m_bridge = std::make_unique<FakeBridge>();
    QVERIFY(m_bridge->listen(bridgePort));
}

void TestPluginClient::cleanup()
{
    m_bridge.reset();
}

void TestPluginClient::commands_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<Writes>("writes");
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("ping") << QStringList{"ping"} << QByteArray() << QByteArray("MSG_PING_SYSTRAY_GUI")
                          << Writes{"MSG_PING_SYSTRAY_GUI"} << false << QByteArray("traybridge is running\n")
                          << 0;
    QTest::newRow("run-webui") << QStringList{"run-webui"} << QByteArray()
                               << QByteArray("REQUEST_TO_RUN_RUNBAT") << Writes{"OK_RECOV_START_TCP_SEVER"}
                               << false << QByteArray("web UI start requested\n") << 0;
    QTest::newRow("status") << QStringList{"status"} << QByteArray() << QByteArray("REQUEST_STATUS_RUNBAT")
                            << Writes{"m_stablediffusion_status->don't INIT"} << false
                            << QByteArray("m_stablediffusion_status->don't INIT\n") << 0;
    QTest::newRow("skip") << QStringList{"skip"} << QByteArray() << QByteArray("REQUEST_SKIP_GENERATION")
                          << Writes{"OK_SKIP_GENERATION"} << false << QByteArray("skip requested\n") << 0;
    QTest::newRow("is-running") << QStringList{"is-running"} << QByteArray()
                                << QByteArray("MSG_IS_STABLEDIFFUSION_RUNNING")
                                << Writes{"STABLE_DIFFUSION_WORK"} << false
                                << QByteArray("STABLE_DIFFUSION_WORK\n") << 0;
    QTest::newRow("load-status") << QStringList{"load-status"} << QByteArray()
                                 << QByteArray("MSG_GET_STATUS_LOAD_STABLEDIFFUSION")
                                 << Writes{"RESPONSE_STATUS_LOADSTABLE_DIFFUSION_NOT_WORK"} << false
                                 << QByteArray("STABLE_DIFFUSION_NOT_WORK\n") << 0;
    QTest::newRow("get-load-status") << QStringList{"get-load-status"} << QByteArray()
                                     << QByteArray("get_load_status")
                                     << Writes{"STABLE_DIFFUSION_LAUNCH_PROCESS : 3"} << false
                                     << QByteArray("STABLE_DIFFUSION_LAUNCH_PROCESS : 3\n") << 0;
    QTest::newRow("reply among notifications of other work")
        << QStringList{"is-running"} << QByteArray() << QByteArray("MSG_IS_STABLEDIFFUSION_RUNNING")
        << Writes{"PROGRESS_TXT2IMG:0.5", "STABLE_DIFFUSION_WORKPROGRESS_TXT2IMG:0.75"} << false
        << QByteArray("STABLE_DIFFUSION_WORK\n") << 0;
    QTest::newRow("reply split over two writes")
        << QStringList{"load-status"} << QByteArray() << QByteArray("MSG_GET_STATUS_LOAD_STABLEDIFFUSION")
        << Writes{"RESPONSE_STATUS_LOAD", "STABLE_DIFFUSION_START_END"} << false
        << QByteArray("STABLE_DIFFUSION_START_END\n") << 0;
    QTest::newRow("ping, wrong reply")
        << QStringList{"ping"} << QByteArray() << QByteArray("MSG_PING_SYSTRAY_GUI")
        << Writes{"OK_SKIP_GENERATION"} << false << QByteArray() << 7;
    QTest::newRow("load-status without its lead")
        << QStringList{"load-status"} << QByteArray() << QByteArray("MSG_GET_STATUS_LOAD_STABLEDIFFUSION")
        << Writes{"STABLE_DIFFUSION_WORK"} << false << QByteArray() << 7;
    QTest::newRow("raw with escapes")
        << QStringList{"raw", "--escapes", "  MSG_PING_SYSTRAY_GUI\\r\\n"} << QByteArray()
        << QByteArray("  MSG_PING_SYSTRAY_GUI\r\n") << Writes{"MSG_PING_SYSTRAY_GUI"} << false
        << QByteArray("MSG_PING_SYSTRAY_GUI") << 0;
    QTest::newRow("raw bytes as given")
        << QStringList{"raw", "msg_ping_systray_gui \\n"} << QByteArray()
        << QByteArray("msg_ping_systray_gui \\n") << Writes{"x"} << false << QByteArray("x") << 0;
    QTest::newRow("raw --follow until closed")
        << QStringList{"raw", "--follow", "prompt:e30="} << QByteArray() << QByteArray("prompt:e30=")
        << Writes{started, "PROGRESS_TXT2IMG:0.5PROGRESS_TXT2IMG:1", saved} << true
        << started + "PROGRESS_TXT2IMG:0.5PROGRESS_TXT2IMG:1" + saved << 0;
    QTest::newRow("raw from standard input")
        << QStringList{"raw", "-"} << QByteArray("MSG_PING_SYSTRAY_GUI\0tail", 25)
        << QByteArray("MSG_PING_SYSTRAY_GUI\0tail", 25) << Writes{"MSG_PING_SYSTRAY_GUI"} << false
        << QByteArray("MSG_PING_SYSTRAY_GUI") << 0;
}

void TestPluginClient::commands()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, request);
    QFETCH(Writes, writes);
    QFETCH(bool, closeAfter);
    QFETCH(QByteArray, out);
    QFETCH(int, exitCode);

    m_bridge->setResponder([&](const QByteArray&) { return FakeBridge::Script{writes, closeAfter}; });
    const ClientRun run = ClientRun::run(args, input);
    QVERIFY(run.finished);
    QCOMPARE(m_bridge->requests(), QList<QByteArray>{request});
    QCOMPARE(run.out, out);
    QCOMPARE(run.exitCode, exitCode);
    if (exitCode != 0)
        QVERIFY2(run.err.contains("unexpected reply"), run.err.constData());
    else if (out == "m_stablediffusion_status->don't INIT\n")
        // The fixed answer is explained, on the error output so that scripts still read the reply alone.
        QVERIFY2(run.err.contains("fixed answer to REQUEST_STATUS_RUNBAT") && run.err.contains("load-status"),
                 run.err.constData());
    else
        QCOMPARE(run.err, QByteArray());
}

void TestPluginClient::generateRequest_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("json");

    QTest::newRow("prompt only") << QStringList{"--prompt", "a brick wall"}
                                 << QByteArray(R"({"prompt":"a brick wall"})");
    QTest::newRow("every option")
        << QStringList{"--prompt",
                       "a brick wall",
                       "--negative-prompt",
                       "blurry, text",
                       "--width",
                       "768",
                       "--height",
                       "512",
                       "--steps",
                       "20",
                       "--seed",
                       "42",
                       "--batch-size",
                       "2",
                       "--cfg-scale",
                       "7.5",
                       "--sampler",
                       "Euler a"}
        << QByteArray(
               R"({"batch_size":2,"cfg_scale":7.5,"height":512,"negative_prompt":"blurry, text",)"
               R"("prompt":"a brick wall","sampler_name":"Euler a","seed":42,"steps":20,"width":768})");
    QTest::newRow("name=value forms, random seed") << QStringList{"--prompt=moss", "--seed=-1", "--width=64"}
                                                   << QByteArray(R"({"prompt":"moss","seed":-1,"width":64})");
    QTest::newRow("non-Latin text and quotes")
        << QStringList{"--prompt", QString::fromUtf8("кирпичная \"стена\""), "--negative-prompt", "a\\b"}
        << QByteArray(R"({"negative_prompt":"a\\b","prompt":"кирпичная \"стена\""})");
    QTest::newRow("other fields")
        << QStringList{"--prompt", "x",
                       "--param",  "restore_faces=true",
                       "--param",  "n_iter=2",
                       "--param",  "styles=[\"a\"]",
                       "--param",  "sampler_index=Euler",
                       "--param",  "steps=5"}
        << QByteArray(R"({"n_iter":2,"prompt":"x","restore_faces":true,"sampler_index":"Euler",)"
                      R"("steps":5,"styles":["a"]})");
}

// The request is "prompt:" and the Base64 of the JSON the options build, in
// one read of the server.
void TestPluginClient::generateRequest()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, json);

    m_bridge->setResponder([](const QByteArray&) { return FakeBridge::Script{{started + saved}}; });
    const ClientRun run = ClientRun::run(QStringList{"generate"} + args);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(m_bridge->requests(), QList<QByteArray>{"prompt:" + json.toBase64()});
    QCOMPARE(run.out, pngPath + "\n");
}

void TestPluginClient::generateStream_data()
{
    QTest::addColumn<Writes>("writes");
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<QStringList>("extraArgs");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("one message a write")
        << Writes{started, "PROGRESS_TXT2IMG:0.25", "PROGRESS_TXT2IMG:0.5", "PROGRESS_TXT2IMG:1", saved}
        << false << QStringList() << "progress 0.25\nprogress 0.5\nprogress 1\n" + pngPath + "\n"
        << 0 << QByteArray();
    QTest::newRow("messages run together")
        << Writes{started + "PROGRESS_TXT2IMG:0.1PROGRESS_TXT2IMG:0.35",
                  "PROGRESS_TXT2IMG:1e-05PROGRESS_TXT2IMG:0.9" + saved + "PROGRESS_TXT2IMG:1"}
        << false << QStringList()
        << "progress 0.1\nprogress 0.35\nprogress 1e-05\nprogress 0.9\n" + pngPath + "\n"
        << 0 << QByteArray();
    QTest::newRow("leads cut between writes")
        << Writes{started + "PROGRESS_TXT2IMG:0.5PROGRESS_TX", "T2IMG:0.75IMAGE_SAVED_SUCC",
                  "ESSFULLY: " + pngPath}
        << false << QStringList() << "progress 0.5\nprogress 0.75\n" + pngPath + "\n"
        << 0 << QByteArray();
    QTest::newRow("progress before the reply belongs to other work")
        << Writes{"PROGRESS_TXT2IMG:0.9" + started, "PROGRESS_TXT2IMG:0.2", saved} << false << QStringList()
        << "progress 0.2\n" + pngPath + "\n"
        << 0 << QByteArray();
    QTest::newRow("non-Latin path") << Writes{started + "IMAGE_SAVED_SUCCESSFULLY: /home/пользователь/17.png"}
                                    << false << QStringList() << QByteArray("/home/пользователь/17.png\n")
                                    << 0 << QByteArray();
    QTest::newRow("web UI down") << Writes{started, "Connection refused"} << false << QStringList()
                                 << QByteArray() << 4 << QByteArray("web UI does not answer");
    QTest::newRow("web UI down after progress, run together")
        << Writes{started + "PROGRESS_TXT2IMG:0.25Connection refused"} << false << QStringList()
        << QByteArray("progress 0.25\n") << 4 << QByteArray("Connection refused");
    QTest::newRow("generation failed")
        << Writes{started, "PROGRESS_TXT2IMG:0.5",
                  "Error transferring http://127.0.0.1:7860/sdapi/v1/txt2img - server replied: Internal "
                  "Server Error"}
        << false << QStringList() << QByteArray("progress 0.5\n") << 5
        << QByteArray("generation failed: Error transferring http://127.0.0.1:7860/sdapi/v1/txt2img - server "
                      "replied: Internal Server Error");
    QTest::newRow("closed before the image was stored")
        << Writes{started, "PROGRESS_TXT2IMG:0.5"} << true << QStringList() << QByteArray("progress 0.5\n")
        << 7 << QByteArray("before the image was stored");
    QTest::newRow("silent after progress")
        << Writes{started, "PROGRESS_TXT2IMG:0.5"} << false << QStringList{"--timeout", "0.5"}
        << QByteArray("progress 0.5\n") << 6 << QByteArray("nothing from traybridge for 0.5 s");
    QByteArrayList rising{started};
    QByteArray risingOut;
    for (int i = 1; i <= 60; ++i) {
        rising << "PROGRESS_TXT2IMG:" + QByteArray::number(i / 100.0);
        risingOut += "progress " + QByteArray::number(i / 100.0) + "\n";
    }
    rising << saved;
    QTest::newRow("moving progress outlasts the timeout")
        << Writes(rising) << false << QStringList{"--timeout", "0.5"} << risingOut + pngPath + "\n"
        << 0 << QByteArray();
    QTest::newRow("not the reply to a prompt")
        << Writes{"OK_SKIP_GENERATION"} << true << QStringList() << QByteArray() << 7
        << QByteArray("unexpected reply \"OK_SKIP_GENERATION\"");
}

void TestPluginClient::generateStream()
{
    QFETCH(Writes, writes);
    QFETCH(bool, closeAfter);
    QFETCH(QStringList, extraArgs);
    QFETCH(QByteArray, out);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);

    m_bridge->setResponder([&](const QByteArray&) { return FakeBridge::Script{writes, closeAfter}; });
    const ClientRun run = ClientRun::run(QStringList{"generate", "--prompt", "a brick wall"} + extraArgs);
    QVERIFY(run.finished);
    QCOMPARE(run.out, out);
    QCOMPARE(run.exitCode, exitCode);
    if (message.isEmpty()) {
        QCOMPARE(run.err, QByteArray());
    } else {
        QVERIFY2(run.err.startsWith("plugin-client: ") && run.err.count('\n') == 1, run.err.constData());
        QVERIFY2(run.err.contains(message), run.err.constData());
    }
}

// A stream that goes on with a value that never moves is given up on after
// the timeout, although bytes keep arriving.
void TestPluginClient::generateGivesUpWithoutProgress()
{
    QByteArrayList stuck{started};
    for (int i = 0; i < 400; ++i)
        stuck << "PROGRESS_TXT2IMG:0";
    stuck << saved;
    m_bridge->setResponder([&](const QByteArray&) { return FakeBridge::Script{stuck, false}; });
    const ClientRun run = ClientRun::run({"generate", "--prompt", "a brick wall", "--timeout", "0.5"});
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 6);
    QVERIFY2(run.err.startsWith("plugin-client: no progress for 0.5 s; gave up waiting"),
             run.err.constData());
    QVERIFY(run.out.startsWith("progress 0\n"));
    QVERIFY(!run.out.contains(pngPath));
}

void TestPluginClient::failures_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("server"); // "none", "closes", "silent"
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    const QByteArray notRunning = "traybridge is not running: nothing accepts connections on 127.0.0.1:20837";
    const QByteArray noReply = "traybridge closed the connection without a reply";
    QTest::newRow("ping, no server") << QStringList{"ping"} << "none" << 3 << notRunning;
    QTest::newRow("generate, no server")
        << QStringList{"generate", "--prompt", "x"} << "none" << 3 << notRunning;
    QTest::newRow("raw, no server") << QStringList{"raw", "x"} << "none" << 3 << notRunning;
    QTest::newRow("ping, closed unanswered") << QStringList{"ping"} << "closes" << 7 << noReply;
    QTest::newRow("run-webui, closed unanswered") << QStringList{"run-webui"} << "closes" << 7 << noReply;
    QTest::newRow("raw, closed unanswered")
        << QStringList{"raw", "MSG_PING_SYSTRAY_GUI x"} << "closes" << 7 << noReply;
    QTest::newRow("generate, closed unanswered")
        << QStringList{"generate", "--prompt", "x"} << "closes" << 7 << noReply;
    QTest::newRow("status, silent") << QStringList{"--timeout", "0.5", "status"} << "silent" << 6
                                    << QByteArray("no reply from traybridge within 0.5 s");
    QTest::newRow("raw, silent") << QStringList{"raw", "--timeout", "0.5", "x"} << "silent" << 6
                                 << QByteArray("no reply from traybridge within 0.5 s");
    QTest::newRow("generate, silent") << QStringList{"generate", "--prompt", "x", "--timeout", "0.5"}
                                      << "silent" << 6 << QByteArray("no reply from traybridge within 0.5 s");
}

void TestPluginClient::failures()
{
    QFETCH(QStringList, args);
    QFETCH(QString, server);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);

    if (server == QLatin1String("none"))
        m_bridge.reset();
    else
        m_bridge->setResponder([&](const QByteArray&) {
            return FakeBridge::Script{{}, server == QLatin1String("closes")};
        });
    const ClientRun run = ClientRun::run(args);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(run.err.startsWith("plugin-client: ") && run.err.count('\n') == 1, run.err.constData());
    QVERIFY2(run.err.contains(message), run.err.constData());
}

void TestPluginClient::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("no command") << QStringList() << QByteArray("no command given");
    QTest::newRow("unknown command") << QStringList{"pong"} << QByteArray("unknown command \"pong\"");
    QTest::newRow("unknown option") << QStringList{"--verbose", "ping"}
                                    << QByteArray("unknown option --verbose");
    QTest::newRow("option without its value")
        << QStringList{"generate", "--prompt"} << QByteArray("option --prompt needs a value");
    QTest::newRow("generate without prompt")
        << QStringList{"generate", "--width", "512"} << QByteArray("generate needs --prompt TEXT");
    QTest::newRow("width not a number")
        << QStringList{"generate", "--prompt", "x", "--width", "wide"}
        << QByteArray("--width must be a whole number from 1 to 65536, not \"wide\"");
    QTest::newRow("height zero") << QStringList{"generate", "--prompt", "x", "--height", "0"}
                                 << QByteArray("--height must be a whole number");
    QTest::newRow("steps not whole") << QStringList{"generate", "--prompt", "x", "--steps", "1.5"}
                                     << QByteArray("--steps must be a whole number");
    QTest::newRow("seed below -1") << QStringList{"generate", "--prompt", "x", "--seed", "-2"}
                                   << QByteArray("--seed must be a whole number from -1");
    QTest::newRow("cfg scale negative") << QStringList{"generate", "--prompt", "x", "--cfg-scale", "-3"}
                                        << QByteArray("--cfg-scale must be a number above 0");
    QTest::newRow("param without =") << QStringList{"generate", "--prompt", "x", "--param", "tiling"}
                                     << QByteArray("--param needs KEY=VALUE");
    QTest::newRow("option given twice") << QStringList{"generate", "--prompt", "x", "--prompt", "y"}
                                        << QByteArray("option --prompt is given twice");
    QTest::newRow("generate option with ping")
        << QStringList{"ping", "--width", "512"} << QByteArray("option --width does not go with ping");
    QTest::newRow("raw option with status")
        << QStringList{"status", "--follow"} << QByteArray("option --follow does not go with status");
    QTest::newRow("argument to ping")
        << QStringList{"ping", "now"} << QByteArray("ping takes no arguments, got \"now\"");
    QTest::newRow("raw without text") << QStringList{"raw"} << QByteArray("raw needs exactly one TEXT");
    QTest::newRow("bad escape") << QStringList{"raw", "--escapes", "a\\q"}
                                << QByteArray("unknown escape \\q");
    QTest::newRow("port out of range") << QStringList{"--port", "70000", "ping"}
                                       << QByteArray("--port must be a whole number from 1 to 65535");
    QTest::newRow("timeout zero") << QStringList{"--timeout", "0", "ping"}
                                  << QByteArray("--timeout must be a number of seconds above 0");
}

// A usage error says what is wrong, exits 2 and connects to nothing.
void TestPluginClient::usageErrors()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, message);

    const ClientRun run = ClientRun::run(args);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(run.err.startsWith("plugin-client: " + message), run.err.constData());
    QCoreApplication::processEvents();
    QCOMPARE(m_bridge->connections(), 0);
}

// --port and --host reach a server elsewhere; the default port stays unused.
void TestPluginClient::portOption()
{
    FakeBridge other;
    QVERIFY(other.listen(0));
    other.setResponder([](const QByteArray&) { return FakeBridge::Script{{"MSG_PING_SYSTRAY_GUI"}}; });
    const ClientRun run =
        ClientRun::run({"ping", "--host", "127.0.0.1", "--port", QString::number(other.port())});
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(other.requests(), QList<QByteArray>{"MSG_PING_SYSTRAY_GUI"});
    QCOMPARE(m_bridge->connections(), 0);
}

// On a terminal the progress is one bar redrawn in place, then the path on a
// line of its own.
void TestPluginClient::progressBarOnTerminal()
{
    m_bridge->setResponder([](const QByteArray&) {
        return FakeBridge::Script{{started, "PROGRESS_TXT2IMG:0.5", "PROGRESS_TXT2IMG:1", saved}};
    });

    int master = -1;
    int slave = -1;
    QCOMPARE(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, slave, STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, master);
    posix_spawn_file_actions_addclose(&actions, slave);
    const QByteArray path = ClientRun::clientPath().toLocal8Bit();
    char* argv[] = {const_cast<char*>(path.constData()), const_cast<char*>("generate"),
                    const_cast<char*>("--prompt"), const_cast<char*>("x"), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, path.constData(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(slave);
    QCOMPARE(spawned, 0);

    QByteArray screen;
    auto drain = [&] {
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(master, buffer, sizeof buffer)) > 0)
            screen.append(buffer, int(got));
    };
    int status = 0;
    bool exited = false;
    auto childEnded = [&] {
        drain();
        if (!exited)
            exited = waitpid(pid, &status, WNOHANG) == pid;
        return exited;
    };
    // A child left over by a failed check is ended with the test.
    struct Reaper
    {
        pid_t pid;
        const bool& exited;
        ~Reaper()
        {
            if (!exited) {
                ::kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    } reaper{pid, exited};
    QTRY_VERIFY_WITH_TIMEOUT(childEnded(), 30000);
    drain();
    ::close(master);

    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    const QByteArray half = "\r[" + QByteArray(20, '#') + QByteArray(20, '-') + "]  50%";
    const QByteArray full = "\r[" + QByteArray(40, '#') + "] 100%";
    QVERIFY2(screen.contains(half + full), screen.constData());
    // The terminal turns each line end into "\r\n".
    QVERIFY2(screen.endsWith(full + "\r\n" + pngPath + "\r\n"), screen.constData());
    QVERIFY(!screen.contains("progress 0.5"));
}

QTEST_GUILESS_MAIN(TestPluginClient)
#include "tst_pluginclient.moc"
