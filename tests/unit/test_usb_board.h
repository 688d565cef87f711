#pragma once

// Boards for the USB unit tests:
// - PtyBoard: a pseudo-terminal opened in the test, whose master a thread of the test plays,
//   recording every byte the code under test wrote and answering each frame by a rule.
// - SimulatedBoard: the board-simulator program, started for one test and stopped again.

#include "TestBox.h"
#include "UpdateLimits.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<unsigned char>;

// Readable failure output for Qt strings.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

inline Bytes ToBytes(const QByteArray& array)
{
    return Bytes(array.begin(), array.end());
}

// The event log's messages without "Debug: " and without the logging function's signature.
inline QStringList Messages()
{
    static const QRegularExpression line(
        QStringLiteral("^Debug: (.*) \\([^()]*\\([^()]*\\)[^()]*\\)$"),
        QRegularExpression::DotMatchesEverythingOption);
    QStringList messages;
    for (const QString& message : LogMessages())
    {
        const QRegularExpressionMatch match = line.match(message);
        messages << (match.hasMatch() ? match.captured(1) : message);
    }
    return messages;
}

inline QByteArray Pattern(int size)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
    {
        image[i] = static_cast<char>((i * 7 + 3) % 251);
    }
    return image;
}

class PtyBoard
{
public:
    // Answers a whole frame; the default accepts transfer messages that expect a status.
    using Rule = std::function<Bytes(const Bytes& frame)>;

    static Bytes AcceptTransfers(const Bytes& frame)
    {
        if (frame.size() >= 4 && (frame[3] == 0 || frame[3] == 1))
        {
            return {0};
        }
        return {};
    }

    explicit PtyBoard(const QString& link, Rule rule = AcceptTransfers) : mRule(std::move(rule))
    {
        mMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(mMaster, 0);
        EXPECT_EQ(grantpt(mMaster), 0);
        EXPECT_EQ(unlockpt(mMaster), 0);
        mSlavePath = ptsname(mMaster);
        mSlave = open(mSlavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(mSlave, 0);
        termios settings{};
        tcgetattr(mSlave, &settings);
        cfmakeraw(&settings);
        tcsetattr(mSlave, TCSANOW, &settings);
        fcntl(mMaster, F_SETFL, fcntl(mMaster, F_GETFL) | O_NONBLOCK);
        QFile::remove(link);
        EXPECT_EQ(symlink(mSlavePath.c_str(), link.toLocal8Bit().constData()), 0);
        mThread = std::thread([this] { Play(); });
    }

    ~PtyBoard()
    {
        mStop = true;
        mThread.join();
        close(mSlave);
        close(mMaster);
    }

    // Every byte written to the device so far.
    Bytes Received()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mReceived;
    }
    std::vector<Bytes> Frames()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mFrames;
    }

private:
    bool ReadSome(unsigned char* into, size_t size)
    {
        size_t got = 0;
        while (got < size)
        {
            if (mStop)
                return false;
            const ssize_t count = read(mMaster, into + got, size - got);
            if (count > 0)
            {
                std::lock_guard<std::mutex> lock(mMutex);
                mReceived.insert(mReceived.end(), into + got, into + got + count);
                got += static_cast<size_t>(count);
                continue;
            }
            pollfd descriptor{mMaster, POLLIN, 0};
            poll(&descriptor, 1, 20);
        }
        return true;
    }

    void Play()
    {
        while (!mStop)
        {
            unsigned char head[2];
            if (!ReadSome(head, 2))
                return;
            const size_t length = (size_t(head[0]) << 8) | head[1];
            Bytes frame(head, head + 2);
            if (length > 2)
            {
                frame.resize(length);
                if (!ReadSome(frame.data() + 2, length - 2))
                    return;
            }
            {
                std::lock_guard<std::mutex> lock(mMutex);
                mFrames.push_back(frame);
            }
            const Bytes answer = mRule(frame);
            if (!answer.empty())
            {
                EXPECT_EQ(write(mMaster, answer.data(), answer.size()),
                          static_cast<ssize_t>(answer.size()));
            }
        }
    }

    Rule mRule;
    int mMaster = -1;
    int mSlave = -1;
    std::string mSlavePath;
    std::atomic<bool> mStop{false};
    std::mutex mMutex;
    Bytes mReceived;
    std::vector<Bytes> mFrames;
    std::thread mThread;
};

class SimulatedBoard
{
public:
    SimulatedBoard(const QString& link, const QStringList& arguments)
    {
        mReport = BoxPath("/sim-report.json");
        mImage = BoxPath("/sim-image.bin");
        // A cross build runs the simulator, like the tool, through its emulator.
        std::vector<std::string> argv;
        for (const QString& word :
             QString::fromLatin1(BOARD_SIMULATOR_EMULATOR).split(' ', Qt::SkipEmptyParts))
        {
            argv.push_back(word.toStdString());
        }
        const std::vector<std::string> simulator = {BOARD_SIMULATOR_PATH,
                                                    "--link",
                                                    link.toStdString(),
                                                    "--report",
                                                    mReport.toStdString(),
                                                    "--image",
                                                    mImage.toStdString(),
                                                    "--timeout",
                                                    "120",
                                                    "--die-with-parent"};
        argv.insert(argv.end(), simulator.begin(), simulator.end());
        for (const QString& argument : arguments)
        {
            argv.push_back(argument.toStdString());
        }
        int output[2];
        EXPECT_EQ(pipe(output), 0);
        mPid = fork();
        if (mPid == 0)
        {
            dup2(output[1], STDOUT_FILENO);
            close(output[0]);
            close(output[1]);
            std::vector<char*> pointers;
            for (std::string& argument : argv)
                pointers.push_back(argument.data());
            pointers.push_back(nullptr);
            execvp(pointers[0], pointers.data());
            _exit(127);
        }
        close(output[1]);
        // Wait for "ready <slave>".
        std::string line;
        char c;
        pollfd descriptor{output[0], POLLIN, 0};
        while (poll(&descriptor, 1, 10000) > 0 && read(output[0], &c, 1) == 1 && c != '\n')
        {
            line += c;
        }
        close(output[0]);
        EXPECT_EQ(line.rfind("ready ", 0), 0u) << line;
    }

    ~SimulatedBoard() { Stop(); }

    // Ends the simulator and returns its exit status.
    int Stop()
    {
        if (mPid > 0)
        {
            kill(mPid, SIGTERM);
            int status = 0;
            waitpid(mPid, &status, 0);
            mPid = -1;
            mExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return mExit;
    }

    QJsonObject Report()
    {
        QFile file(mReport);
        file.open(QIODevice::ReadOnly);
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    QJsonObject Transfer(int index = 0)
    {
        return Report()["transfers"].toArray()[index].toObject();
    }

    QByteArray Image()
    {
        QFile file(mImage);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    pid_t mPid = -1;
    int mExit = -1;
    QString mReport;
    QString mImage;
};
