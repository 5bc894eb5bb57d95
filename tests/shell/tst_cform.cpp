// The tray window in this process (no tray: QT_QPA_PLATFORM=offscreen): its
// icon table, menu, tool tips and the immediate reactions of its slots.
#include "CForm.h"
#include "MessageCapture.h"
#include "SettingsStore.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <memory>

namespace {

const QStringList valueNames{QStringLiteral("path_python_progress_bar"),
                             QStringLiteral("path_python_tcp_server"), QStringLiteral("path_qt_systray_gui"),
                             QStringLiteral("path_stable_difusson_bat"), QStringLiteral("path_python")};

} // namespace

class TstCForm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void iconResources_data();
    void iconResources();
    void constructedWindowShowsNotRunning();
    void iconTableDrivesIconAndToolTip_data();
    void iconTableDrivesIconAndToolTip();
    void refreshAppliesRecordAndSkipsUnchangedIndex();
    void startShowsLaunchAtOnce();
    void activationReasons_data();
    void activationReasons();
    void instanceNumberAndToolPath();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<MessageCapture> m_capture;
    std::unique_ptr<CForm> m_form;
    QComboBox* table() const { return m_form->findChild<QComboBox*>(); }
    QSystemTrayIcon* tray() const { return m_form->findChild<QSystemTrayIcon*>(); }
    QMenu* menu() const { return m_form->findChild<QMenu*>(); }
    QList<QAction*> actions() const { return menu()->actions(); }
};

#ifdef Q_OS_WIN
// The batch file is started by its path, so it needs its extension.
const QString kScriptSuffix = QStringLiteral(".bat");
#else
const QString kScriptSuffix;
#endif

void TstCForm::initTestCase()
{
    QVERIFY(m_dir.isValid());
    for (const QString& name : valueNames) {
        const QString target = m_dir.path() + QLatin1Char('/') + name + kScriptSuffix;
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        // The launch script marks that it ran.
#ifdef Q_OS_WIN
        file.write("@type nul > \"%~f0.ran\"\r\n");
#else
        file.write("#!/bin/sh\ntouch \"$0.ran\"\n");
#endif
        file.close();
        QVERIFY(
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QVERIFY(SettingsStore::write(m_dir.path() + QStringLiteral("/registry"), name, target.toUtf8()));
    }
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", QFile::encodeName(m_dir.path() + QStringLiteral("/registry")));
    qputenv("TRAYBRIDGE_BOX_LOG", QFile::encodeName(m_dir.path() + QStringLiteral("/boxes.log")));
    qputenv("HOME", QFile::encodeName(m_dir.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/config")));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(m_dir.path() + QStringLiteral("/xdg")));
}

void TstCForm::init()
{
    m_capture = std::make_unique<MessageCapture>();
    m_form = std::make_unique<CForm>();
}

void TstCForm::cleanup()
{
    m_form.reset();
    m_capture.reset();
}

void TstCForm::iconResources_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("size");
    QTest::newRow("starting, first") << ":/images/icons8-3-100.png" << 100;
    QTest::newRow("starting, second") << ":/images/icons8-6-100.png" << 100;
    QTest::newRow("not running") << ":/images/cpu.png" << 60;
    QTest::newRow("running") << ":/images/icons8-AI-60.png" << 60;
}

void TstCForm::iconResources()
{
    QFETCH(QString, path);
    QFETCH(int, size);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray png = file.readAll();
    QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
    // IHDR: width, height, 8 bits per channel, colour type 6 (RGB with alpha).
    QCOMPARE(png.mid(12, 4), QByteArray("IHDR"));
    QCOMPARE(qFromBigEndian<quint32>(png.constData() + 16), quint32(size));
    QCOMPARE(qFromBigEndian<quint32>(png.constData() + 20), quint32(size));
    QCOMPARE(int(png.at(24)), 8);
    QCOMPARE(int(png.at(25)), 6);

    // Clear at tray size: a solid figure on a transparent ground.
    const QImage image = QImage(path).scaled(22, 22, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    int opaque = 0;
    for (int y = 0; y < 22; ++y)
        for (int x = 0; x < 22; ++x)
            opaque += qAlpha(image.pixel(x, y)) > 200 ? 1 : 0;
    QVERIFY2(opaque > 22 * 22 / 3, qPrintable(QString::number(opaque)));
    QVERIFY(qAlpha(image.pixel(0, 0)) < 50 || path.contains(QStringLiteral("cpu")));
}

void TstCForm::constructedWindowShowsNotRunning()
{
    QVERIFY(!m_form->isVisible());
    QCOMPARE(table()->count(), 4);
    QCOMPARE(table()->currentIndex(), 2);
    QCOMPARE(tray()->toolTip(), QStringLiteral("stablediffusion is not running"));
    QVERIFY(tray()->isVisible());
    QCOMPARE(tray()->contextMenu(), menu());

    // The original entries first and last; the desktop entries between them.
    const QList<QAction*> entries = actions();
    const QStringList texts{QStringLiteral("stop stablediffusion"),
                            QStringLiteral("start stablediffusion"),
                            QString(),
                            QStringLiteral("Open images folder"),
                            QStringLiteral("Open log file"),
                            QString(),
                            QStringLiteral("Start at login"),
                            QStringLiteral("Show notifications"),
                            QString(),
                            QStringLiteral("&Quit")};
    QCOMPARE(entries.size(), texts.size());
    for (int i = 0; i < texts.size(); ++i) {
        QCOMPARE(entries.at(i)->isSeparator(), texts.at(i).isEmpty());
        QCOMPARE(entries.at(i)->text(), texts.at(i));
        QCOMPARE(entries.at(i)->isCheckable(), i == 6 || i == 7);
    }
    // No autostart entry anywhere; notifications on by default.
    QVERIFY(!entries.at(6)->isChecked());
    QVERIFY(entries.at(7)->isChecked());
    // Until the first refresh both are offered.
    QVERIFY(entries.at(0)->isEnabled());
    QVERIFY(entries.at(1)->isEnabled());
    QCOMPARE(m_capture->lines().filter(QStringLiteral("index=")),
             QStringList{QStringLiteral("[ void CForm::setIcon(int) ] : index= 2")});
}

void TstCForm::iconTableDrivesIconAndToolTip_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QString>("image");
    QTest::newRow("0") << 0 << "stablediffusion"
                       << ":/images/icons8-3-100.png";
    QTest::newRow("1") << 1 << "stablediffusion"
                       << ":/images/icons8-6-100.png";
    QTest::newRow("3") << 3 << "stablediffusion launched"
                       << ":/images/icons8-AI-60.png";
}

void TstCForm::iconTableDrivesIconAndToolTip()
{
    QFETCH(int, index);
    QFETCH(QString, toolTip);
    QFETCH(QString, image);

    table()->setCurrentIndex(index);
    QCOMPARE(tray()->toolTip(), toolTip);
    QCOMPARE(table()->itemText(index), toolTip);
    const QImage shown = tray()->icon().pixmap(48, 48).toImage();
    QCOMPARE(shown, QIcon(image).pixmap(48, 48).toImage());
    // The pictures differ from each other, so the comparison tells them apart.
    QVERIFY(shown != QIcon(QStringLiteral(":/images/cpu.png")).pixmap(48, 48).toImage());
    QCOMPARE(m_capture->count(QStringLiteral("index= %1").arg(index)), 1);
}

void TstCForm::refreshAppliesRecordAndSkipsUnchangedIndex()
{
    m_form->update_tree();
    QVERIFY(actions().at(1)->isEnabled());
    QVERIFY(!actions().at(0)->isEnabled());
    QCOMPARE(table()->currentIndex(), 2);
    for (int i = 0; i < 3; ++i)
        m_form->update_tree();
    QCOMPARE(m_capture->count(QStringLiteral("][ void CForm::update_tree() ] :")), 4);
    QCOMPARE(m_capture->count(QStringLiteral("index=")), 1);
}

void TstCForm::startShowsLaunchAtOnce()
{
    m_form->update_tree();
    const QString ran =
        m_dir.path() + QStringLiteral("/path_stable_difusson_bat") + kScriptSuffix + QStringLiteral(".ran");
    QFile::remove(ran);

    actions().at(1)->trigger();
    QCOMPARE(table()->currentIndex(), 0);
    QCOMPARE(tray()->toolTip(), QStringLiteral("stablediffusion"));
    QVERIFY(!actions().at(1)->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(ran), 20000);

    // Each refresh of the followed launch flips between the two starting pictures.
    QList<int> indexes;
    for (int i = 0; i < 4; ++i) {
        m_form->update_tree();
        indexes << table()->currentIndex();
        QCOMPARE(tray()->toolTip(), QStringLiteral("stablediffusion"));
        QVERIFY(!actions().at(1)->isEnabled());
        QVERIFY(actions().at(0)->isEnabled());
    }
    QVERIFY(indexes == (QList<int>{1, 0, 1, 0}) || indexes == (QList<int>{0, 1, 0, 1}));
}

void TstCForm::activationReasons_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("balloon");
    QTest::newRow("single click") << int(QSystemTrayIcon::Trigger) << "] : QSystemTrayIcon::Trigger" << true;
    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick) << "] : QSystemTrayIcon::DoubleClick"
                                  << false;
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << "] : QSystemTrayIcon::MiddleClick"
                                  << false;
    QTest::newRow("context") << int(QSystemTrayIcon::Context) << "" << false;
}

