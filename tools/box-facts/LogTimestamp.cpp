#include "BoxFacts.h"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>
#include <QStringList>

namespace
{
// A moment whose fields all differ, so that each can be told apart in Qt's text of it.
const QDateTime kSample(QDate(2031, 11, 23), QTime(17, 45, 52));

// The short day or month names of the locale the text date uses, as alternatives.
QString AnyName(int count, QString (QLocale::*name)(int, QLocale::FormatType) const)
{
    QStringList names;
    for (int i = 1; i <= count; ++i)
    {
        names << QRegularExpression::escape((QLocale::system().*name)(i, QLocale::ShortFormat));
    }
    return "(?:" + names.join('|') + ')';
}

// The pattern of one blank-separated field of the sample's text date; the widths of the numbers
// are the text date's.
QString FieldPattern(const QString& field)
{
    const QLocale locale = QLocale::system();
    if (field == locale.dayName(kSample.date().dayOfWeek(), QLocale::ShortFormat))
        return AnyName(7, &QLocale::dayName);
    if (field == locale.monthName(kSample.date().month(), QLocale::ShortFormat))
        return AnyName(12, &QLocale::monthName);
    if (field == QString::number(kSample.date().day()))
        return QStringLiteral("\\d{1,2}");
    if (field == kSample.time().toString(QStringLiteral("hh:mm:ss")))
        return QStringLiteral("\\d{2}:\\d{2}:\\d{2}");
    if (field == QString::number(kSample.date().year()))
        return QStringLiteral("\\d{4}");
    Refuse("Qt's text date holds a field the time stamp pattern does not know: " + field);
}

// The pattern must take every day of a leap year, morning and evening, as Qt writes it.
void CheckAgainstQt(const QRegularExpression& timestamp)
{
    for (QDate day(2032, 1, 1); day.year() == 2032; day = day.addDays(1))
    {
        for (const QTime& time : {QTime(0, 0, 0), QTime(23, 59, 59)})
        {
            const QString line = '[' + QDateTime(day, time).toString(Qt::TextDate) + "] Debug: x";
            if (!timestamp.match(line).hasMatch())
                Refuse("the time stamp pattern misses " + line);
        }
    }
}
} // namespace

QString LogTimestampPattern()
{
    QStringList fields;
    for (const QString& field : kSample.toString(Qt::TextDate).split(' '))
    {
        fields << FieldPattern(field);
    }
    // The event log's message handler puts the text date in brackets ahead of each line.
    const QString pattern = "^\\[" + fields.join(' ') + "\\] ";
    const QRegularExpression timestamp(pattern);
    if (!timestamp.isValid())
        Refuse("the time stamp pattern is no regular expression: " + pattern);
    CheckAgainstQt(timestamp);
    return pattern;
}
