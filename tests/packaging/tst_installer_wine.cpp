// The Windows package under Wine: scripts/package-windows.sh builds the
// installer (with the 64-bit service twin, as 32-bit programs cannot run
// here) and the portable zip; the installer runs silently in a fresh prefix,
// the installed tray program is used as the plug-in would use it, an install
// over the running one keeps the settings, and the uninstaller leaves nothing
// but the images and the service's log.
#include "ChildRun.h"
#include "FakeWebUi.h"
#include "WinePrefix.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString ServiceName = QStringLiteral("stable diffusion service");
const QString SettingsKey = QStringLiteral("HKLM\\SOFTWARE\\Cinema4DPluginSettings");
const QString ServiceKey =
    QStringLiteral("HKLM\\System\\CurrentControlSet\\Services\\stable diffusion service");
const QString RunKey = QStringLiteral("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString UninstallKey =
    QStringLiteral("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\traybridge");
const QString InstallDir = QStringLiteral("C:\\Program Files\\traybridge");
const QString StartMenuEntry =
    QStringLiteral("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\traybridge.lnk");

// The outside files the settings name; paths with spaces, as users have them.
const QString WebUiBat = QStringLiteral("C:\\Stable Diffusion\\webui-user.bat");
const QString Python = QStringLiteral("C:\\Stable Diffusion\\venv\\Scripts\\python.exe");
const QString OtherPython = QStringLiteral("C:\\Python 3.10\\python.exe");
const QString PluginProgress = QStringLiteral("C:\\Cinema 4D\\plugins\\sd\\progress_bar.py");
const QString PluginTcp = QStringLiteral("C:\\Cinema 4D\\plugins\\sd\\tcp_server.py");

QString winBin(const QString& name)
{
    return qEnvironmentVariable("TB_WIN64_BIN_DIR") + QLatin1Char('/') + name;
}

} // namespace

class TstInstallerWine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void portableZip();
    void tooLongSettingIsRefused();
    void silentInstall_data();
    void silentInstall();
    void installedTrayAnswersAndGenerates();
    void installOverRunningOneKeepsSettings();
    void silentUninstallLeavesOnlyImages();
    void cleanupTestCase();

private:
    QString linuxPath(const QString& windowsPath) const;
    bool touch(const QString& windowsPath, const QByteArray& content = QByteArray()) const;
    // A string value in the 64-bit view; a null string when it is absent.
    QString regValue(const QString& key, const QString& name) const;
    bool keyExists(const QString& key) const;
    QString serviceState() const;
    WinePrefix::Result install(const QStringList& options) const;
    // Starts the installed traybridge.exe on the Xvfb display and waits until it answers.
    bool startTray();
    ChildRun pluginClient(const QStringList& args) const;
    QSet<QString> driveFiles() const;

    QTemporaryDir m_tmp;
    QString m_setup;
    QString m_zip;
    std::unique_ptr<WinePrefix> m_prefix;
    QProcess m_xvfb;
    QString m_display;
    FakeWebUi m_webui;
    std::unique_ptr<QProcess> m_tray;
    QSet<QString> m_filesBefore;
    QStringList m_images;
};

