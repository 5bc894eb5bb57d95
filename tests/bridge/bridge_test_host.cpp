// A bare host for CTcpServer, so that tests can watch the paths that end the
// process: it builds the application, installs the tray program's settings
// reports and builds the server, then prints "listening".

#include "CTcpServer.h"
#include "SettingsReporter.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    installSettingsReporter();
    CTcpServer server;
    std::printf("listening\n");
    std::fflush(stdout);
    return app.exec();
}
