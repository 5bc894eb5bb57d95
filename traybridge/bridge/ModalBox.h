#pragma once

#include <QString>

// Modal message boxes with a single OK button and no parent window.
//
// On the GUI thread show() returns when the box has been closed. On any other
// thread the box is queued to the GUI thread and show() returns at once, so no
// widget is ever made off the GUI thread.
//
// When the environment variable TRAYBRIDGE_BOX_LOG names a file, every box is
// still built and shown, but it is answered with OK at once and its kind, title
// and text are appended to that file as one line "kind<TAB>title<TAB>text"
// (line breaks in the text written as \n). Tests use it to read the boxes of a
// real run without a person to close them.
namespace ModalBox {

enum class Kind
{
    Critical,
    Information
};

void show(Kind kind, const QString& title, const QString& text);

inline void critical(const QString& title, const QString& text) { show(Kind::Critical, title, text); }
inline void information(const QString& title, const QString& text) { show(Kind::Information, title, text); }

} // namespace ModalBox