void TstInstallerWine::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    // Wine links the user's Documents folder to $HOME: the images stay in here.
    const QString home = m_tmp.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    qputenv("HOME", QFile::encodeName(home));

    const QString out = m_tmp.filePath(QStringLiteral("dist"));
    const ChildRun package = ChildRun::run(
        qEnvironmentVariable("TB_SOURCE_DIR") + QStringLiteral("/scripts/package-windows.sh"),
        {QStringLiteral("--bin"), qEnvironmentVariable("TB_WIN64_BIN_DIR"), QStringLiteral("--service"),
         winBin(QStringLiteral("procwarden.exe")), QStringLiteral("--out"), out},
        {QProcessEnvironment(), QString(), QByteArray(), 600000, false});
    QVERIFY2(package.finished && package.exitCode == 0, package.err.constData());
    const QString version = QStringLiteral(TB_PROJECT_VERSION);
    m_setup = out + QStringLiteral("/traybridge-%1-setup.exe").arg(version);
    m_zip = out + QStringLiteral("/traybridge-%1-win64.zip").arg(version);
    QCOMPARE(QString::fromUtf8(package.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
             (QStringList{m_setup, m_zip}));

    m_prefix = std::make_unique<WinePrefix>();
    QVERIFY2(m_prefix->init(), qPrintable(m_prefix->error()));
    QVERIFY2(m_prefix->settle(), qPrintable(m_prefix->error()));
    // Wine ends its services with the last ordinary process of the prefix.
    QVERIFY(m_prefix->keepAlive());

    for (const QString& file : {WebUiBat, PluginProgress, PluginTcp})
        QVERIFY(touch(file, "@echo off\r\n"));
    for (const QString& file : {Python, OtherPython}) {
        QVERIFY(QDir().mkpath(QFileInfo(linuxPath(file)).path()));
        QVERIFY(QFile::copy(winBin(QStringLiteral("sleeper.exe")), linuxPath(file)));
    }
    m_filesBefore = driveFiles();

    m_xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                          QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    QVERIFY(m_xvfb.waitForStarted(30000));
    QTRY_VERIFY_WITH_TIMEOUT(m_xvfb.canReadLine() || m_xvfb.state() != QProcess::Running, 30000);
    m_display = QLatin1Char(':') + QString::fromLatin1(m_xvfb.readLine().trimmed());
    QVERIFY2(m_display.size() > 1, "Xvfb gave no display number");

    QVERIFY2(m_webui.start(), qPrintable(m_webui.error()));
}

// The portable folder: the programs with every DLL and plug-in, the service and a guide.
void TstInstallerWine::portableZip()
{
    const ChildRun list = ChildRun::run(
        QStringLiteral("python3"),
        {QStringLiteral("-c"),
         QStringLiteral("import sys, zipfile; print('\\n'.join(zipfile.ZipFile(sys.argv[1]).namelist()))"),
         m_zip});
    QVERIFY2(list.finished && list.exitCode == 0, list.err.constData());
    const QStringList names = QString::fromUtf8(list.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QString top = QStringLiteral("traybridge-%1-win64/").arg(QStringLiteral(TB_PROJECT_VERSION));
    for (const QString& name : names)
        QVERIFY2(name.startsWith(top), qPrintable(name));
    for (const char* file : {"traybridge.exe", "plugin-client.exe", "ctlrunner.exe", "procwarden.exe",
                             "README.txt", "Qt5Core.dll", "Qt5Gui.dll", "Qt5Network.dll", "Qt5Widgets.dll",
                             "libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll",
                             "platforms/qwindows.dll", "styles/qwindowsvistastyle.dll"})
        QVERIFY2(names.contains(top + QLatin1String(file)), file);
    // Nothing for tests only.
    QVERIFY(names.filter(QStringLiteral("Qt5Test")).isEmpty());
}

// A path the settings reader could not take stops a silent install before it changes anything.
void TstInstallerWine::tooLongSettingIsRefused()
{
    const QString tooLong = QStringLiteral("C:\\") + QString(252, QLatin1Char('x'));
    const WinePrefix::Result result = install({QStringLiteral("/PYTHON=") + tooLong});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 2);
    QVERIFY(!QFileInfo::exists(linuxPath(InstallDir)));
    QVERIFY(!keyExists(SettingsKey));
    QCOMPARE(serviceState(), QString());
}

void TstInstallerWine::silentInstall_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("batch file, option as one quoted argument") << "path_stable_difusson_bat" << WebUiBat;
    QTest::newRow("interpreter, not given: kept") << "path_python" << OtherPython;
    QTest::newRow("progress script, quoted value") << "path_python_progress_bar" << PluginProgress;
    QTest::newRow("tcp script") << "path_python_tcp_server" << PluginTcp;
    QTest::newRow("tray program, the installed one")
        << "path_qt_systray_gui" << InstallDir + QStringLiteral("\\traybridge.exe");
}

