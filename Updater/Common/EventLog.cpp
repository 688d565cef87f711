#include "UpdateUtils.h"

#include <QByteArray>
#include <QDateTime>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// Qt leaves file and function empty for some of its own messages; print what glibc prints
// for an absent string rather than hand a null pointer to printf.
const char* OrAbsent(const char* text)
{
    return text ? text : "(null)";
}

// The log lies where other programs of the box write too. A link planted at its name must not
// make a tool run as root append to whatever it points at, and a FIFO there must not block the
// step once its buffer is full: only a regular file is appended to.
int OpenLogFile(const char* path)
{
    if (path == nullptr)
    {
        return -1;
    }
    const int descriptor =
        open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat status
    {
    };
    if (descriptor >= 0 && (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)))
    {
        close(descriptor);
        return -1;
    }
    return descriptor;
}

// One write for the whole line, so that lines of runs at the same time stay whole. False when
// not all of it reached the file: the log lies in the home, which a full disk leaves no room in.
bool AppendToLog(const QByteArray& line)
{
    const int descriptor = OpenLogFile(gUpdaterLogFile);
    if (descriptor < 0)
    {
        return false;
    }
    const ssize_t written = write(descriptor, line.constData(), static_cast<size_t>(line.size()));
    close(descriptor);
    return written == line.size();
}

// The bytes printf would write, in one piece.
__attribute__((format(printf, 1, 2))) QByteArray Printed(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    QByteArray printed(length > 0 ? length + 1 : 1, Qt::Uninitialized);
    std::vsnprintf(printed.data(), static_cast<size_t>(printed.size()), format, again);
    va_end(again);
    printed.chop(1); // the terminating NUL
    return printed;
}

// The line of one message; nothing for a type without a format.
QByteArray FormatLine(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QByteArray text = message.toLocal8Bit();
    const QByteArray timestamp = QDateTime::currentDateTime().toString(Qt::TextDate).toLocal8Bit();
    const char* time = timestamp.constData();
    const char* msg = text.constData();
    const char* file = OrAbsent(context.file);
    const char* function = OrAbsent(context.function);
    const unsigned line = static_cast<unsigned>(context.line);

    switch (type)
    {
    case QtDebugMsg:
        return Printed("[%s] Debug: %s (%s)\n", time, msg, function);
    case QtInfoMsg:
        return Printed("[%s] Info: %s (%s)\n", time, msg, function);
    case QtWarningMsg:
        return Printed("[%s] Warning: %s (%s:%u, %s)\n", time, msg, file, line, function);
    case QtCriticalMsg:
        return Printed("[%s] Critical: %s (%s:%u, %s)\n", time, msg, file, line, function);
    case QtFatalMsg:
        return Printed("[%s] Fatal: %s (%s:%u, %s)\n", time, msg, file, line, function);
    }
    return QByteArray();
}
} // namespace

// The file is opened and closed around every line: nothing is lost if the process dies between
// messages, and a log directory that appears later is used from then on. A line that cannot be
// appended to it goes to standard error instead.
void customMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QByteArray line = FormatLine(type, context, message);
    if (!line.isEmpty() && !AppendToLog(line))
    {
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    }
    if (type == QtFatalMsg)
    {
        std::fflush(stderr);
        std::abort();
    }
}
