#include "CTcpServer.h"

#include <QApplication>

// Start-up placeholder: serves the plug-in until the tray window lands.
int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    CTcpServer server(nullptr);
    return app.exec();
}
