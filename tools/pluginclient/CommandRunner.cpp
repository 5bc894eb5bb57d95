#include "CommandRunner.h"

#include "BridgeClient.h"
#include "CommandLine.h"
#include "ExitCodes.h"
#include "ProgressView.h"

#include <QByteArray>
#include <QElapsedTimer>

namespace {

const QString closedWithoutReply = QStringLiteral(
    "traybridge closed the connection without a reply (the request was not recognised, or traybridge ended)");

QString seconds(int ms)
{
    return QString::number(ms / 1000.0);
}

} // namespace

CommandRunner::CommandRunner(std::FILE* out, std::FILE* err, bool outIsTerminal)
    : m_out(out), m_err(err), m_outIsTerminal(outIsTerminal)
{}

int CommandRunner::run(const Invocation& invocation)
{
    switch (invocation.command) {
    case Invocation::Command::Help:
        std::fputs(CommandLine::usage().toUtf8().constData(), m_out);
        return ExitCodes::ok;
    case Invocation::Command::Raw:
        return runRaw(invocation);
    case Invocation::Command::Generate:
        return runGenerate(invocation);
    default:
        return runCommand(invocation);
    }
}

void CommandRunner::print(const QString& line)
{
    std::fprintf(m_out, "%s\n", line.toUtf8().constData());
    std::fflush(m_out);
}

int CommandRunner::fail(int exitCode, const QString& message)
{
    std::fprintf(m_err, "plugin-client: %s\n", message.toUtf8().constData());
    std::fflush(m_err);
    return exitCode;
}

int CommandRunner::runCommand(const Invocation& invocation)
{
    BridgeClient client(invocation.host, invocation.port, invocation.timeoutMs);
    if (!client.sendRequest(invocation.request))
        return fail(client.exitCode(), client.errorText());

    // Notifications of other work may come before or after the reply; the
    // reply is the first text that is none of them.
    QString reply;
    bool replied = false;
    while (!replied) {
        QList<StreamEvent> events;
        switch (client.readEvents(events)) {
        case BridgeClient::Status::Events:
            for (const StreamEvent& event : events) {
                if (event.kind == StreamEvent::Kind::Text && !replied) {
                    reply = event.text;
                    replied = true;
                }
            }
            break;
        case BridgeClient::Status::Closed:
            return fail(ExitCodes::noReply, closedWithoutReply);
        case BridgeClient::Status::TimedOut:
            return fail(
                ExitCodes::timedOut,
                QStringLiteral("no reply from traybridge within %1 s").arg(seconds(invocation.timeoutMs)));
        case BridgeClient::Status::Failed:
            return fail(client.exitCode(), client.errorText());
        }
    }

    auto expect = [&](const char* expected, const char* done) {
        if (!reply.startsWith(QLatin1String(expected)))
            return fail(ExitCodes::noReply, QStringLiteral("unexpected reply \"%1\" (expected \"%2\")")
                                                .arg(reply, QLatin1String(expected)));
        print(QLatin1String(done));
        return ExitCodes::ok;
    };
    switch (invocation.command) {
    case Invocation::Command::Ping:
        return expect("MSG_PING_SYSTRAY_GUI", "traybridge is running");
    case Invocation::Command::RunWebUi:
        return expect("OK_RECOV_START_TCP_SEVER", "web UI start requested");
    case Invocation::Command::Skip:
        return expect("OK_SKIP_GENERATION", "skip requested");
    case Invocation::Command::LoadStatus: {
        const QString lead = QStringLiteral("RESPONSE_STATUS_LOAD");
        if (!reply.startsWith(lead))
            return fail(
                ExitCodes::noReply,
                QStringLiteral("unexpected reply \"%1\" (expected \"%2\" and a status)").arg(reply, lead));
        print(reply.mid(lead.size()));
        return ExitCodes::ok;
    }
    case Invocation::Command::Status:
        print(reply);
        // The bridge answers this request with one fixed text, whatever the web UI does.
        if (reply == QLatin1String("m_stablediffusion_status->don't INIT")) {
            std::fprintf(m_err,
                         "plugin-client: this is traybridge's fixed answer to REQUEST_STATUS_RUNBAT; it "
                         "does not follow the web UI. Use \"plugin-client load-status\" for the web UI's "
                         "state.\n");
            std::fflush(m_err);
        }
        return ExitCodes::ok;
    default:
        print(reply);
        return ExitCodes::ok;
    }
}

