#include "MessageCapture.h"

#include <QMutexLocker>

namespace {
MessageCapture* g_capture = nullptr;
}

MessageCapture::MessageCapture()
{
    g_capture = this;
    m_previous = qInstallMessageHandler(&MessageCapture::handler);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(m_previous);
    g_capture = nullptr;
}

void MessageCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    MessageCapture* self = g_capture;
    if (!self)
        return;
    {
        QMutexLocker lock(&self->m_mutex);
        self->m_lines.append(message);
    }
    if (self->m_previous)
        self->m_previous(type, context, message);
}

QStringList MessageCapture::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

QStringList MessageCapture::matching(const QString& text) const
{
    QMutexLocker lock(&m_mutex);
    QStringList found;
    for (const QString& line : m_lines) {
        if (line.contains(text))
            found.append(line);
    }
    return found;
}

void MessageCapture::clear()
{
    QMutexLocker lock(&m_mutex);
    m_lines.clear();
}
