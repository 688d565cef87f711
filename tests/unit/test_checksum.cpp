#include "DovozUdiZedezod.h"
#include "TestBox.h"
#include "UpdateUtils.h"

#include <QCryptographicHash>
#include <QDir>
#include <QRegularExpression>

namespace
{
const QByteArray IMAGE("initial RAM disk image\n");
const QByteArray DIGEST = QCryptographicHash::hash(IMAGE, QCryptographicHash::Md5).toHex();
const QByteArray OTHER = QCryptographicHash::hash("other", QCryptographicHash::Md5).toHex();
const QString IN_CHECK_CHECKSUM(" (bool CheckChecksum(const QString&))");
} // namespace

class ChecksumTest : public BoxTest
{
protected:
    const QString data = BoxPath("/home/pxm/image");

    bool Check(const QByteArray& companion, const QByteArray& content = IMAGE)
    {
        WriteFile(data, content);
        WriteFile(data + ".md5", companion);
        return CheckChecksum(data);
    }
};

TEST_F(ChecksumTest, OnlyTheFirstFieldOfTheFirstLineCountsAndExactly)
{
    const QList<QPair<QByteArray, bool>> cases = {
        {DIGEST + "  image\n", true},
        {DIGEST + "  some-other-name\n", true},
        {DIGEST, true},
        {DIGEST + "\n", true},
        {DIGEST + "\r\n", true},
        {DIGEST + "  image\n" + OTHER + "  other\n", true},
        {OTHER + "  other\n" + DIGEST + "  image\n", false},
        {DIGEST.toUpper(), false},
        {" " + DIGEST + "\n", false},
        {"\t" + DIGEST + "  image\n", false},
        {DIGEST.left(31), false},
        {DIGEST + "0", false},
        {"", false},
    };
    for (const auto& [companion, expected] : cases)
    {
        EXPECT_EQ(Check(companion), expected) << companion.toStdString();
    }
}

TEST_F(ChecksumTest, EmptyOrMissingDataHashesAsEmptyInput)
{
    EXPECT_TRUE(Check("d41d8cd98f00b204e9800998ecf8427e  image\n", ""));
    ASSERT_TRUE(QFile::remove(data));
    EXPECT_TRUE(CheckChecksum(data));
}

TEST_F(ChecksumTest, LogShowsBothDigestsAlignedAndAMissingCompanionAsEmpty)
{
    EXPECT_FALSE(Check(OTHER + "  image\n"));
    ASSERT_TRUE(QFile::remove(data + ".md5"));
    EXPECT_FALSE(CheckChecksum(data));
    const QString checking = "Debug: Checking checksum of \"" + data + "\"" + IN_CHECK_CHECKSUM;
    const QString calculated = "Debug: Calculated: \"" + DIGEST + "\"" + IN_CHECK_CHECKSUM;
    EXPECT_EQ(LogMessages(),
              QStringList({checking, calculated,
                           "Debug: Read:       \"" + OTHER + "\"" + IN_CHECK_CHECKSUM, checking,
                           calculated, "Debug: Read:       \"\"" + IN_CHECK_CHECKSUM}));
}

using FirmwareChecksumTest = BoxTest;

TEST_F(FirmwareChecksumTest, OnlyAMatchIsRememberedAndThenNothingIsRead)
{
    ASSERT_TRUE(QDir().mkpath(UPDATER_FIRMWARE_DIRECTORY_PATH));
    WriteFile(UPDATER_UINITRD_FILE, IMAGE);
    WriteFile(UPDATER_UINITRD_CHECKSUM_FILE, OTHER + "  uInitrd\n");

    cDovozUdiZedezod updater;
    EXPECT_FALSE(updater.CheckFirmwareChecksum());
    WriteFile(UPDATER_UINITRD_CHECKSUM_FILE, DIGEST + "  uInitrd\n");
    EXPECT_TRUE(updater.CheckFirmwareChecksum());
    WriteFile(UPDATER_UINITRD_FILE, "changed afterwards");
    const int linesBefore = LogMessages().size();
    EXPECT_TRUE(updater.CheckFirmwareChecksum());
    EXPECT_FALSE(cDovozUdiZedezod().CheckFirmwareChecksum());

    const QStringList lines = LogMessages().mid(linesBefore);
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[0].contains(
        QRegularExpression("^Debug: Checked Firmware Checksum in: \\d+ ms \\(bool "
                           "cDovozUdiZedezod::CheckFirmwareChecksum\\(\\)\\)$")))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith("Debug: Checking checksum of"));
}
