#include "TestBox.h"

#include <QCryptographicHash>

namespace
{
const QByteArray IMAGE("initial RAM disk image\n");
// Past the first read of a file: a digest of its start alone would differ.
const QByteArray LARGE_IMAGE = QByteArray(64 * 1024, 'i') + "end";
const QByteArray OTHER("other");

QByteArray Md5(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}
} // namespace

using ChecksumTest = BoxTest;

// Only the first field of the companion's first line counts, and only as the exact lowercase
// digest of the whole image. (The download reads its companion the same way.)
TEST_F(ChecksumTest, OnlyTheExactDigestFirstOnTheFirstLineMatches)
{
    const struct
    {
        const char* title;
        QByteArray image;
        QByteArray companion;
        bool matches;
    } cases[] = {
        {"first, a name and a line after it", IMAGE, Md5(IMAGE) + "  uInitrd\n" + OTHER, true},
        {"of an image past the first read", LARGE_IMAGE, Md5(LARGE_IMAGE), true},
        {"on the second line only", IMAGE, Md5(OTHER) + "  other\n" + Md5(IMAGE), false},
        {"in uppercase", IMAGE, Md5(IMAGE).toUpper(), false},
        {"a digit short", IMAGE, Md5(IMAGE).left(31), false},
        {"a digit too many", IMAGE, Md5(IMAGE) + "0", false},
    };
    QDir().mkpath(UPDATER_FIRMWARE_DIRECTORY_PATH);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.title);
        WriteFile(UPDATER_UINITRD_FILE, c.image);
        WriteFile(UPDATER_UINITRD_CHECKSUM_FILE, c.companion);
        EXPECT_EQ(CheckChecksum(UPDATER_UINITRD_FILE), c.matches);
    }
}
