// The tray program's reports of the settings reader: the "Error!" boxes with
// their texts, the debug line after every read, and no box on a worker thread.
#include "CRegedit.h"
#include "MessageCapture.h"
#include "SettingsReporter.h"
#include "SettingsStore.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <string>
#include <thread>

class TestSettingsReporter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void reports_data();
    void reports();
    void workerThreadReadQueuesTheBox();

private:
    QStringList boxes() const;
    QString keyDir() const { return SettingsStore::keyFolder(m_root.path()); }
    // What follows the fixed text: the store read and how to fill it in,
    // as the box log records it (inBoxLog) or on one line as the log has it.
    QString guidance(const QString& name, bool inBoxLog) const;

    QTemporaryDir m_root;
    QTemporaryDir m_work;
    QString m_boxLog;
};

void TestSettingsReporter::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY(m_work.isValid());
    m_boxLog = m_work.filePath(QStringLiteral("boxes.log"));
    qputenv("TRAYBRIDGE_BOX_LOG", QFile::encodeName(m_boxLog));
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", QFile::encodeName(m_root.path()));
    installSettingsReporter();
}

void TestSettingsReporter::init()
{
    QFile::remove(m_boxLog);
    QVERIFY(SettingsStore::clear(m_root.path()));
    QFile::remove(keyDir());
}

void TestSettingsReporter::cleanupTestCase()
{
    CRegedit::setReporter(nullptr);
}

QString TestSettingsReporter::guidance(const QString& name, bool inBoxLog) const
{
#ifdef Q_OS_WIN
    QString text = QStringLiteral("Settings read from the registry key "
                                  "HKEY_LOCAL_MACHINE\\SOFTWARE\\Cinema4DPluginSettings (64-bit view).\n"
                                  "Run the traybridge installer again to fill in %1.")
                       .arg(name);
#else
    QString text =
        QStringLiteral("Settings read from the folder %1.\nFill it in with: tb-settings set %2 PATH; "
                       "then run: tb-settings check")
            .arg(keyDir(), name);
#endif
    if (inBoxLog)
        return text.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
            .replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return text.replace(QLatin1Char('\n'), QLatin1Char(' '));
}

QStringList TestSettingsReporter::boxes() const
{
    QFile log(m_boxLog);
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestSettingsReporter::reports_data()
{
    QTest::addColumn<QString>("store"); // "values", "no key" or "key is a file"
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("box"); // as the box log records it; empty: no box
    QTest::addColumn<QString>("debugLine");

    const QString prefix =
        QStringLiteral("[ static bool CRegedit::ReadPathInstallClient(std::__cxx11::string, "
                       "std::__cxx11::string&) ] :  key:  ");

    QTest::newRow("success") << "values"
                             << "path_python" << true << QString()
                             << prefix + "path_python = /usr/bin/python3";
    QTest::newRow("key absent names the value") << "no key"
                                                << "path_stable_difusson_bat" << false
                                                << "information\tError!\tKey path_stable_difusson_bat not "
                                                   "found\\n<SOFTWARE\\\\Cinema4DPluginSettings>"
                                                << prefix + "path_stable_difusson_bat = before";
#ifndef Q_OS_WIN
    // Wine cannot make a key unopenable.
    QTest::newRow("key not openable")
        << "key is a file"
        << "path_python" << false
        << "information\tError!\tError opening key \\n<SOFTWARE\\\\Cinema4DPluginSettings>"
        << prefix + "path_python = before";
#endif
    QTest::newRow("value not found") << "values"
                                     << "path_python_tcp_server" << false
                                     << "information\tError!\tError, not found <path_python_tcp_server> in "
                                        "<SOFTWARE\\\\Cinema4DPluginSettings>"
                                     << prefix + "path_python_tcp_server = before";
    QTest::newRow("value too long") << "values"
                                    << "path_qt_systray_gui" << false
                                    << "information\tError!\tError, not found <path_qt_systray_gui> in "
                                       "<SOFTWARE\\\\Cinema4DPluginSettings>"
                                    << prefix + "path_qt_systray_gui = before";
    QTest::newRow("value empty")
        << "values"
        << "path_python_progress_bar" << false
        << "information\tError!\tError, Empty <SOFTWARE\\\\Cinema4DPluginSettings> key "
           "path_python_progress_bar"
        << prefix + "path_python_progress_bar = ";
}

void TestSettingsReporter::reports()
{
    QFETCH(QString, store);
    QFETCH(QString, name);
    QFETCH(bool, result);
    QFETCH(QString, box);
    QFETCH(QString, debugLine);

    if (store == QLatin1String("values")) {
        const QList<QPair<QString, QByteArray>> values = {{"path_python", "/usr/bin/python3"},
                                                          {"path_python_progress_bar", ""},
                                                          {"path_qt_systray_gui", QByteArray(255, 'q')}};
        for (const auto& v : values)
            QVERIFY(SettingsStore::write(m_root.path(), v.first, v.second));
    } else if (store == QLatin1String("key is a file")) {
        QVERIFY(QDir().mkpath(m_root.path() + QStringLiteral("/SOFTWARE")));
        QFile file(keyDir());
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    MessageCapture capture;
    std::string value = "before";
    QCOMPARE(CRegedit::ReadPathInstallClient(name.toStdString(), value), result);

    // On the GUI thread the box has been shown and closed when the read returns.
    // After the fixed text: which store was read and how to fill it in.
    QCOMPARE(boxes(), box.isEmpty() ? QStringList()
                                    : QStringList{box + QStringLiteral("\\n\\n") + guidance(name, true)});
    QCOMPARE(capture.count(QStringLiteral("[settings] %1: %2").arg(name, guidance(name, false))),
             box.isEmpty() ? 0 : 1);
    QCOMPARE(capture.count(QStringLiteral("CRegedit::ReadPathInstallClient")), 1);
    QCOMPARE(capture.matching(QStringLiteral("CRegedit::ReadPathInstallClient")).first(), debugLine);
}

void TestSettingsReporter::workerThreadReadQueuesTheBox()
{
    // No key at all: the read fails on the worker thread.
    MessageCapture capture;
    bool result = true;
    std::string value = "before";
    std::thread worker([&] { result = CRegedit::ReadPathInstallClient("path_python", value); });
    worker.join();

    QVERIFY(!result);
    QCOMPARE(value, std::string("before"));
    // The debug line is written on the worker thread; the box waits for the GUI thread.
    QCOMPARE(capture.count(QStringLiteral("key:  path_python = before")), 1);
    QCOMPARE(boxes(), QStringList());
    QTRY_COMPARE(boxes(),
                 QStringList{QStringLiteral("information\tError!\tKey path_python not found\\n<SOFTWARE\\\\"
                                            "Cinema4DPluginSettings>\\n\\n") +
                             guidance(QStringLiteral("path_python"), true)});
}

QTEST_MAIN(TestSettingsReporter)
#include "tst_settingsreporter.moc"
