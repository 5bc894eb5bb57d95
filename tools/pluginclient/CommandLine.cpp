#include "CommandLine.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QList>
#include <QPair>

#include <cmath>

namespace {

struct CommandInfo
{
    const char* name;
    Invocation::Command command;
    const char* request;
};

const CommandInfo commands[] = {
    {"ping", Invocation::Command::Ping, "MSG_PING_SYSTRAY_GUI"},
    {"run-webui", Invocation::Command::RunWebUi, "REQUEST_TO_RUN_RUNBAT"},
    {"status", Invocation::Command::Status, "REQUEST_STATUS_RUNBAT"},
    {"skip", Invocation::Command::Skip, "REQUEST_SKIP_GENERATION"},
    {"is-running", Invocation::Command::IsRunning, "MSG_IS_STABLEDIFFUSION_RUNNING"},
    {"load-status", Invocation::Command::LoadStatus, "MSG_GET_STATUS_LOAD_STABLEDIFFUSION"},
    {"get-load-status", Invocation::Command::GetLoadStatus, "get_load_status"},
    {"raw", Invocation::Command::Raw, nullptr},
    {"generate", Invocation::Command::Generate, nullptr},
    {"help", Invocation::Command::Help, nullptr},
};

enum class Scope
{
    Global,
    Raw,
    Generate
};

struct OptionInfo
{
    const char* name;
    bool takesValue;
    bool repeats;
    Scope scope;
};

const OptionInfo options[] = {
    {"host", true, false, Scope::Global},
    {"port", true, false, Scope::Global},
    {"timeout", true, false, Scope::Global},
    {"follow", false, false, Scope::Raw},
    {"escapes", false, false, Scope::Raw},
    {"prompt", true, false, Scope::Generate},
    {"negative-prompt", true, false, Scope::Generate},
    {"width", true, false, Scope::Generate},
    {"height", true, false, Scope::Generate},
    {"steps", true, false, Scope::Generate},
    {"seed", true, false, Scope::Generate},
    {"batch-size", true, false, Scope::Generate},
    {"cfg-scale", true, false, Scope::Generate},
    {"sampler", true, false, Scope::Generate},
    {"param", true, true, Scope::Generate},
};

const OptionInfo* findOption(const QString& name)
{
    for (const OptionInfo& option : options) {
        if (name == QLatin1String(option.name))
            return &option;
    }
    return nullptr;
}

using Given = QList<QPair<QString, QString>>;

bool has(const Given& given, const char* name)
{
    for (const auto& entry : given) {
        if (entry.first == QLatin1String(name))
            return true;
    }
    return false;
}

QString valueOf(const Given& given, const char* name)
{
    for (const auto& entry : given) {
        if (entry.first == QLatin1String(name))
            return entry.second;
    }
    return QString();
}

bool wholeNumber(const Given& given, const char* name, qint64 low, qint64 high, qint64& number,
                 QString& error)
{
    const QString text = valueOf(given, name);
    bool ok = false;
    number = text.toLongLong(&ok);
    if (!ok || number < low || number > high) {
        error = QStringLiteral("--%1 must be a whole number from %2 to %3, not \"%4\"")
                    .arg(QLatin1String(name))
                    .arg(low)
                    .arg(high)
                    .arg(text);
        return false;
    }
    return true;
}

bool buildPrompt(const Given& given, QJsonObject& json, QString& error)
{
    if (!has(given, "prompt")) {
        error = QStringLiteral("generate needs --prompt TEXT");
        return false;
    }
    json.insert(QStringLiteral("prompt"), valueOf(given, "prompt"));
    if (has(given, "negative-prompt"))
        json.insert(QStringLiteral("negative_prompt"), valueOf(given, "negative-prompt"));
    struct Whole
    {
        const char* option;
        const char* field;
        qint64 low;
        qint64 high;
    };
    const Whole wholes[] = {
        {"width", "width", 1, 65536},
        {"height", "height", 1, 65536},
        {"steps", "steps", 1, 10000},
        {"seed", "seed", -1, 9007199254740991LL}, // -1 lets the web UI choose
        {"batch-size", "batch_size", 1, 1000},
    };
    for (const Whole& whole : wholes) {
        if (!has(given, whole.option))
            continue;
        qint64 number = 0;
        if (!wholeNumber(given, whole.option, whole.low, whole.high, number, error))
            return false;
        json.insert(QLatin1String(whole.field), double(number));
    }
    if (has(given, "cfg-scale")) {
        bool ok = false;
        const QString text = valueOf(given, "cfg-scale");
        const double scale = text.toDouble(&ok);
        if (!ok || !std::isfinite(scale) || scale <= 0 || scale > 100) {
            error =
                QStringLiteral("--cfg-scale must be a number above 0 and at most 100, not \"%1\"").arg(text);
            return false;
        }
        json.insert(QStringLiteral("cfg_scale"), scale);
    }
    if (has(given, "sampler"))
        json.insert(QStringLiteral("sampler_name"), valueOf(given, "sampler"));
    for (const auto& entry : given) {
        if (entry.first != QLatin1String("param"))
            continue;
        const int equals = entry.second.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            error = QStringLiteral("--param needs KEY=VALUE, not \"%1\"").arg(entry.second);
            return false;
        }
        const QString key = entry.second.left(equals);
        const QString text = entry.second.mid(equals + 1);
        // A JSON value stays what it is (20, true, [1,2], {"a":1}); anything else is a text.
        QJsonParseError parseError;
        const QJsonDocument doc =
            QJsonDocument::fromJson(QByteArray("[") + text.toUtf8() + QByteArray("]"), &parseError);
        if (parseError.error == QJsonParseError::NoError && doc.array().size() == 1)
            json.insert(key, doc.array().at(0));
        else
            json.insert(key, text);
    }
    return true;
}

} // namespace

