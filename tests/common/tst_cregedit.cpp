// The settings reader against the folder store: every outcome, the buffer
// limits and what the reader leaves in the value.
#include "CRegedit.h"
#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

Q_DECLARE_METATYPE(CRegedit::Outcome)

namespace {

struct Report
{
    CRegedit::Outcome outcome;
    std::string name;
    std::string value;
};
std::vector<Report> g_reports;

void recordReport(CRegedit::Outcome outcome, const std::string& name, const std::string& value)
{
    g_reports.push_back({outcome, name, value});
}

} // namespace

class TestCRegedit : public QObject
{
    Q_OBJECT

    // How the store looks for one row.
    enum Layout
    {
        KeyWithValues, // the key folder with the values below
        NoKey,         // the root exists, the key folder does not
        NoRoot,        // not even the root exists
        KeyIsFile,     // a regular file stands where the key folder belongs
        KeyNotSearchable,
        ValueIsFolder, // the value name names a folder inside the key
        ValueIsPipe    // ... a named pipe that no one writes to
    };

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void outcomes_data();
    void outcomes();
    void defaultRootIsMachineWide();
    void everyCallIsReported();

private:
    void writeValue(const QString& name, const QByteArray& bytes);
    QString keyDir() const { return SettingsStore::keyFolder(m_root->path()); }

    std::unique_ptr<QTemporaryDir> m_root;
};

void TestCRegedit::initTestCase()
{
    qRegisterMetaType<CRegedit::Outcome>();
}

void TestCRegedit::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", m_root->path().toLocal8Bit());
    g_reports.clear();
    CRegedit::setReporter(nullptr);
}

void TestCRegedit::cleanup()
{
    // Give the temporary folder back its rights so that it can be removed.
    ::chmod(QFile::encodeName(keyDir()).constData(), 0755);
    CRegedit::setReporter(nullptr);
    qunsetenv("TRAYBRIDGE_REGISTRY_ROOT");
}

void TestCRegedit::writeValue(const QString& name, const QByteArray& bytes)
{
    QFile file(keyDir() + QLatin1Char('/') + name);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(file.errorString()));
    QCOMPARE(file.write(bytes), bytes.size());
}

void TestCRegedit::outcomes_data()
{
    QTest::addColumn<int>("layout");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("stored"); // bytes of the value file; null: no file
    QTest::addColumn<CRegedit::Outcome>("outcome");
    QTest::addColumn<QByteArray>("expected"); // value after the call

    const QByteArray before("value before the call");
    const QByteArray chars254(254, 'x');
    using O = CRegedit::Outcome;

    QTest::newRow("present") << int(KeyWithValues) << "path_python" << QByteArray("/opt/sd/venv/bin/python")
                             << O::Ok << QByteArray("/opt/sd/venv/bin/python");
    QTest::newRow("blanks and non-ASCII bytes kept as they are")
        << int(KeyWithValues) << "path_stable_difusson_bat" << QByteArray(" C:\\Stable D\xE9mo\\run.bat \n")
        << O::Ok << QByteArray(" C:\\Stable D\xE9mo\\run.bat \n");
    QTest::newRow("254 characters read whole")
        << int(KeyWithValues) << "path_python" << chars254 << O::Ok << chars254;
    QTest::newRow("255 characters do not fit")
        << int(KeyWithValues) << "path_python" << QByteArray(255, 'x') << O::ValueNotFound << before;
    QTest::newRow("far too long") << int(KeyWithValues) << "path_python" << QByteArray(4096, 'x')
                                  << O::ValueNotFound << before;
    QTest::newRow("254 characters and a zero byte do not fit")
        << int(KeyWithValues) << "path_python" << chars254 + QByteArray(1, '\0') << O::ValueNotFound
        << before;
    QTest::newRow("zero byte inside ends the text")
        << int(KeyWithValues) << "path_python" << QByteArray("/usr/bin/python3\0--junk", 23) << O::Ok
        << QByteArray("/usr/bin/python3");
    QTest::newRow("empty") << int(KeyWithValues) << "path_python" << QByteArray("") << O::ValueEmpty
                           << QByteArray();
    QTest::newRow("zero byte first is empty")
        << int(KeyWithValues) << "path_python" << QByteArray("\0python", 7) << O::ValueEmpty << QByteArray();
    QTest::newRow("missing value") << int(KeyWithValues) << "path_python" << QByteArray() << O::ValueNotFound
                                   << before;
    QTest::newRow("other value names do not match")
        << int(KeyWithValues) << "path_stable_diffusion_bat" << QByteArray() << O::ValueNotFound << before;
    QTest::newRow("value name outside the key")
        << int(KeyWithValues) << "../escape" << QByteArray() << O::ValueNotFound << before;
    QTest::newRow("value name is a folder")
        << int(ValueIsFolder) << "path_python" << QByteArray() << O::ValueNotFound << before;
    QTest::newRow("value is a named pipe")
        << int(ValueIsPipe) << "path_python" << QByteArray() << O::ValueNotFound << before;
    QTest::newRow("value name is the key itself")
        << int(KeyWithValues) << "." << QByteArray() << O::ValueNotFound << before;
    QTest::newRow("missing key") << int(NoKey) << "path_python" << QByteArray() << O::KeyNotFound << before;
    QTest::newRow("missing root") << int(NoRoot) << "path_python" << QByteArray() << O::KeyNotFound << before;
    QTest::newRow("key is not a folder")
        << int(KeyIsFile) << "path_python" << QByteArray() << O::KeyOpenError << before;
    QTest::newRow("key without rights") << int(KeyNotSearchable) << "path_python"
                                        << QByteArray("/usr/bin/python3") << O::KeyOpenError << before;
}

