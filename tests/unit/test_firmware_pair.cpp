#include "FirmwarePair.h"
#include "LayOut.h"
#include "TestBox.h"

#include <QDir>

// What a download killed while putting its pair in place leaves, and what the next step that
// takes the update files lock makes of it: the old pair or the new one, never a mix.
struct cInterrupted
{
    const char* when;
    std::vector<cEntry> left;
    QByteArray archive;   // afterwards
    QByteArray companion; // afterwards
};

const cInterrupted INTERRUPTED[] = {
    {.when = "before the companion took its pending name",
     .left = {{"Firmware.tar.xz", 'f', "old archive"},
              {"Firmware.tar.xz.md5", 'f', "old sum"},
              {"Firmware.tar.xz.pending", 'f', "new archive"}},
     .archive = "old archive",
     .companion = "old sum"},
    {.when = "once both had their pending names",
     .left = {{"Firmware.tar.xz", 'f', "old archive"},
              {"Firmware.tar.xz.md5", 'f', "old sum"},
              {"Firmware.tar.xz.pending", 'f', "new archive"},
              {"Firmware.tar.xz.md5.pending", 'f', "new sum"}},
     .archive = "new archive",
     .companion = "new sum"},
    {.when = "between the two renames into place",
     .left = {{"Firmware.tar.xz", 'f', "new archive"},
              {"Firmware.tar.xz.md5", 'f', "old sum"},
              {"Firmware.tar.xz.md5.pending", 'f', "new sum"}},
     .archive = "new archive",
     .companion = "new sum"},
};

using FirmwarePairTest = BoxTest;

TEST_F(FirmwarePairTest, TheNextStepFindsTheOldPairOrTheNewOne)
{
    for (const cInterrupted& interrupted : INTERRUPTED)
    {
        SCOPED_TRACE(interrupted.when);
        ResetBox();
        LayOut(interrupted.left);

        FinishPlacingFirmwarePair();

        EXPECT_EQ(ReadFile(UPDATER_ARCHIVE_FILE), interrupted.archive);
        EXPECT_EQ(ReadFile(UPDATER_CHECKSUM_FILE), interrupted.companion);
        EXPECT_EQ(QDir(PXM_HOME).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name),
                  QStringList({"Firmware.tar.xz", "Firmware.tar.xz.md5", "PXMPersistentData"}));
    }
}