bool CommandLine::unescape(const QString& text, QByteArray& bytes, QString& error)
{
    const QByteArray in = text.toUtf8();
    bytes.clear();
    for (int i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c != '\\') {
            bytes.append(c);
            continue;
        }
        if (i + 1 >= in.size()) {
            error = QStringLiteral("the text ends in a lone \\");
            return false;
        }
        const char e = in[++i];
        switch (e) {
        case 'n':
            bytes.append('\n');
            break;
        case 'r':
            bytes.append('\r');
            break;
        case 't':
            bytes.append('\t');
            break;
        case 'v':
            bytes.append('\v');
            break;
        case 'f':
            bytes.append('\f');
            break;
        case '0':
            bytes.append('\0');
            break;
        case '\\':
            bytes.append('\\');
            break;
        case 'x': {
            bool ok = false;
            const int value = in.mid(i + 1, 2).toInt(&ok, 16);
            if (!ok || in.mid(i + 1, 2).size() != 2) {
                error = QStringLiteral("\\x needs two hex digits");
                return false;
            }
            bytes.append(char(value));
            i += 2;
            break;
        }
        default:
            error = QStringLiteral("unknown escape \\%1").arg(QLatin1Char(e));
            return false;
        }
    }
    return true;
}

bool CommandLine::parse(const QStringList& args, Invocation& invocation, QString& error,
                        QByteArray (*readStdin)())
{
    Given given;
    QStringList positional;
    bool optionsEnded = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString arg = args.at(i);
        if (optionsEnded || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            positional.append(arg);
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            invocation.command = Invocation::Command::Help;
            return true;
        }
        if (!arg.startsWith(QLatin1String("--"))) {
            error = QStringLiteral("unknown option %1").arg(arg);
            return false;
        }
        QString name = arg.mid(2);
        QString value;
        bool inlineValue = false;
        const int equals = name.indexOf(QLatin1Char('='));
        if (equals >= 0) {
            value = name.mid(equals + 1);
            name = name.left(equals);
            inlineValue = true;
        }
        const OptionInfo* option = findOption(name);
        if (!option) {
            error = QStringLiteral("unknown option --%1").arg(name);
            return false;
        }
        if (option->takesValue && !inlineValue) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("option --%1 needs a value").arg(name);
                return false;
            }
            value = args.at(++i);
        } else if (!option->takesValue && inlineValue) {
            error = QStringLiteral("option --%1 takes no value").arg(name);
            return false;
        }
        if (!option->repeats && has(given, option->name)) {
            error = QStringLiteral("option --%1 is given twice").arg(name);
            return false;
        }
        given.append({name, value});
    }

    if (positional.isEmpty()) {
        error = QStringLiteral("no command given");
        return false;
    }
    const QString name = positional.takeFirst();
    const CommandInfo* info = nullptr;
    for (const CommandInfo& command : commands) {
        if (name == QLatin1String(command.name))
            info = &command;
    }
    if (!info) {
        error = QStringLiteral("unknown command \"%1\"").arg(name);
        return false;
    }
    invocation.command = info->command;
    if (info->command == Invocation::Command::Help)
        return true;

    const Scope scope = info->command == Invocation::Command::Raw        ? Scope::Raw
                        : info->command == Invocation::Command::Generate ? Scope::Generate
                                                                         : Scope::Global;
    for (const auto& entry : given) {
        const OptionInfo* option = findOption(entry.first);
        if (option->scope != Scope::Global && option->scope != scope) {
            error = QStringLiteral("option --%1 does not go with %2").arg(entry.first, name);
            return false;
        }
    }

    if (has(given, "host")) {
        invocation.host = valueOf(given, "host");
        if (invocation.host.isEmpty()) {
            error = QStringLiteral("--host needs a host name or address");
            return false;
        }
    }
    if (has(given, "port")) {
        qint64 port = 0;
        if (!wholeNumber(given, "port", 1, 65535, port, error))
            return false;
        invocation.port = quint16(port);
    }
    double timeoutS =
        info->command == Invocation::Command::Generate ? defaultGenerateTimeoutS : defaultTimeoutS;
    if (has(given, "timeout")) {
        bool ok = false;
        const QString text = valueOf(given, "timeout");
        timeoutS = text.toDouble(&ok);
        if (!ok || !std::isfinite(timeoutS) || timeoutS <= 0 || timeoutS > 86400) {
            error =
                QStringLiteral("--timeout must be a number of seconds above 0 and at most 86400, not \"%1\"")
                    .arg(text);
            return false;
        }
    }
    invocation.timeoutMs = int(std::ceil(timeoutS * 1000));

    if (info->command == Invocation::Command::Raw) {
        if (positional.size() != 1) {
            error = QStringLiteral("raw needs exactly one TEXT (or - to read it from standard input)");
            return false;
        }
        invocation.follow = has(given, "follow");
        if (positional.first() == QLatin1String("-")) {
            invocation.request = readStdin ? readStdin() : QByteArray();
        } else if (has(given, "escapes")) {
            if (!unescape(positional.first(), invocation.request, error))
                return false;
        } else {
            invocation.request = positional.first().toUtf8();
        }
        return true;
    }
    if (!positional.isEmpty()) {
        error = QStringLiteral("%1 takes no arguments, got \"%2\"").arg(name, positional.first());
        return false;
    }
    if (info->command == Invocation::Command::Generate) {
        QJsonObject json;
        if (!buildPrompt(given, json, error))
            return false;
        invocation.request =
            QByteArrayLiteral("prompt:") + QJsonDocument(json).toJson(QJsonDocument::Compact).toBase64();
        return true;
    }
    invocation.request = QByteArray(info->request);
    return true;
}

