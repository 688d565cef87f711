#include "DovozUdiZedezod.h"
#include "TestBox.h"
#include "UpdateUtils.h"

#include <QCryptographicHash>
#include <QDir>

namespace
{
const QByteArray IMAGE("initial RAM disk image\n");
const QByteArray DIGEST = QCryptographicHash::hash(IMAGE, QCryptographicHash::Md5).toHex();
const QByteArray OTHER = QCryptographicHash::hash("other", QCryptographicHash::Md5).toHex();

void WritePair(const QByteArray& image, const QByteArray& companion)
{
    QDir().mkpath(UPDATER_FIRMWARE_DIRECTORY_PATH);
    WriteFile(UPDATER_UINITRD_FILE, image);
    WriteFile(UPDATER_UINITRD_CHECKSUM_FILE, companion);
}
} // namespace

using ChecksumTest = BoxTest;

// Only the first field of the companion's first line counts, and only as the exact lowercase
// digest. (The download reads companions the same way; its tests cover names, line ends and a
// leading blank.)
TEST_F(ChecksumTest, OnlyTheExactDigestFirstOnTheFirstLineMatches)
{
    const struct
    {
        const char* title;
        QByteArray companion;
        bool matches;
    } cases[] = {
        {.title = "first, a name after it and another line after that",
         .companion = DIGEST + "  uInitrd\n" + OTHER + "  other\n",
         .matches = true},
        {.title = "on the second line only",
         .companion = OTHER + "  other\n" + DIGEST + "  uInitrd\n",
         .matches = false},
        {.title = "in uppercase", .companion = DIGEST.toUpper(), .matches = false},
        {.title = "a digit short", .companion = DIGEST.left(31), .matches = false},
        {.title = "a digit too many", .companion = DIGEST + "0", .matches = false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.title);
        WritePair(IMAGE, c.companion);
        EXPECT_EQ(CheckChecksum(UPDATER_UINITRD_FILE), c.matches);
    }
}

TEST_F(ChecksumTest, LogShowsTheFileAndBothDigestsAligned)
{
    WritePair(IMAGE, OTHER + "  uInitrd\n");
    EXPECT_FALSE(CheckChecksum(UPDATER_UINITRD_FILE));
    const QString in(" (bool CheckChecksum(const QString&))");
    EXPECT_EQ(LogMessages(),
              QStringList({"Debug: Checking checksum of \"" + UPDATER_UINITRD_FILE + "\"" + in,
                           "Debug: Calculated: \"" + DIGEST + "\"" + in,
                           "Debug: Read:       \"" + OTHER + "\"" + in}));
}

// A mismatch is checked again; once the image matched, it is not read again.
TEST_F(ChecksumTest, ControllerRemembersOnlyAMatch)
{
    WritePair(IMAGE, OTHER);
    cDovozUdiZedezod controller;
    EXPECT_FALSE(controller.CheckFirmwareChecksum());
    WritePair(IMAGE, DIGEST);
    EXPECT_TRUE(controller.CheckFirmwareChecksum());
    WritePair("changed since", DIGEST);
    EXPECT_TRUE(controller.CheckFirmwareChecksum());
}