void TstCForm::activationReasons()
{
    QFETCH(int, reason);
    QFETCH(QString, line);
    QFETCH(bool, balloon);

    emit tray()->activated(QSystemTrayIcon::ActivationReason(reason));
    const QStringList lines = m_capture->lines().filter(QStringLiteral("CForm::iconActivated"));
    if (line.isEmpty())
        QCOMPARE(lines, QStringList());
    else
        QCOMPARE(lines, QStringList{QStringLiteral(
                                        "[ void CForm::iconActivated(QSystemTrayIcon::ActivationReason) ") +
                                    line});
    QCOMPARE(m_capture->count(QStringLiteral("[ void CForm::showMessage() ] : ")), balloon ? 1 : 0);
    QCOMPARE(m_capture->count(QStringLiteral("][ void CForm::update_tree() ] :")), balloon ? 1 : 0);
}

void TstCForm::instanceNumberAndToolPath()
{
    QVERIFY(m_form->instanceNumber() >= 0 && m_form->instanceNumber() < 1000000);
#ifdef Q_OS_WIN
    QCOMPARE(CForm::ctlrunnerPath(),
             QCoreApplication::applicationDirPath() + QStringLiteral("/ctlrunner.exe"));
#else
    QCOMPARE(CForm::ctlrunnerPath(), QCoreApplication::applicationDirPath() + QStringLiteral("/ctlrunner"));
#endif
    m_form->hide_icon();
    QVERIFY(!tray()->isVisible());
    QCOMPARE(m_capture->count(QStringLiteral("[ void CForm::hide_icon() ]: ")), 1);
}

QTEST_MAIN(TstCForm)
#include "tst_cform.moc"