QString CommandLine::usage()
{
    return QStringLiteral(
        "Usage: plugin-client [--host HOST] [--port PORT] [--timeout SECONDS] COMMAND [ARGS]\n"
        "\n"
        "Talks to traybridge as the 3D application's plug-in does; every command uses a new connection.\n"
        "\n"
        "Commands (and the request each sends):\n"
        "  ping             MSG_PING_SYSTRAY_GUI                 is traybridge running?\n"
        "  run-webui        REQUEST_TO_RUN_RUNBAT                start the web UI from its batch file\n"
        "  status           REQUEST_STATUS_RUNBAT                print the status manager's text (a fixed\n"
        "                                                       text; load-status follows the web UI)\n"
        "  skip             REQUEST_SKIP_GENERATION              skip the image being generated\n"
        "  is-running       MSG_IS_STABLEDIFFUSION_RUNNING       print the web UI's state\n"
        "  load-status      MSG_GET_STATUS_LOAD_STABLEDIFFUSION  print the web UI's state "
        "(RESPONSE_STATUS_LOAD reply)\n"
        "  get-load-status  get_load_status                      print the web UI's load state\n"
        "  raw [--follow] [--escapes] TEXT|-\n"
        "                   send TEXT (or standard input) as it is and print the bytes that come back;\n"
        "                   --escapes reads \\n \\r \\t \\v \\f \\0 \\\\ \\xHH in TEXT; --follow keeps "
        "printing\n"
        "                   until the connection closes or stays silent for the timeout\n"
        "  generate --prompt TEXT [--negative-prompt TEXT] [--width N] [--height N] [--steps N]\n"
        "           [--seed N] [--batch-size N] [--cfg-scale X] [--sampler NAME] [--param KEY=VALUE]...\n"
        "                   send a text-to-image request, show its progress and print the stored PNG's\n"
        "                   path; fields left out take the web UI's defaults; --param sets any other\n"
        "                   field (VALUE is read as JSON when it is JSON, as a text otherwise)\n"
        "\n"
        "Options:\n"
        "  --host HOST      traybridge's address (default 127.0.0.1)\n"
        "  --port PORT      traybridge's port (default 20837)\n"
        "  --timeout S      give up when nothing arrives for S seconds, and for generate also when\n"
        "                   the progress has not moved for S seconds (default 10; 60 for generate)\n"
        "\n"
        "Exit codes: 0 done, 2 usage error, 3 traybridge not running, 4 web UI down,\n"
        "            5 generation failed, 6 timed out, 7 no reply or an unexpected one.\n");
}