void TstInstallerWine::silentInstall()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);

    if (!QFileInfo::exists(linuxPath(InstallDir))) {
        // A value already in the registry and not given stays.
        const WinePrefix::Result added = m_prefix->run(
            QStringLiteral("reg"),
            {QStringLiteral("add"), SettingsKey, QStringLiteral("/v"), QStringLiteral("path_python"),
             QStringLiteral("/d"), OtherPython, QStringLiteral("/f"), QStringLiteral("/reg:64")});
        QVERIFY(added.finished && added.exitCode == 0);
        // Wine quotes an argument with spaces whole; a Windows prompt passes the
        // quotes where the user typed them. Both reach the installer as one argument.
        const WinePrefix::Result result =
            install({QStringLiteral("/WEBUI_BAT=") + WebUiBat,
                     QStringLiteral("/PLUGIN_PROGRESS=\"") + PluginProgress + QLatin1Char('"'),
                     QStringLiteral("/PLUGIN_TCP=") + PluginTcp});
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);

        const QStringList files{
            QStringLiteral("traybridge.exe"),         QStringLiteral("ctlrunner.exe"),
            QStringLiteral("plugin-client.exe"),      QStringLiteral("procwarden.exe"),
            QStringLiteral("uninstall.exe"),          QStringLiteral("Qt5Core.dll"),
            QStringLiteral("Qt5Widgets.dll"),         QStringLiteral("libstdc++-6.dll"),
            QStringLiteral("platforms/qwindows.dll"), QStringLiteral("styles/qwindowsvistastyle.dll")};
        for (const QString& file : files)
            QVERIFY2(QFileInfo::exists(linuxPath(InstallDir) + QLatin1Char('/') + file), qPrintable(file));
        // The service is the given program.
        QCOMPARE(QFile(linuxPath(InstallDir) + QStringLiteral("/procwarden.exe")).size(),
                 QFile(winBin(QStringLiteral("procwarden.exe"))).size());

        // Registered with automatic start under its quoted path, and running.
        QCOMPARE(regValue(ServiceKey, QStringLiteral("ImagePath")),
                 QLatin1Char('"') + InstallDir + QStringLiteral("\\procwarden.exe\""));
        const WinePrefix::Result start =
            m_prefix->run(QStringLiteral("reg"), {QStringLiteral("query"), ServiceKey, QStringLiteral("/v"),
                                                  QStringLiteral("Start")});
        QVERIFY2(start.out.contains("REG_DWORD    0x2"), start.out.constData());
        QTRY_COMPARE_WITH_TIMEOUT(serviceState(), QStringLiteral("RUNNING"), 30000);

        QVERIFY(QFileInfo::exists(linuxPath(StartMenuEntry)));
        QCOMPARE(regValue(RunKey, QStringLiteral("traybridge")),
                 QLatin1Char('"') + InstallDir + QStringLiteral("\\traybridge.exe\""));
        QCOMPARE(regValue(UninstallKey, QStringLiteral("QuietUninstallString")),
                 QLatin1Char('"') + InstallDir + QStringLiteral("\\uninstall.exe\" /S"));

        // Wine keeps no access lists; it maps the DACL onto the mode bits, and
        // an entry that lets BUILTIN\Users (a group of the user) modify the
        // file gives the group write access.
        const QFileInfo startLog(linuxPath(InstallDir) + QStringLiteral("/start.log"));
        QVERIFY(startLog.exists());
        QVERIFY(startLog.permissions() & QFileDevice::WriteGroup);
        QVERIFY(!(QFileInfo(linuxPath(InstallDir) + QStringLiteral("/traybridge.exe")).permissions() &
                  QFileDevice::WriteGroup));
    }
    QCOMPARE(regValue(SettingsKey, name), expected);
}

