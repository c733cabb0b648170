// What start-up removes of an interrupted run's temporary files, and what it
// must never remove.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "pop3/InboxFiles.h"
#include "support/TempDir.h"

namespace {

TEST(InboxLeftovers, AHiddenFolderThatIsALinkIsNotFollowed) {
    TempDir inbox;
    TempDir elsewhere;
    elsewhere.Write("precious.txt", "keep me");
    ASSERT_EQ(::symlink(elsewhere.Path().c_str(), inbox.File(TInboxFiles::TempFolderName).c_str()),
              0);

    TInboxFiles::RemoveLeftovers(inbox.Path());

    EXPECT_TRUE(elsewhere.Exists("precious.txt"));
}

TEST(InboxLeftovers, FilesLeftInTheHiddenFolderGoAndTheInboxStays) {
    TempDir inbox;
    const std::string hidden = inbox.File(TInboxFiles::TempFolderName);
    ASSERT_EQ(::mkdir(hidden.c_str(), 0700), 0);
    inbox.Write(std::string(TInboxFiles::TempFolderName) + "/Temp7.mme", "half");
    inbox.Write("a.txt", "delivered");

    TInboxFiles::RemoveLeftovers(inbox.Path());

    struct stat st {};
    EXPECT_NE(::lstat(hidden.c_str(), &st), 0);
    EXPECT_EQ(inbox.Read("a.txt"), "delivered");
}

} // namespace
