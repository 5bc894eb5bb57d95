// tb-settings as a child process against a temporary store root; what it
// writes is read back with the programs' own settings reader.

#include "CRegedit.h"
#include "ChildRun.h"
#include "SettingsStore.h"

#include <QtTest>

namespace {

const QStringList names = {"path_python", "path_stable_difusson_bat", "path_python_progress_bar",
                           "path_python_tcp_server", "path_qt_systray_gui"};
const QStringList fillOptions = {"--python", "--bat", "--progress-bar", "--tcp-server", "--systray"};

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

} // namespace

class TestTbSettings : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void fillShowCheck();
    void checkFindsProblems_data();
    void checkFindsProblems();
    void checkEmptyStore();
    void set_data();
    void set();
    void refusedFillChangesNothing_data();
    void refusedFillChangesNothing();
    void storeNotWritable();
    void rootThatIsNoFolder_data();
    void rootThatIsNoFolder();
    void credentials_data();
    void credentials();
    void sharedInterpreter_data();
    void sharedInterpreter();
    void stallLimit_data();
    void stallLimit();

private:
    Run settings(const QStringList& args, const QString& workDir = QString());
    QString keyFolder() const { return SettingsStore::keyFolder(m_root->path()); }
    QString valueFile(const QString& name) const { return SettingsStore::valueFile(m_root->path(), name); }
    QByteArray stored(const QString& name) const;
    void writeValue(const QString& name, const QByteArray& bytes);
    QString makeFile(const QString& name);
    // Fills the store with five existing files through the helper.
    void fill();
    QStringList storeListing() const;

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<QTemporaryDir> m_files;
};

void TestTbSettings::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    m_files = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    QVERIFY(m_files->isValid());
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", m_root->path().toLocal8Bit());
}

void TestTbSettings::cleanup()
{
    m_root.reset();
    m_files.reset();
}

Run TestTbSettings::settings(const QStringList& args, const QString& workDir)
{
    ChildRunOptions options;
    options.workingDir = workDir;
    options.timeoutMs = 30000;
    const ChildRun child =
        ChildRun::run(qEnvironmentVariable("TB_BIN_DIR") + QStringLiteral("/tb-settings"), args, options);
    Run run;
    if (!child.finished || child.crashed)
        return run;
    run.exitCode = child.exitCode;
    run.out = child.out;
    run.err = child.err;
    return run;
}

QByteArray TestTbSettings::stored(const QString& name) const
{
    QFile file(valueFile(name));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<none>");
    return file.readAll();
}

void TestTbSettings::writeValue(const QString& name, const QByteArray& bytes)
{
    QVERIFY2(SettingsStore::write(m_root->path(), name, bytes), qPrintable(valueFile(name)));
}

QString TestTbSettings::makeFile(const QString& name)
{
    const QString path = m_files->filePath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("x");
    return path;
}

void TestTbSettings::fill()
{
    QStringList args{"fill"};
    for (int i = 0; i < names.size(); ++i)
        args << fillOptions.at(i) << makeFile(names.at(i));
    const Run run = settings(args);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QByteArray());
}

QStringList TestTbSettings::storeListing() const
{
    QStringList listing;
    QDirIterator it(m_root->path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        listing << path + (file.open(QIODevice::ReadOnly)
                               ? QStringLiteral("=") + QString::fromUtf8(file.readAll())
                               : QString());
    }
    listing.sort();
    return listing;
}