int CommandRunner::runRaw(const Invocation& invocation)
{
    BridgeClient client(invocation.host, invocation.port, invocation.timeoutMs);
    if (!client.sendRequest(invocation.request))
        return fail(client.exitCode(), client.errorText());

    bool received = false;
    for (;;) {
        QByteArray bytes;
        const BridgeClient::Status status =
            client.readRaw(bytes, invocation.follow ? 0 : BridgeClient::settleMs * 2);
        if (status == BridgeClient::Status::Events) {
            std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_out);
            std::fflush(m_out);
            received = true;
            if (invocation.follow)
                continue;
        }
        if (received) {
            // The bytes go out exactly as they came; a terminal gets its line ended.
            if (m_outIsTerminal)
                print(QString());
            return ExitCodes::ok;
        }
        if (status == BridgeClient::Status::Closed)
            return fail(ExitCodes::noReply, closedWithoutReply);
        return fail(
            ExitCodes::timedOut,
            QStringLiteral("no reply from traybridge within %1 s").arg(seconds(invocation.timeoutMs)));
    }
}

int CommandRunner::runGenerate(const Invocation& invocation)
{
    BridgeClient client(invocation.host, invocation.port, invocation.timeoutMs);
    if (!client.sendRequest(invocation.request))
        return fail(client.exitCode(), client.errorText());

    ProgressView progress(m_out, m_outIsTerminal);
    bool started = false;
    QString strayText;
    // Time without progress counts like time without bytes: a web UI stuck
    // at one value is given up on as well.
    QElapsedTimer sinceProgress;
    double lastValue = 0;
    bool hasValue = false;
    for (;;) {
        QList<StreamEvent> events;
        const BridgeClient::Status status = client.readEvents(events);
        for (const StreamEvent& event : events) {
            switch (event.kind) {
            case StreamEvent::Kind::Started:
                started = true;
                sinceProgress.start();
                break;
            case StreamEvent::Kind::Progress:
                if (started && event.valueOk) {
                    progress.show(event.text, event.value);
                    if (!hasValue || event.value != lastValue)
                        sinceProgress.start();
                    hasValue = true;
                    lastValue = event.value;
                }
                break;
            case StreamEvent::Kind::Saved:
                if (!started)
                    break;
                progress.end();
                if (event.text.isEmpty())
                    return fail(ExitCodes::generationFailed,
                                QStringLiteral("traybridge reported a stored image without a path"));
                print(event.text);
                return ExitCodes::ok;
            case StreamEvent::Kind::Text:
                if (!started) {
                    // Possibly an error text of other work; the reply may still follow.
                    if (strayText.isEmpty())
                        strayText = event.text;
                    break;
                }
                progress.end();
                if (event.text.contains(QLatin1String("Connection refused")))
                    return fail(ExitCodes::webUiDown,
                                QStringLiteral(
                                    "the web UI does not answer (traybridge reports \"%1\"); start it with "
                                    "\"plugin-client run-webui\" or from the tray menu")
                                    .arg(event.text));
                return fail(ExitCodes::generationFailed,
                            QStringLiteral("generation failed: %1").arg(event.text));
            }
        }
        if (status == BridgeClient::Status::Events) {
            if (started && sinceProgress.hasExpired(invocation.timeoutMs)) {
                progress.end();
                return fail(ExitCodes::timedOut,
                            QStringLiteral("no progress for %1 s; gave up waiting (the image may still be "
                                           "stored later)")
                                .arg(seconds(invocation.timeoutMs)));
            }
            continue;
        }
        progress.end();
        if (status == BridgeClient::Status::Failed)
            return fail(client.exitCode(), client.errorText());
        if (!started && !strayText.isEmpty())
            return fail(ExitCodes::noReply,
                        QStringLiteral("unexpected reply \"%1\" (expected \"%2\")")
                            .arg(strayText, QString::fromLatin1(StreamParser::startedText)));
        if (status == BridgeClient::Status::Closed)
            return fail(ExitCodes::noReply,
                        started
                            ? QStringLiteral("traybridge closed the connection before the image was stored")
                            : closedWithoutReply);
        if (!started)
            return fail(
                ExitCodes::timedOut,
                QStringLiteral("no reply from traybridge within %1 s").arg(seconds(invocation.timeoutMs)));
        return fail(
            ExitCodes::timedOut,
            QStringLiteral("nothing from traybridge for %1 s; gave up waiting (the image may still be "
                           "stored later)")
                .arg(seconds(invocation.timeoutMs)));
    }
}