void TstInstallerWine::installedTrayAnswersAndGenerates()
{
    QVERIFY(startTray());
    // It reset its start log beside itself.
    QFile startLog(linuxPath(InstallDir) + QStringLiteral("/start.log"));
    QVERIFY(startLog.open(QIODevice::ReadOnly));
    QCOMPARE(startLog.readAll(), QByteArray("1"));

    const QString prompt = QStringLiteral("weathered brick wall, seamless");
    const ChildRun generated = pluginClient({QStringLiteral("generate"), QStringLiteral("--prompt"), prompt});
    QVERIFY2(generated.finished && generated.exitCode == 0, generated.err.constData());
    const QStringList lines = QString::fromUtf8(generated.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    const QString png = lines.last().trimmed();
    QVERIFY2(
        QRegularExpression(QStringLiteral("^C:\\\\users\\\\[^\\\\]+\\\\Documents\\\\AI_TEXTURES\\\\FULL_RES"
                                          "\\\\\\d+\\.png$"))
            .match(png)
            .hasMatch(),
        qPrintable(png));
    const QImage image(linuxPath(png));
    QVERIFY(!image.isNull());
    QVERIFY(image.text(QStringLiteral("Comment")).contains(prompt));
    m_images << QFileInfo(linuxPath(png)).canonicalFilePath();
    QString text = png;
    text.replace(QStringLiteral("\\FULL_RES\\"), QStringLiteral("\\"))
        .replace(QStringLiteral(".png"), QStringLiteral(".txt"));
    QVERIFY(QFileInfo::exists(linuxPath(text)));
    m_images << QFileInfo(linuxPath(text)).canonicalFilePath();
}

// An install over a running one: the tray program and the service make way
// for the new files, given settings change, the others stay.
void TstInstallerWine::installOverRunningOneKeepsSettings()
{
    QVERIFY(m_tray && m_tray->state() == QProcess::Running);
    const WinePrefix::Result result = install({QStringLiteral("/PYTHON=") + Python});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_tray->state(), QProcess::NotRunning, 30000);

    QCOMPARE(regValue(SettingsKey, QStringLiteral("path_python")), Python);
    QCOMPARE(regValue(SettingsKey, QStringLiteral("path_stable_difusson_bat")), WebUiBat);
    QCOMPARE(regValue(SettingsKey, QStringLiteral("path_python_progress_bar")), PluginProgress);
    QCOMPARE(regValue(SettingsKey, QStringLiteral("path_python_tcp_server")), PluginTcp);
    QTRY_COMPARE_WITH_TIMEOUT(serviceState(), QStringLiteral("RUNNING"), 30000);

    // Running again for the uninstaller to end.
    QVERIFY(startTray());
}