// fill stores the five paths byte for byte, show prints them, check passes,
// and the settings reader of the programs reads each back unchanged.
void TestTbSettings::fillShowCheck()
{
    fill();
    QByteArray shown = "settings in " + keyFolder().toUtf8() + "\n";
    for (const QString& name : names) {
        const QByteArray path = m_files->filePath(name).toUtf8();
        QCOMPARE(stored(name), path);
        std::string value = "untouched";
        QCOMPARE(CRegedit::readValue(name.toStdString(), value), CRegedit::Outcome::Ok);
        QCOMPARE(QByteArray::fromStdString(value), path);
        shown += name.leftJustified(24).toUtf8() + " = " + path + "\n";
    }
    QCOMPARE(QDir(keyFolder()).entryList(QDir::Files | QDir::Hidden).size(), names.size());

    const Run show = settings({"show"});
    QCOMPARE(show.exitCode, 0);
    QCOMPARE(show.out, shown);

    const Run check = settings({"check"});
    QCOMPARE(check.exitCode, 0);
    QCOMPARE(check.err, QByteArray());
    QCOMPARE(check.out.count("ok ("), names.size());
}

void TestTbSettings::checkFindsProblems_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("fault"); // what is done to the value
    QTest::addColumn<QByteArray>("problem");

    QTest::newRow("missing value") << "path_python"
                                   << "remove" << QByteArray("path_python: not set (no file ");
    QTest::newRow("empty value") << "path_stable_difusson_bat"
                                 << "empty" << QByteArray("path_stable_difusson_bat: empty");
    QTest::newRow("missing file") << "path_python_progress_bar"
                                  << "missing file"
                                  << QByteArray("path_python_progress_bar: names a missing file: /");
    QTest::newRow("folder, not a file")
        << "path_python_tcp_server"
        << "folder" << QByteArray("path_python_tcp_server: names a folder, not a file: /");
    QTest::newRow("255 bytes") << "path_qt_systray_gui"
                               << "too long"
                               << QByteArray(
                                      "path_qt_systray_gui: the value is 255 bytes long; the programs read "
                                      "at most 254 bytes");
    QTest::newRow("line end after the path") << "path_python"
                                             << "newline" << QByteArray("path_python: ends in a line break");
    QTest::newRow("relative path") << "path_python"
                                   << "relative"
                                   << QByteArray("path_python: bin/python3 is not an absolute path");
    QTest::newRow("zero byte inside")
        << "path_python"
        << "zero byte" << QByteArray("path_python: holds a zero byte; the programs read only '/usr'");
}

// Each problem gets its own line and a non-zero exit; the other four values
// are still reported in order.
void TestTbSettings::checkFindsProblems()
{
    QFETCH(QString, name);
    QFETCH(QString, fault);
    QFETCH(QByteArray, problem);

    fill();
    const QByteArray good = stored(name);
    if (fault == QLatin1String("remove"))
        QVERIFY(QFile::remove(valueFile(name)));
    else if (fault == QLatin1String("empty"))
        writeValue(name, QByteArray());
    else if (fault == QLatin1String("missing file"))
        QVERIFY(QFile::remove(QString::fromUtf8(good)));
    else if (fault == QLatin1String("folder"))
        writeValue(name, m_files->path().toUtf8());
    else if (fault == QLatin1String("too long"))
        writeValue(name, QByteArray(255, 'a'));
    else if (fault == QLatin1String("newline"))
        writeValue(name, good + "\n");
    else if (fault == QLatin1String("relative"))
        writeValue(name, "bin/python3");
    else if (fault == QLatin1String("zero byte"))
        writeValue(name, QByteArray("/usr\0/bin/python3", 17));

    const Run run = settings({"check"});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.startsWith("tb-settings: " + problem), run.err.constData());
    QVERIFY2(run.err.contains("1 of 5 settings need fixing"), run.err.constData());
    // Each problem says how to mend it.
    QVERIFY2(run.err.contains("tb-settings:   fix: tb-settings set " + name.toUtf8() + " PATH  ("),
             run.err.constData());
    QCOMPARE(run.err.count("  fix: "), 1);
    QCOMPARE(run.out.count("ok ("), names.size() - 1);
    QVERIFY(!run.out.contains(name.toUtf8() + ": ok"));
}

void TestTbSettings::checkEmptyStore()
{
    const Run run = settings({"check"});
    QCOMPARE(run.exitCode, 1);
    for (const QString& name : names)
        QVERIFY2(run.err.contains("tb-settings: " + name.toUtf8() + ": not set"), run.err.constData());
    QVERIFY(run.err.contains("5 of 5 settings need fixing"));
}

