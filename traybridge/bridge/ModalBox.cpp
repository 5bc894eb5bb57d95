#include "ModalBox.h"

#include <QCoreApplication>
#include <QFile>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

namespace ModalBox {

namespace {

void record(Kind kind, const QString& title, const QString& text, const QString& logPath)
{
    QFile log(logPath);
    if (!log.open(QIODevice::Append))
        return;
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\n'), QLatin1String("\\n"));
    const QString line = QStringLiteral("%1\t%2\t%3\n")
                             .arg(kind == Kind::Critical ? QStringLiteral("critical") : QStringLiteral("information"),
                                  title, escaped);
    log.write(line.toUtf8());
}

void showHere(Kind kind, const QString& title, const QString& text)
{
    QMessageBox box(kind == Kind::Critical ? QMessageBox::Critical : QMessageBox::Information, title, text,
                    QMessageBox::Ok);
    const QString logPath = qEnvironmentVariable("TRAYBRIDGE_BOX_LOG");
    if (!logPath.isEmpty()) {
        record(kind, title, text, logPath);
        QTimer::singleShot(0, &box, [&box] { box.done(QMessageBox::Ok); });
    }
    box.exec();
}

} // namespace

void show(Kind kind, const QString& title, const QString& text)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        showHere(kind, title, text);
        return;
    }
    QMetaObject::invokeMethod(app, [kind, title, text] { showHere(kind, title, text); }, Qt::QueuedConnection);
}

} // namespace ModalBox
