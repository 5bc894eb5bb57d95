// Exits with 0 when a system tray is available on the display, 1 otherwise.
#include <QApplication>
#include <QSystemTrayIcon>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    return QSystemTrayIcon::isSystemTrayAvailable() ? 0 : 1;
}
