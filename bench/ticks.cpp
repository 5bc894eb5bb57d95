// The physical minimum of the tray program's periodic work: three timers with
// its periods (1000, 3000 and 5000 ms) on one event loop, and nothing else.

#include <QCoreApplication>
#include <QTimer>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int beats = 0;
    for (int period : {1000, 3000, 5000}) {
        auto* timer = new QTimer(&app);
        QObject::connect(timer, &QTimer::timeout, [&beats] { ++beats; });
        timer->start(period);
    }
    return app.exec();
}
