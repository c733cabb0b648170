// The settings file must behave like the profile functions it was designed
// around: defaults for what is missing, names without regard to case, and a
// write that changes only its own line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/Exception.h"
#include "platform/ProfileFile.h"
#include "support/TempDir.h"

namespace {

struct ProfileFileTest : ::testing::Test {
    TempDir dir;
    std::string path = dir.File("options.ini");
    TProfileFile ini{path};
};

TEST_F(ProfileFileTest, MissingFileSectionOrKeyGivesTheDefault) {
    EXPECT_EQ(ini.ReadString("Account", "Host", "ERROR"), "ERROR");
    dir.Write("options.ini", "[Other]\nHost=a\n[Account]\nUserId=u\n");
    EXPECT_EQ(ini.ReadString("Account", "Host", "ERROR"), "ERROR");
    EXPECT_EQ(ini.ReadString("Missing", "UserId", ""), "");
    EXPECT_EQ(ini.ReadString("Account", "UserId", "ERROR"), "u");
}

TEST_F(ProfileFileTest, SectionAndKeyNamesIgnoreCase) {
    dir.Write("options.ini", "[ACCOUNT]\r\n  host = pop.example.org  \r\n");
    EXPECT_EQ(ini.ReadString("Account", "Host", "ERROR"), "pop.example.org");
    ini.WriteString("account", "HOST", "new");
    EXPECT_EQ(dir.Read("options.ini"), "[ACCOUNT]\r\nhost=new\r\n");
}

TEST_F(ProfileFileTest, ValuesAreCutAt2047Characters) {
    dir.Write("options.ini", "[Account]\nPath=" + std::string(3000, 'x') + "\n");
    EXPECT_EQ(ini.ReadString("Account", "Path", "").size(), 2047u);
}

TEST_F(ProfileFileTest, WriteKeepsEveryOtherLine) {
    const std::string before = "; written by hand\n[Account]\nHost=a\n# note\nUnknown=1\n\n"
                               "[Other]\nHost=b\n";
    dir.Write("options.ini", before);
    ini.WriteString("Account", "Host", "c");
    ini.WriteString("Account", "Time", "3");
    ini.WriteString("Third", "X", "y");
    EXPECT_EQ(dir.Read("options.ini"), "; written by hand\n[Account]\nHost=c\n# note\nUnknown=1\n"
                                       "Time=3\n\n[Other]\nHost=b\n[Third]\nX=y\n");
}

TEST_F(ProfileFileTest, WriteCreatesAFileOnlyTheOwnerCanRead) {
    ini.WriteString("Account", "Time", "3");
    EXPECT_EQ(dir.Read("options.ini"), "[Account]\nTime=3\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ProfileFileTest, FailedWriteNamesTheFile) {
    TProfileFile nowhere(dir.File("no/such/folder/options.ini"));
    try {
        nowhere.WriteString("Account", "Time", "3");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Unable to write to " + dir.File("no/such/folder/options.ini"));
    }
}

TEST_F(ProfileFileTest, WriteReplacesTheFileAtomically) {
    dir.Write("options.ini", "[Account]\nHost=a\n");
    struct stat before {};
    ::stat(path.c_str(), &before);
    ini.WriteString("Account", "Host", "b");
    struct stat after {};
    ::stat(path.c_str(), &after);
    // A new inode means readers saw either the old file or the new one.
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(ini.ReadString("Account", "Host", ""), "b");
}

} // namespace
