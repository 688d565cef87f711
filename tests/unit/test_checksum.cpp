#include "DovozUdiZedezod.h"
#include "TestBox.h"
#include "UpdateUtils.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

namespace
{
const QByteArray IMAGE("initial RAM disk image\n");
const QByteArray DIGEST = QCryptographicHash::hash(IMAGE, QCryptographicHash::Md5).toHex();
const QByteArray OTHER = QCryptographicHash::hash("other", QCryptographicHash::Md5).toHex();
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
    const QList<std::tuple<QByteArray, QByteArray, bool>> cases = {
        {DIGEST + "  some-other-name\n", IMAGE, true},
        {DIGEST, IMAGE, true},
        {DIGEST + "\n", IMAGE, true},
        {DIGEST + "\r\n", IMAGE, true},
        {DIGEST + "  image\n" + OTHER + "  other\n", IMAGE, true},
        {"d41d8cd98f00b204e9800998ecf8427e  image\n", "", true},
        {OTHER + "  other\n" + DIGEST + "  image\n", IMAGE, false},
        {DIGEST.toUpper(), IMAGE, false},
        {" " + DIGEST + "\n", IMAGE, false},
        {DIGEST.left(31), IMAGE, false},
        {DIGEST + "0", IMAGE, false},
    };
    for (const auto& [companion, content, expected] : cases)
    {
        EXPECT_EQ(Check(companion, content), expected) << companion.toStdString();
    }
}

TEST_F(ChecksumTest, LogShowsBothDigestsAlignedAndAMissingCompanionAsEmpty)
{
    EXPECT_FALSE(Check(OTHER + "  image\n"));
    ASSERT_TRUE(QFile::remove(data + ".md5"));
    EXPECT_FALSE(CheckChecksum(data));
    const QString in(" (bool CheckChecksum(const QString&))");
    const QString checking = "Debug: Checking checksum of \"" + data + "\"" + in;
    const QString calculated = "Debug: Calculated: \"" + DIGEST + "\"" + in;
    EXPECT_EQ(LogMessages(),
              QStringList({checking, calculated, "Debug: Read:       \"" + OTHER + "\"" + in,
                           checking, calculated, "Debug: Read:       \"\"" + in}));
}

TEST_F(ChecksumTest, ControllerRemembersOnlyAMatch)
{
    const QString image = BoxPath("/home/pxm/Firmware/uInitrd");
    ASSERT_TRUE(QDir().mkpath(BoxPath("/home/pxm/Firmware")));
    WriteFile(image, IMAGE);
    WriteFile(image + ".md5", OTHER);
    cDovozUdiZedezod controller;
    EXPECT_FALSE(controller.CheckFirmwareChecksum());

    // A mismatch is checked again; once the image matched, it is not read again.
    WriteFile(image + ".md5", DIGEST);
    EXPECT_TRUE(controller.CheckFirmwareChecksum());
    WriteFile(image, "changed since");
    EXPECT_TRUE(controller.CheckFirmwareChecksum());
}