void TstInstallerWine::silentUninstallLeavesOnlyImages()
{
    QVERIFY(m_tray && m_tray->state() == QProcess::Running);
    // The user's own login entry and a menu choice, as the tray menu writes them.
    const QString userRunKey = QStringLiteral("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
    const QString userSettingsKey = QStringLiteral("HKCU\\Software\\traybridge");
    for (const QStringList& value : {QStringList{userRunKey, QStringLiteral("traybridge"),
                                                 InstallDir + QStringLiteral("\\traybridge.exe")},
                                     QStringList{userSettingsKey + QStringLiteral("\\traybridge"),
                                                 QStringLiteral("tray"), QStringLiteral("off")}}) {
        const WinePrefix::Result added = m_prefix->run(
            QStringLiteral("reg"), {QStringLiteral("add"), value[0], QStringLiteral("/v"), value[1],
                                    QStringLiteral("/d"), value[2], QStringLiteral("/f")});
        QVERIFY(added.finished && added.exitCode == 0);
    }
    const WinePrefix::Result result =
        m_prefix->run(InstallDir + QStringLiteral("\\uninstall.exe"), {QStringLiteral("/S")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    // The uninstaller goes on from a copy of itself in the temporary folder.
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(linuxPath(InstallDir)), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(m_tray->state(), QProcess::NotRunning, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(serviceState(), QString(), 30000);

    QVERIFY(!keyExists(SettingsKey));
    QVERIFY(!keyExists(ServiceKey));
    QVERIFY(!keyExists(UninstallKey));
    QCOMPARE(regValue(RunKey, QStringLiteral("traybridge")), QString());
    QVERIFY(!QFileInfo::exists(linuxPath(StartMenuEntry)));
    QCOMPARE(regValue(userRunKey, QStringLiteral("traybridge")), QString());
    QVERIFY(!keyExists(userSettingsKey));

    // New in the prefix: the service's log in its current directory (Wine's
    // services start in C:\windows) and the uninstaller's copy, which Windows
    // deletes at the next start.
    const QSet<QString> added = driveFiles() - m_filesBefore;
    const WinePrefix::Result pending = m_prefix->run(
        QStringLiteral("reg"),
        {QStringLiteral("query"), QStringLiteral("HKLM\\System\\CurrentControlSet\\Control\\Session Manager"),
         QStringLiteral("/v"), QStringLiteral("PendingFileRenameOperations")});
    for (const QString& file : added) {
        if (file == QLatin1String("windows/log.txt"))
            continue;
        QString windowsName = QStringLiteral("C:\\") + file;
        windowsName.replace(QLatin1Char('/'), QLatin1Char('\\'));
        QVERIFY2(file.contains(QStringLiteral("/Temp/~nsu")) &&
                     QString::fromLocal8Bit(pending.out).contains(windowsName, Qt::CaseInsensitive),
                 qPrintable(QStringLiteral("left behind: ") + file));
    }
    // The images stay.
    for (const QString& image : qAsConst(m_images))
        QVERIFY2(QFileInfo::exists(image), qPrintable(image));
}

void TstInstallerWine::cleanupTestCase()
{
    if (m_tray) {
        m_tray->kill();
        m_tray->waitForFinished(10000);
    }
    m_webui.stop();
    m_prefix.reset();
    m_xvfb.terminate();
    m_xvfb.waitForFinished(10000);
}

QString TstInstallerWine::linuxPath(const QString& windowsPath) const
{
    QString relative = windowsPath.mid(3);
    relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return m_prefix->path() + QStringLiteral("/drive_c/") + relative;
}

bool TstInstallerWine::touch(const QString& windowsPath, const QByteArray& content) const
{
    const QString path = linuxPath(windowsPath);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QString TstInstallerWine::regValue(const QString& key, const QString& name) const
{
    const WinePrefix::Result result =
        m_prefix->run(QStringLiteral("reg"),
                      {QStringLiteral("query"), key, QStringLiteral("/v"), name, QStringLiteral("/reg:64")});
    if (!result.finished || result.exitCode != 0)
        return QString();
    const QString marker = QStringLiteral("    REG_SZ    ");
    for (QString line : QString::fromLocal8Bit(result.out).split(QLatin1Char('\n'))) {
        line.remove(QLatin1Char('\r'));
        const int at = line.indexOf(marker);
        if (at >= 0 && line.left(at).trimmed() == name)
            return line.mid(at + marker.size());
    }
    return QString();
}

bool TstInstallerWine::keyExists(const QString& key) const
{
    const WinePrefix::Result result =
        m_prefix->run(QStringLiteral("reg"), {QStringLiteral("query"), key, QStringLiteral("/reg:64")});
    return result.finished && result.exitCode == 0;
}

QString TstInstallerWine::serviceState() const
{
    const WinePrefix::Result result =
        m_prefix->run(QStringLiteral("sc"), {QStringLiteral("query"), ServiceName});
    const QRegularExpressionMatch state = QRegularExpression(QStringLiteral("STATE\\s+:\\s+\\d+\\s+(\\w+)"))
                                              .match(QString::fromLocal8Bit(result.out));
    return state.hasMatch() ? state.captured(1) : QString();
}

WinePrefix::Result TstInstallerWine::install(const QStringList& options) const
{
    return m_prefix->run(m_setup, QStringList{QStringLiteral("/S")} + options, 180000);
}

bool TstInstallerWine::startTray()
{
    m_tray = std::make_unique<QProcess>();
    QProcessEnvironment env = m_prefix->environment();
    env.insert(QStringLiteral("DISPLAY"), m_display);
    m_tray->setProcessEnvironment(env);
    m_tray->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_tray->start(WinePrefix::wineBinary(), {InstallDir + QStringLiteral("\\traybridge.exe")});
    if (!m_tray->waitForStarted(30000))
        return false;
    QDeadlineTimer deadline(120000);
    while (!deadline.hasExpired() && m_tray->state() == QProcess::Running) {
        const ChildRun ping = pluginClient({QStringLiteral("ping")});
        if (ping.finished && ping.exitCode == 0)
            return true;
        QTest::qWait(250);
    }
    qWarning() << "traybridge.exe did not answer; its state" << m_tray->state() << m_tray->exitCode();
    return false;
}

ChildRun TstInstallerWine::pluginClient(const QStringList& args) const
{
    return ChildRun::run(qEnvironmentVariable("TB_BIN_DIR") + QStringLiteral("/plugin-client"), args,
                         {QProcessEnvironment(), QString(), QByteArray(), 120000, false});
}

QSet<QString> TstInstallerWine::driveFiles() const
{
    // Documents links to $HOME and is not followed: the images are checked by name.
    const QString root = m_prefix->path() + QStringLiteral("/drive_c/");
    QSet<QString> files;
    QDirIterator it(root, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.insert(it.next().mid(root.size()));
    return files;
}

QTEST_GUILESS_MAIN(TstInstallerWine)
#include "tst_installer_wine.moc"
