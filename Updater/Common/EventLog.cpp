#include "UpdateUtils.h"

#include <QByteArray>
#include <QDateTime>
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
// step once its buffer is full: only a regular file is appended to, else the line goes to
// standard error as for a missing directory.
FILE* OpenLogFile(const char* path)
{
    if (path == nullptr)
    {
        return nullptr;
    }
    const int descriptor =
        open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (descriptor < 0)
    {
        return nullptr;
    }
    struct stat status
    {
    };
    FILE* stream = nullptr;
    if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode))
    {
        stream = fdopen(descriptor, "a");
    }
    if (stream == nullptr)
    {
        close(descriptor);
    }
    return stream;
}
} // namespace

void customMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QByteArray text = message.toLocal8Bit();
    // Opened and closed around every line: nothing is lost if the process dies between
    // messages, and a log directory that appears later is used from then on.
    FILE* logFile = OpenLogFile(gUpdaterLogFile);
    FILE* out = logFile ? logFile : stderr;

    const QByteArray timestamp = QDateTime::currentDateTime().toString(Qt::TextDate).toLocal8Bit();
    const char* time = timestamp.constData();
    const char* msg = text.constData();
    const char* file = OrAbsent(context.file);
    const char* function = OrAbsent(context.function);
    const unsigned line = static_cast<unsigned>(context.line);

    switch (type)
    {
    case QtDebugMsg:
        std::fprintf(out, "[%s] Debug: %s (%s)\n", time, msg, function);
        break;
    case QtInfoMsg:
        std::fprintf(out, "[%s] Info: %s (%s)\n", time, msg, function);
        break;
    case QtWarningMsg:
        std::fprintf(out, "[%s] Warning: %s (%s:%u, %s)\n", time, msg, file, line, function);
        break;
    case QtCriticalMsg:
        std::fprintf(out, "[%s] Critical: %s (%s:%u, %s)\n", time, msg, file, line, function);
        break;
    case QtFatalMsg:
        std::fprintf(out, "[%s] Fatal: %s (%s:%u, %s)\n", time, msg, file, line, function);
        std::fflush(out);
        std::abort();
    }

    if (logFile)
    {
        std::fclose(logFile);
    }
}