void TestTbSettings::set_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("pathBytes"); // length of an absolute path made for the row, or 0
    QTest::addColumn<QString>("path");  // used when pathBytes is 0
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("254 bytes") << "path_python" << 254 << QString() << 0 << QByteArray();
    QTest::newRow("255 bytes") << "path_python" << 255 << QString() << 2
                               << QByteArray("is 255 bytes long; the programs read at most 254 bytes");
    QTest::newRow("relative path") << "path_stable_difusson_bat" << 0 << "webui/run.sh" << 0 << QByteArray();
    QTest::newRow("empty path") << "path_python" << 0 << "" << 2
                                << QByteArray("an empty path cannot be stored");
    QTest::newRow("unknown name") << "path_stable_diffusion_bat" << 0 << "/bin/sh" << 2
                                  << QByteArray("unknown value name 'path_stable_diffusion_bat'");
}

// set stores one value, as an absolute path; what the programs cannot read is
// refused and the value stored before stays.
void TestTbSettings::set()
{
    QFETCH(QString, name);
    QFETCH(int, pathBytes);
    QFETCH(QString, path);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);

    fill();
    const QStringList before = storeListing();
    if (pathBytes > 0) {
        const QString folder = m_files->path() + QLatin1Char('/');
        path = folder + QString(pathBytes - folder.toUtf8().size(), QLatin1Char('p'));
        QCOMPARE(path.toUtf8().size(), pathBytes);
    }
    const Run run = settings({"set", name, path}, m_files->path());
    QCOMPARE(run.exitCode, exitCode);
    if (exitCode != 0) {
        QVERIFY2(run.err.startsWith("tb-settings: ") && run.err.contains(message), run.err.constData());
        QCOMPARE(storeListing(), before);
        return;
    }
    const QByteArray expected = QFileInfo(QDir(m_files->path()), path).absoluteFilePath().toUtf8();
    QCOMPARE(stored(name), expected);
    std::string value;
    QCOMPARE(CRegedit::readValue(name.toStdString(), value), CRegedit::Outcome::Ok);
    QCOMPARE(QByteArray::fromStdString(value), expected);
    // The file does not exist yet: stored with a warning, and check names it.
    QVERIFY2(run.err.contains("warning: " + expected + " names no existing file yet"), run.err.constData());
    const Run check = settings({"check"});
    QCOMPARE(check.exitCode, 1);
    QVERIFY(check.err.contains(name.toUtf8() + ": names a missing file: " + expected));
}

void TestTbSettings::refusedFillChangesNothing_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("message");

    const QString longPath = QLatin1Char('/') + QString(300, QLatin1Char('q'));
    QTest::newRow("one path too long")
        << QStringList{"fill", "--python",     "/a",     "--bat",     "/b", "--progress-bar",
                       "/c",   "--tcp-server", longPath, "--systray", "/e"}
        << QByteArray("tb-settings: --tcp-server: /qqq");
    QTest::newRow("a value left out") << QStringList{"fill", "--python", "/a", "--bat", "/b"}
                                      << QByteArray("the following arguments are required: --progress-bar");
    QTest::newRow("an empty path") << QStringList{"fill", "--python",       "",   "--bat",
                                                  "/b",   "--progress-bar", "/c", "--tcp-server",
                                                  "/d",   "--systray",      "/e"}
                                   << QByteArray("tb-settings: --python: an empty path cannot be stored");
}

// A refused fill writes none of the five, so the store keeps what it had.
void TestTbSettings::refusedFillChangesNothing()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, message);

    fill();
    const QStringList before = storeListing();
    const Run run = settings(args);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), run.err.constData());
    QCOMPARE(storeListing(), before);
}

