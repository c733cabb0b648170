#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/SecretFile.h"
#include "support/TempDir.h"

namespace {

TEST(SecretFile, WrittenForItsOwnerOnlyAndReadBackWithoutTheLineEnd) {
    TempDir dir;
    const std::string path = dir.Path() + "/options.in.token";
    EXPECT_EQ(ReadSecretFile(path), "");
    WriteSecretFile(path, "rt-1");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(ReadSecretFile(path) == "rt-1");
    WriteSecretFile(path, "rt-2");
    EXPECT_TRUE(ReadSecretFile(path) == "rt-2");
}

TEST(SecretFile, AFileOthersCanReadIsRefusedWithoutShowingIt) {
    TempDir dir;
    const std::string path = dir.Path() + "/t";
    std::ofstream(path) << "rt-secret\n";
    ::chmod(path.c_str(), 0644);
    try {
        ReadSecretFile(path);
        ADD_FAILURE() << "no error";
    } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()), path + " can be read by other users: chmod 600 it");
    }
}

} // namespace
