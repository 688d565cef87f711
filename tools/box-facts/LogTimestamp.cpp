#include "BoxFacts.h"

#include <QDateTime>
#include <QRegularExpression>

// The event log's message handler puts Qt's text date, in the C locale the box runs the tool in,
// in brackets ahead of each line.
QString LogTimestampPattern()
{
    const QString pattern =
        QStringLiteral("^\\[[A-Z][a-z]{2} [A-Z][a-z]{2} \\d{1,2} \\d{2}:\\d{2}:\\d{2} \\d{4}\\] ");
    // It must take every day of a leap year, morning and evening, as Qt writes it.
    const QRegularExpression timestamp(pattern);
    for (QDate day(2032, 1, 1); day.year() == 2032; day = day.addDays(1))
    {
        for (const QTime& time : {QTime(0, 0, 0), QTime(23, 59, 59)})
        {
            const QString line = '[' + QDateTime(day, time).toString(Qt::TextDate) + "] Debug: x";
            if (!timestamp.match(line).hasMatch())
                Refuse("the time stamp pattern misses " + line);
        }
    }
    return pattern;
}