void TestTbSettings::rootThatIsNoFolder_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<bool>("rootIsFile");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("check, missing") << QStringList{"check"} << false << 3 << QByteArray("does not exist\n");
    QTest::newRow("show, missing") << QStringList{"show"} << false << 3 << QByteArray("does not exist\n");
    QTest::newRow("unset, missing") << QStringList{"unset", "path_python"} << false << 3
                                    << QByteArray("does not exist\n");
    QTest::newRow("check, a file") << QStringList{"check"} << true << 3 << QByteArray("is not a folder\n");
    QTest::newRow("set, a file") << QStringList{"set", "path_python", "/bin/sh"} << true << 3
                                 << QByteArray("is not a folder\n");
    // Writing makes a new store, and says so.
    QTest::newRow("set, missing") << QStringList{"set", "path_python", "/bin/sh"} << false << 0
                                  << QByteArray("does not exist; it is created\n");
}

void TestTbSettings::rootThatIsNoFolder()
{
    QFETCH(QStringList, command);
    QFETCH(bool, rootIsFile);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);

    const QString root = m_root->path() + QStringLiteral("/elsewhere");
    if (rootIsFile) {
        QFile file(root);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const Run run = settings(QStringList{QStringLiteral("--root"), root} + command);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(root.toUtf8() + ' ' + message), run.err.constData());
    QCOMPARE(QFileInfo(root).isDir(), exitCode == 0);
    if (exitCode == 0)
        QVERIFY(QFile::exists(root + QStringLiteral("/SOFTWARE/Cinema4DPluginSettings/path_python")));
}

void TestTbSettings::storeNotWritable()
{
    // A root below a plain file cannot be made into folders.
    const QString blocker = makeFile(QStringLiteral("blocker"));
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", (blocker + QStringLiteral("/root")).toLocal8Bit());
    const Run run = settings({"set", "path_python", "/usr/bin/python3"});
    QCOMPARE(run.exitCode, 3);
    QVERIFY2(run.err.startsWith("tb-settings: cannot write to " + blocker.toUtf8()), run.err.constData());
    QCOMPARE(run.out, QByteArray());
}

void TestTbSettings::credentials_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("user:password") << "ana:s3cr:et" << 0 << QByteArray("readable by every local user");
    QTest::newRow("no colon") << "ana" << 2 << QByteArray("webui_api_auth holds user:password");
    QTest::newRow("no user") << ":s3cret" << 2 << QByteArray("webui_api_auth holds user:password");
    QTest::newRow("line break") << "ana:s3cret\n"
                                << 2 << QByteArray("cannot hold a zero byte or a line break");
}

// The optional credentials are stored as given (not as a path), never
// printed back, and come with the warning that the key is readable.
void TestTbSettings::credentials()
{
    QFETCH(QString, text);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);

    fill();
    const QStringList before = storeListing();
    const Run run = settings({"set", "webui_api_auth", text});
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(message), run.err.constData());
    if (exitCode != 0) {
        QCOMPARE(storeListing(), before);
        return;
    }
    QCOMPARE(stored(QStringLiteral("webui_api_auth")), text.toUtf8());
    std::string value;
    QCOMPARE(CRegedit::readValue("webui_api_auth", value), CRegedit::Outcome::Ok);
    QCOMPARE(QString::fromStdString(value), text);
    QCOMPARE(run.out, QByteArray("webui_api_auth = ana:***\n"));

    const Run show = settings({"show"});
    QVERIFY(show.out.endsWith("webui_api_auth           = ana:***\n"));
    const Run check = settings({"check"});
    QCOMPARE(check.exitCode, 0);
    QVERIFY(check.out.contains("webui_api_auth: ok (ana:***)"));
    QVERIFY(check.err.contains("warning: webui_api_auth: the settings key is readable by every local user"));
    QVERIFY(!(run.out + run.err + show.out + check.out + check.err).contains("s3cr"));

    QCOMPARE(settings({"unset", "webui_api_auth"}).exitCode, 0);
    QCOMPARE(storeListing(), before);
}

