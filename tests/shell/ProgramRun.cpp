#include "ProgramRun.h"

#include "SettingsStore.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTest>

namespace {

bool writeFile(const QString& path, const QByteArray& content, QFileDevice::Permissions permissions = {})
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    return !permissions || file.setPermissions(permissions);
}

const QFileDevice::Permissions executable =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
    QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;

QByteArray shellQuoted(const QString& text)
{
    QByteArray quoted = text.toUtf8();
    quoted.replace('\'', "'\\''");
    return '\'' + quoted + '\'';
}

} // namespace

const QStringList& ProgramRun::valueNames()
{
    static const QStringList names{QStringLiteral("path_python_progress_bar"),
                                   QStringLiteral("path_python_tcp_server"),
                                   QStringLiteral("path_qt_systray_gui"),
                                   QStringLiteral("path_stable_difusson_bat"), QStringLiteral("path_python")};
    return names;
}

ProgramRun::ProgramRun() : m_dir(QDir::tempPath() + QStringLiteral("/traybridge-run-XXXXXX"))
{
    m_tmpDir = root() + QStringLiteral("/tmp");
    connect(&m_process, &QProcess::readyReadStandardError, this, &ProgramRun::readErrors);
}

ProgramRun::~ProgramRun()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

bool ProgramRun::prepare()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    QDir r(root());
    for (const char* sub :
         {"app", "files", "home", "tmp", "xdg", "registry/SOFTWARE/Cinema4DPluginSettings"}) {
        if (!r.mkpath(QString::fromLatin1(sub))) {
            m_error = QStringLiteral("cannot make ") + QString::fromLatin1(sub);
            return false;
        }
    }
    // The runtime folder is the user's own (mode 0700), as a session's is.
    QFile::setPermissions(m_tmpDir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString program = qEnvironmentVariable("TB_BIN_DIR") + QStringLiteral("/traybridge");
    if (!QFile::copy(program, appDir() + QStringLiteral("/traybridge"))) {
        m_error = QStringLiteral("cannot copy ") + program;
        return false;
    }
    QFile::setPermissions(appDir() + QStringLiteral("/traybridge"), executable);

    for (const QString& name : valueNames()) {
        QByteArray content = "stand-in for " + name.toUtf8() + '\n';
        QFileDevice::Permissions permissions = {};
        if (name == QLatin1String("path_stable_difusson_bat")) {
            // Runs as long as the program that started it.
            content = "#!/bin/sh\necho launched >> " + shellQuoted(launchRecord()) +
                      "\nwhile kill -0 $PPID 2>/dev/null; do sleep 0.2; done\n";
            permissions = executable;
        }
        if (!writeFile(valueFile(name), content, permissions)) {
            m_error = QStringLiteral("cannot write ") + valueFile(name);
            return false;
        }
        setValue(name, valueFile(name).toUtf8());
    }
    installCtlrunner(0);
    return true;
}

QString ProgramRun::valueFile(const QString& name) const
{
    return root() + QStringLiteral("/files/") + name;
}

void ProgramRun::setValue(const QString& name, const QByteArray& value)
{
    SettingsStore::write(root() + QStringLiteral("/registry"), name, value);
}

void ProgramRun::removeValue(const QString& name)
{
    SettingsStore::remove(root() + QStringLiteral("/registry"), name);
}

void ProgramRun::installCtlrunner(int exitCode)
{
    const QByteArray script = "#!/bin/sh\nprintf '%s\\n' \"$*\" >> " +
                              shellQuoted(root() + "/ctlrunner.calls") + "\nexit " +
                              QByteArray::number(exitCode) + "\n";
    QFile::remove(ctlrunnerPath());
    writeFile(ctlrunnerPath(), script, executable);
}

QStringList ProgramRun::ctlrunnerCalls() const
{
    QFile file(root() + QStringLiteral("/ctlrunner.calls"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList ProgramRun::opened() const
{
    QFile file(root() + QStringLiteral("/opened.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList ProgramRun::boxes() const
{
    QFile file(root() + QStringLiteral("/boxes.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void ProgramRun::start(const QString& platform, const QString& display, const QStringList& arguments,
                       const QStringList& wrapper)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    if (display.isEmpty())
        env.remove(QStringLiteral("DISPLAY"));
    else
        env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("TRAYBRIDGE_REGISTRY_ROOT"), root() + QStringLiteral("/registry"));
    env.insert(QStringLiteral("TRAYBRIDGE_BOX_LOG"), root() + QStringLiteral("/boxes.log"));
    env.insert(QStringLiteral("TRAYBRIDGE_OPEN_LOG"), root() + QStringLiteral("/opened.log"));
    env.insert(QStringLiteral("HOME"), root() + QStringLiteral("/home"));
    env.insert(QStringLiteral("TMPDIR"), m_tmpDir);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_tmpDir);
    // The user's own folders lie in HOME; the desktop's folders are the run's.
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root() + QStringLiteral("/home/.config"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), root() + QStringLiteral("/home/.local/state"));
    env.insert(QStringLiteral("XDG_CONFIG_DIRS"), root() + QStringLiteral("/xdg"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    // The tray icon docks through XEmbed, not through a desktop bus.
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));
    env.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    m_process.setProcessEnvironment(env);
    m_process.setWorkingDirectory(root());
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setStandardOutputFile(QProcess::nullDevice());

    const QString program = appDir() + QStringLiteral("/traybridge");
    if (wrapper.isEmpty())
        m_process.start(program, arguments);
    else
        m_process.start(wrapper.first(), wrapper.mid(1) + QStringList{program} + arguments);
    m_process.waitForStarted(20000);
}

void ProgramRun::readErrors()
{
    m_partial += m_process.readAllStandardError();
    int newline;
    while ((newline = m_partial.indexOf('\n')) >= 0) {
        m_lines << QString::fromUtf8(m_partial.left(newline));
        m_partial.remove(0, newline + 1);
    }
}

int ProgramRun::count(const QString& text) const
{
    int n = 0;
    for (const QString& line : m_lines)
        n += line.contains(text) ? 1 : 0;
    return n;
}

int ProgramRun::indexOf(const QString& text, int from) const
{
    for (int i = qMax(0, from); i < m_lines.size(); ++i) {
        if (m_lines.at(i).contains(text))
            return i;
    }
    return -1;
}

bool ProgramRun::waitForLine(const QString& text, int timeoutMs, int from)
{
    QDeadlineTimer deadline(timeoutMs);
    while (indexOf(text, from) < 0) {
        if (deadline.hasExpired())
            return false;
        if (m_process.state() == QProcess::NotRunning) {
            readErrors();
            return indexOf(text, from) >= 0;
        }
        QTest::qWait(20);
    }
    return true;
}

bool ProgramRun::waitForCount(const QString& text, int wanted, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (count(text) < wanted) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return count(text) >= wanted;
        QTest::qWait(20);
    }
    return true;
}

bool ProgramRun::waitForExit(int timeoutMs)
{
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(timeoutMs))
        return false;
    readErrors();
    if (!m_partial.isEmpty()) {
        m_lines << QString::fromUtf8(m_partial);
        m_partial.clear();
    }
    return true;
}

QList<int> ProgramRun::iconIndexes(int from) const
{
    static const QRegularExpression index(QStringLiteral("CForm::setIcon\\(int\\) \\] : index= (\\d+)"));
    QList<int> indexes;
    for (int i = qMax(0, from); i < m_lines.size(); ++i) {
        const QRegularExpressionMatch m = index.match(m_lines.at(i));
        if (m.hasMatch())
            indexes << m.captured(1).toInt();
    }
    return indexes;
}
