#include "CForm.h"
#include "CRegedit.h"
#include "CStableDiffusionManger.h"
#include "DebugPrefix.h"
#include "IPCClient.h"
#include "IPCServer.h"
#include "LogFile.h"
#include "ModalBox.h"
#include "OpenFilesLimit.h"
#include "ProcessExit.h"
#include "SettingsReporter.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTextStream>

#include <memory>
#include <string>

namespace {

// Replaces the whole start log with "1".
void reset_start_log(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        qDebug() << "Ошибка создания файла: " << file.errorString();
        return;
    }
    QTextStream out(&file);
    out << "1";
    out.flush();
    file.close();
    qDebug() << "Файл успешно создан с текстом '1'";
}

// Returns only when every needed setting and file is in place.
void check_startup_files()
{
    QStringList paths;
    for (const char* name : {"path_python_progress_bar", "path_python_tcp_server", "path_qt_systray_gui",
                             "path_stable_difusson_bat", "path_python"}) {
        std::string value;
        if (!CRegedit::ReadPathInstallClient(name, value))
            tb::endProcess(1);
        paths << QString::fromLocal8Bit(value.c_str());
    }
    paths << CForm::ctlrunnerPath();

    for (const QString& path : qAsConst(paths)) {
        if (!QFileInfo(path).isFile()) {
            ModalBox::critical(QStringLiteral("Error"), QStringLiteral("File does not exist: ") + path);
            tb::endProcess(1);
        }
    }
}

} // namespace

int main(int argc, char* argv[])
{
    // Every plug-in connection holds a descriptor: take all the system allows.
    tb::raiseOpenFilesLimit();
    QApplication app(argc, argv);
    LogFile::install();
    installSettingsReporter();

    const QString logPath = startLogPath();
    reset_start_log(logPath);
    const int runtimeErrors = countRuntimeErrors();
    qDebug() << runtimeErrors << runtimeErrors;
    if (runtimeErrors > 1)
        ModalBox::critical(QStringLiteral("Ошибка"),
                           QStringLiteral("An error occurred, details in the log file:") + logPath);

    CForm form;
    form.update_tree();

    auto server = std::make_shared<IPC::Server>();
    auto client = std::make_shared<IPC::Client>();
    IPC::Server* listener = server.get();

    server->setCallback([&form] {
        qCritical().noquote() << QStringLiteral("Recov Msg. Open old App. '%1'").arg(form.instanceNumber());
        form.showMessage();
    });
    client->setNoServerCallback([listener, &form] {
        tb::shortPrefix(qDebug(), "operator()", "] : [ContinueInit]");
        listener->start();
        check_startup_files();
        form.ContinueInit();
    });
    client->setMessageCallback([&form, &argc, argv] {
        qCritical().noquote() << QStringLiteral("[main] : the message from opening the form was sent "
                                                "successfully. end the current process '%1'")
                                     .arg(form.instanceNumber());
        if (argc > 1)
            tb::shortPrefix(qDebug(), "operator()", "] : ") << argv[1];
        form.hide_icon();
        tb::endProcess(3);
    });

    client->send();

    Q_INIT_RESOURCE(shell);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        QApplication::setQuitOnLastWindowClosed(false);
        return app.exec();
    }
    ModalBox::critical(QObject::tr("Systray"),
                       QObject::tr("I couldn't detect any system tray on this system."));
    return 1;
}