void TestTbSettings::stallLimit_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("seconds") << "900" << 0;
    QTest::newRow("one second") << "1" << 0;
    QTest::newRow("zero") << "0" << 2;
    QTest::newRow("above a day") << "86401" << 2;
    QTest::newRow("not a number") << "ten" << 2;
    QTest::newRow("fraction") << "2.5" << 2;
}

// The optional stall limit is stored as a whole number of seconds that the
// program reads back; anything else is refused and changes nothing.
void TestTbSettings::stallLimit()
{
    QFETCH(QString, text);
    QFETCH(int, exitCode);

    fill();
    const QStringList before = storeListing();
    const Run run = settings({"set", "txt2img_stall_seconds", text});
    QCOMPARE(run.exitCode, exitCode);
    if (exitCode != 0) {
        QVERIFY2(run.err.contains("txt2img_stall_seconds is a whole number of seconds from 1 to 86400"),
                 run.err.constData());
        QCOMPARE(storeListing(), before);
        return;
    }
    QCOMPARE(run.out, "txt2img_stall_seconds = " + text.toUtf8() + "\n");
    std::string value;
    QCOMPARE(CRegedit::readValue("txt2img_stall_seconds", value), CRegedit::Outcome::Ok);
    QCOMPARE(QString::fromStdString(value), text);
    QVERIFY(settings({"show"}).out.endsWith("txt2img_stall_seconds    = " + text.toUtf8() + "\n"));
    const Run check = settings({"check"});
    QCOMPARE(check.exitCode, 0);
    QVERIFY(check.out.contains("txt2img_stall_seconds: ok (" + text.toUtf8() + " s)"));

    // A value put there by other means that is no such number is a problem of check.
    QVERIFY(SettingsStore::write(m_root->path(), QStringLiteral("txt2img_stall_seconds"), "soon"));
    const Run bad = settings({"check"});
    QCOMPARE(bad.exitCode, 1);
    QVERIFY2(bad.err.contains("txt2img_stall_seconds: txt2img_stall_seconds is a whole number"),
             bad.err.constData());

    QCOMPARE(settings({"unset", "txt2img_stall_seconds"}).exitCode, 0);
    QCOMPARE(storeListing(), before);
}

void TestTbSettings::sharedInterpreter_data()
{
    QTest::addColumn<QString>("layout"); // how path_python is set
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("the shared interpreter itself")
        << "shared"
        << QByteArray("warning: path_python: /usr/bin/python3 is no virtual environment's interpreter");
    QTest::newRow("a virtual environment's link to it")
        << "venv" << QByteArray("note: path_python: %1 runs the shared interpreter ");
    QTest::newRow("an interpreter of its own") << "own" << QByteArray();
}

// check says what a stop ends when path_python runs an interpreter other programs share.
void TestTbSettings::sharedInterpreter()
{
    QFETCH(QString, layout);
    QFETCH(QByteArray, message);
    const QString shared = QStringLiteral("/usr/bin/python3");
    if (!QFileInfo(shared).isExecutable())
        QSKIP("no /usr/bin/python3 here");
    fill();
    const QString bin = m_files->filePath(QStringLiteral("venv/bin"));
    QVERIFY(QDir().mkpath(bin));
    QString setting = shared;
    if (layout == QLatin1String("venv")) {
        QFile(m_files->filePath(QStringLiteral("venv/pyvenv.cfg"))).open(QIODevice::WriteOnly);
        setting = bin + QStringLiteral("/python");
        QVERIFY(QFile::link(shared, setting));
        message.replace("%1", setting.toUtf8());
    } else if (layout == QLatin1String("own")) {
        setting = makeFile(QStringLiteral("venv/bin/python"));
    }
    QCOMPARE(settings({"set", "path_python", setting}).exitCode, 0);
    const Run check = settings({"check"});
    QCOMPARE(check.exitCode, 0);
    if (message.isEmpty())
        QCOMPARE(check.err, QByteArray());
    else
        QVERIFY2(check.err.contains(message), check.err.constData());
}

QTEST_GUILESS_MAIN(TestTbSettings)
#include "tst_tbsettings.moc"
