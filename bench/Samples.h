#pragma once

#include <QString>
#include <QVector>

#include <algorithm>
#include <cmath>

// A set of measurements of one figure.
class Samples
{
public:
    void add(double value) { m_values.append(value); }
    bool isEmpty() const { return m_values.isEmpty(); }
    int size() const { return m_values.size(); }

    // The value below which the given share (0..1) of the samples lies, nearest rank.
    double percentile(double share) const
    {
        if (m_values.isEmpty())
            return 0;
        QVector<double> sorted = m_values;
        std::sort(sorted.begin(), sorted.end());
        const int rank = std::max(1, static_cast<int>(std::ceil(share * sorted.size())));
        return sorted.at(std::min(rank, sorted.size()) - 1);
    }
    double median() const { return percentile(0.5); }
    double min() const
    {
        return m_values.isEmpty() ? 0 : *std::min_element(m_values.begin(), m_values.end());
    }
    double max() const
    {
        return m_values.isEmpty() ? 0 : *std::max_element(m_values.begin(), m_values.end());
    }

    // "median (min–max)" with the given number of decimals.
    QString summary(int decimals = 2) const
    {
        return QStringLiteral("%1 (%2-%3)")
            .arg(median(), 0, 'f', decimals)
            .arg(min(), 0, 'f', decimals)
            .arg(max(), 0, 'f', decimals);
    }

private:
    QVector<double> m_values;
};
