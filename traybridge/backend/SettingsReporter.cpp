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
    if (outcome != CRegedit::Outcome::Ok)
        ModalBox::information(QStringLiteral("Error!"), failureText(outcome, qName));
    qDebug().noquote()
        << "["
        << "static bool CRegedit::ReadPathInstallClient(std::__cxx11::string, std::__cxx11::string&)"
        << "] : "
        << "key: " << qName << "=" << local(value);
}

} // namespace

void installSettingsReporter()
{
    CRegedit::setReporter(report);
}
