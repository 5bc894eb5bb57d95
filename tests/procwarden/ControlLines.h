#pragma once

#include <QString>
#include <QStringList>

// Log lines procwarden writes for the controls it is sent, the same on both
// builds.
namespace ControlLines {

const QString BeforeSwitch = QStringLiteral("[ServiceCtrlHandler] : before switch ");
const QString HandlerExit = QStringLiteral("My Sample Service: ServiceCtrlHandler: Exit");
const QString UpdateStatus = QStringLiteral("[ServiceCtrlHandler] : MSG_GUI_UPDATE_STATUS ");
const QString RequestStop =
    QStringLiteral("[ServiceCtrlHandler] : MSG_GUI_REQUEST_TO_STOP_STABLE_DIFFUSION ");
const QString Quiet = QStringLiteral("My Sample Service: Terminated python.exe process");
const QString Verbose = QStringLiteral("My Sample Service: 'ok send' Terminated python.exe process");

// The lines of one control: the bracketed texts end with a line break, so an
// empty line follows each of them. A settings reader's line, if any, comes
// right after the first.
inline QStringList controlLines(const QStringList& middle, const QString& readerLine = QString())
{
    QStringList lines{BeforeSwitch, QString()};
    if (!readerLine.isEmpty())
        lines << readerLine;
    return lines + middle + QStringList{HandlerExit};
}

} // namespace ControlLines
