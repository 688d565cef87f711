// Usage: checksum-bench FILE
// Verifies FILE against FILE.md5 with CheckChecksum and prints the seconds it took, then the
// result (1 for a match). Log lines go to standard error.

#include "UpdateUtils.h"

#include <QElapsedTimer>
#include <QString>
#include <cstdio>

const char* gUpdaterLogFile = nullptr;

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    QElapsedTimer timer;
    timer.start();
    const bool match = CheckChecksum(QString::fromLocal8Bit(argv[1]));
    std::printf("%.4f %d\n", timer.nsecsElapsed() / 1e9, match ? 1 : 0);
    return match ? 0 : 1;
}
