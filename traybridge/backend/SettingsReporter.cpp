#include "SettingsReporter.h"

#include "CRegedit.h"
#include "ModalBox.h"

#include <QDebug>
#include <QString>

namespace {

// Settings are single-byte texts in the local code page.
QString local(const std::string& text)
{
    return QString::fromLocal8Bit(text.c_str());
}

QString failureText(CRegedit::Outcome outcome, const QString& name)
{
    const QString key = QString::fromLatin1(CRegedit::keyPath());
    switch (outcome) {
    case CRegedit::Outcome::Ok:
        break;
    case CRegedit::Outcome::KeyNotFound:
        return QStringLiteral("Key ") + name + QStringLiteral(" not found\n<") + key + QStringLiteral(">");
    case CRegedit::Outcome::KeyOpenError:
        return QStringLiteral("Error opening key \n<") + key + QStringLiteral(">");
    case CRegedit::Outcome::ValueNotFound:
        return QStringLiteral("Error, not found <") + name + QStringLiteral("> in <") + key +
               QStringLiteral(">");
    case CRegedit::Outcome::ValueEmpty:
        return QStringLiteral("Error, Empty <") + key + QStringLiteral("> key ") + name;
    }
    return QString();
}

void report(CRegedit::Outcome outcome, const std::string& name, const std::string& value)
{
    const QString qName = local(name);
    if (outcome != CRegedit::Outcome::Ok) {
        const QString guidance = settingsGuidance(qName);
        ModalBox::information(QStringLiteral("Error!"),
                              failureText(outcome, qName) + QStringLiteral("\n\n") + guidance);
        qCritical().noquote() << QStringLiteral("[settings] %1: %2")
                                     .arg(qName,
                                          QString(guidance).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    }
    qDebug().noquote()
        << "["
        << "static bool CRegedit::ReadPathInstallClient(std::__cxx11::string, std::__cxx11::string&)"
        << "] : "
        << "key: " << qName << "=" << local(value);
}

} // namespace

QString settingsGuidance(const QString& name)
{
    const QString store = QString::fromLocal8Bit(CRegedit::keyFolder().c_str());
#ifdef Q_OS_WIN
    return QStringLiteral("Settings read from the registry key %1 (64-bit view).\n"
                          "Run the traybridge installer again to fill in %2.")
        .arg(store, name);
#else
    return QStringLiteral("Settings read from the folder %1.\n"
                          "Fill it in with: tb-settings set %2 PATH; then run: tb-settings check")
        .arg(store, name);
#endif
}

void installSettingsReporter()
{
    CRegedit::setReporter(report);
}