void TestCRegedit::outcomes()
{
    QFETCH(int, layout);
    QFETCH(QString, name);
    QFETCH(QByteArray, stored);
    QFETCH(CRegedit::Outcome, outcome);
    QFETCH(QByteArray, expected);

    QDir root(m_root->path());
    switch (layout) {
    case KeyWithValues:
    case KeyNotSearchable:
        QVERIFY(root.mkpath(keyDir()));
        break;
    case ValueIsFolder:
        QVERIFY(root.mkpath(keyDir() + QLatin1Char('/') + name));
        break;
    case ValueIsPipe:
        QVERIFY(root.mkpath(keyDir()));
        QVERIFY(::mkfifo(QFile::encodeName(keyDir() + QLatin1Char('/') + name).constData(), 0644) == 0);
        break;
    case NoKey:
        QVERIFY(root.mkpath(QStringLiteral("SOFTWARE")));
        break;
    case NoRoot:
        qputenv("TRAYBRIDGE_REGISTRY_ROOT", QFile::encodeName(m_root->path() + QStringLiteral("/absent")));
        break;
    case KeyIsFile: {
        QVERIFY(root.mkpath(QStringLiteral("SOFTWARE")));
        QFile file(keyDir());
        QVERIFY(file.open(QIODevice::WriteOnly));
        break;
    }
    }
    if (!stored.isNull())
        writeValue(name, stored);
    // Something outside the key that a name must not reach.
    QVERIFY(root.mkpath(QStringLiteral("SOFTWARE")));
    QFile outside(m_root->path() + QStringLiteral("/SOFTWARE/escape"));
    QVERIFY(outside.open(QIODevice::WriteOnly));
    outside.write("outside the key");
    outside.close();
    if (layout == KeyNotSearchable) {
        if (::geteuid() == 0)
            QSKIP("permission bits do not stop root; the key-is-a-file row covers the case");
        QVERIFY(::chmod(QFile::encodeName(keyDir()).constData(), 0200) == 0);
    }

    const std::string before = "value before the call";
    std::string value = before;
    QCOMPARE(CRegedit::readValue(name.toStdString(), value), outcome);
    QCOMPARE(QByteArray::fromStdString(value), expected);

    // The public reader gives the same, with true only for a text.
    value = before;
    QCOMPARE(CRegedit::ReadPathInstallClient(name.toStdString(), value), outcome == CRegedit::Outcome::Ok);
    QCOMPARE(QByteArray::fromStdString(value), expected);
}

void TestCRegedit::defaultRootIsMachineWide()
{
    qunsetenv("TRAYBRIDGE_REGISTRY_ROOT");
    QCOMPARE(QString::fromStdString(CRegedit::keyFolder()),
             QStringLiteral("/etc/traybridge/registry/SOFTWARE/Cinema4DPluginSettings"));
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", "");
    QCOMPARE(QString::fromStdString(CRegedit::keyFolder()),
             QStringLiteral("/etc/traybridge/registry/SOFTWARE/Cinema4DPluginSettings"));
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", "/srv/settings");
    QCOMPARE(QString::fromStdString(CRegedit::keyFolder()),
             QStringLiteral("/srv/settings/SOFTWARE/Cinema4DPluginSettings"));
}

void TestCRegedit::everyCallIsReported()
{
    QVERIFY(QDir(m_root->path()).mkpath(keyDir()));
    writeValue(QStringLiteral("path_python"), "/usr/bin/python3");
    writeValue(QStringLiteral("path_qt_systray_gui"), "");
    CRegedit::setReporter(recordReport);

    std::string value = "old";
    QVERIFY(CRegedit::ReadPathInstallClient("path_python", value));
    QVERIFY(!CRegedit::ReadPathInstallClient("path_python_tcp_server", value));
    QVERIFY(!CRegedit::ReadPathInstallClient("path_qt_systray_gui", value));

    QCOMPARE(g_reports.size(), size_t(3));
    QCOMPARE(g_reports[0].outcome, CRegedit::Outcome::Ok);
    QCOMPARE(g_reports[0].name, std::string("path_python"));
    QCOMPARE(g_reports[0].value, std::string("/usr/bin/python3"));
    // A failed query reports the value the caller still holds.
    QCOMPARE(g_reports[1].outcome, CRegedit::Outcome::ValueNotFound);
    QCOMPARE(g_reports[1].name, std::string("path_python_tcp_server"));
    QCOMPARE(g_reports[1].value, std::string("/usr/bin/python3"));
    QCOMPARE(g_reports[2].outcome, CRegedit::Outcome::ValueEmpty);
    QCOMPARE(g_reports[2].value, std::string());

    // Without a reporter nothing is called.
    CRegedit::setReporter(nullptr);
    QVERIFY(CRegedit::ReadPathInstallClient("path_python", value));
    QCOMPARE(g_reports.size(), size_t(3));
}

QTEST_GUILESS_MAIN(TestCRegedit)
#include "tst_cregedit.moc"
