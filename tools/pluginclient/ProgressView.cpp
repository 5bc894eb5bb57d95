#include "ProgressView.h"

#include <QByteArray>

#include <algorithm>
#include <cmath>

ProgressView::ProgressView(std::FILE* out, bool terminal) : m_out(out), m_terminal(terminal) {}

void ProgressView::show(const QString& valueText, double value)
{
    if (!m_terminal) {
        std::fprintf(m_out, "progress %s\n", valueText.toUtf8().constData());
        std::fflush(m_out);
        return;
    }
    const double fraction = std::isfinite(value) ? std::clamp(value, 0.0, 1.0) : 0.0;
    const int filled = int(std::lround(fraction * barWidth));
    const int percent = int(std::lround(fraction * 100));
    const QByteArray bar = QByteArray(filled, '#') + QByteArray(barWidth - filled, '-');
    std::fprintf(m_out, "\r[%s] %3d%%", bar.constData(), percent);
    std::fflush(m_out);
    m_barDrawn = true;
}

void ProgressView::end()
{
    if (m_barDrawn) {
        std::fputc('\n', m_out);
        std::fflush(m_out);
        m_barDrawn = false;
    }
}
