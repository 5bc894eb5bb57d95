#pragma once

#include <QString>

#include <cstdio>

// Shows progress values: a bar redrawn in place on a terminal, one line per
// value ("progress 0.35") anywhere else.
class ProgressView
{
public:
    static constexpr int barWidth = 40;

    ProgressView(std::FILE* out, bool terminal);

    // `value` is the web UI's fraction of the job, 0 to 1.
    void show(const QString& valueText, double value);
    // Ends the bar's line, if one is drawn, so that later output starts on a line of its own.
    void end();

private:
    std::FILE* m_out;
    bool m_terminal;
    bool m_barDrawn = false;
};
