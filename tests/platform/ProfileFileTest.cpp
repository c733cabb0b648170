// The settings file must behave like the profile functions it was designed
// around: defaults for what is missing, names without regard to case, and a
// write that changes only its own line.
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

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

// What the settings file holds when a user cannot read it (the path stays a
// regular file owned by someone else): reading it is an error, and a write
// leaves it alone instead of rebuilding it from nothing.
struct UnreadableProfileFile : ::testing::Test {
    TempDir dir;
    std::string folder = dir.File("shared");
    std::string path = folder + "/options.ini";
    const std::string settings = "[Account]\nHost=pop.example.org\nOutHost=smtp.example.org\n";

    void SetUp() override {
        std::filesystem::create_directory(folder);
        // A folder the user may write to, a file the user may not read.
        ::chmod(dir.Path().c_str(), 0711);
        ::chmod(folder.c_str(), 0777);
        dir.Write("shared/options.ini", settings);
        ::chmod(path.c_str(), 0600);
    }
};

// Runs `body` as a user other than the file's owner: as root, with the file
// system identity of "nobody" on this thread only (root reads everything);
// otherwise with the file's read permission taken away.
template <class Body> void AsAnotherUser(const std::string& path, Body body) {
    if (::geteuid() == 0) {
        ::setfsuid(65534);
        ASSERT_EQ(::setfsuid(static_cast<uid_t>(-1)), 65534);
        body();
        ::setfsuid(0);
    } else {
        ::chmod(path.c_str(), 0200);
        body();
        ::chmod(path.c_str(), 0600);
    }
}

TEST_F(UnreadableProfileFile, ReadingIsAnErrorAndAWriteChangesNothing) {
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    std::string readError, writeError;
    AsAnotherUser(path, [&] {
        TProfileFile ini(path);
        try {
            ini.ReadString("Account", "Host", "ERROR");
        } catch (const EInOutError& e) {
            readError = e.Message();
        }
        try {
            ini.WriteString("Account", "Time", "3");
        } catch (const EInOutError& e) {
            writeError = e.Message();
        }
    });
    EXPECT_EQ(readError, "Unable to read " + path + ": Permission denied");
    EXPECT_EQ(writeError, readError);
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(dir.Read("shared/options.ini"), settings);
    EXPECT_EQ(std::filesystem::directory_iterator(folder)->path().filename(), "options.ini");
}

struct NotAFileCase {
    const char* name;
    std::string (*make)(const TempDir& dir); // makes the path, returns it
    const char* reason;
};

const NotAFileCase kNotAFile[] = {
    {"folder",
     [](const TempDir& dir) {
         std::filesystem::create_directory(dir.File("options.ini"));
         return dir.File("options.ini");
     },
     "Is a directory"},
    // Opening a FIFO for reading would wait for a writer that never comes.
    {"fifo",
     [](const TempDir& dir) {
         ::mkfifo(dir.File("options.ini").c_str(), 0600);
         return dir.File("options.ini");
     },
     "not a regular file"},
    {"path through a file",
     [](const TempDir& dir) {
         dir.Write("file", "x");
         return dir.File("file/options.ini");
     },
     "Not a directory"},
};

TEST(ProfileFileNotAFile, ReadAndWriteRaiseTheReasonAndLeaveThePathAlone) {
    for (const NotAFileCase& c : kNotAFile) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = c.make(dir);
        struct stat before {};
        ::lstat(path.c_str(), &before);
        TProfileFile ini(path);
        const std::string expected = "Unable to read " + path + ": " + c.reason;
        try {
            ini.ReadString("Account", "Host", "ERROR");
            ADD_FAILURE() << "read gave a value";
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.Message(), expected);
        }
        try {
            ini.WriteString("Account", "Time", "3");
            ADD_FAILURE() << "write went through";
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.Message(), expected);
        }
        struct stat after {};
        ::lstat(path.c_str(), &after);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
    }
}

} // namespace
