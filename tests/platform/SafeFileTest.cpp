// Renaming without replacing must work on every file system the Inbox may
// live on, including those without hard links, and must never replace a file
// that is already there.
#include <QProcess>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/Exception.h"
#include "platform/SafeFile.h"
#include "support/Failure.h"
#include "support/TempDir.h"

namespace {

int calledRenameFlag = 0;

int LinkRefused(const char*, const char*) {
    errno = EPERM; // what vfat answers
    return -1;
}

int LinkBroken(const char*, const char*) {
    errno = EIO;
    return -1;
}

int RenameFlagUnknown(int, const char*, int, const char*, unsigned int) {
    ++calledRenameFlag;
    errno = EINVAL; // what a file system without RENAME_NOREPLACE answers
    return -1;
}

int RenameFlagCounted(int fromDir, const char* from, int toDir, const char* to,
                      unsigned int flags) {
    ++calledRenameFlag;
    return ::renameat2(fromDir, from, toDir, to, flags);
}

struct Way {
    const char* name;
    RenameCalls calls;
    int renameFlagCalls; // how often the second way is tried per call
};

const Way kWays[] = {
    {"hard link", {::link, RenameFlagCounted}, 0},
    {"no hard links", {LinkRefused, RenameFlagCounted}, 1},
    {"no hard links and no rename flag", {LinkRefused, RenameFlagUnknown}, 1},
};

// The free name gets the file; a taken name is left as it was.
void CheckRenames(const TempDir& dir, const RenameCalls& calls, int renameFlagCalls) {
    dir.Write("from", "new");
    dir.Write("taken", "old");
    calledRenameFlag = 0;
    EXPECT_FALSE(RenameNoReplace(dir.File("from"), dir.File("taken"), calls));
    EXPECT_EQ(dir.Read("taken"), "old");
    EXPECT_EQ(dir.Read("from"), "new");
    EXPECT_TRUE(RenameNoReplace(dir.File("from"), dir.File("free"), calls));
    EXPECT_EQ(dir.Read("free"), "new");
    EXPECT_FALSE(dir.Exists("from"));
    EXPECT_EQ(calledRenameFlag, 2 * renameFlagCalls);
}

TEST(RenameNoReplace, EveryWayRenamesToAFreeNameAndNeverReplaces) {
    for (const Way& way : kWays) {
        SCOPED_TRACE(way.name);
        TempDir dir;
        CheckRenames(dir, way.calls, way.renameFlagCalls);
        // Nothing of the exclusive create stays behind.
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"free", "taken"}));
    }
}

TEST(RenameNoReplace, OtherFailuresRaiseWithTheReason) {
    TempDir dir;
    dir.Write("from", "x");
    const auto renameFailure = [&](const char* from, const RenameCalls& calls) {
        return FailureOf<EInOutError>(
            [&] { RenameNoReplace(dir.File(from), dir.File("to"), calls); });
    };
    EXPECT_EQ(renameFailure("from", {LinkBroken, RenameFlagCounted}),
              "Cannot rename " + dir.File("from") + " to " + dir.File("to") +
                  ": Input/output error");
    // A missing source fails in the last way too, and leaves no empty file.
    EXPECT_EQ(renameFailure("gone", {LinkRefused, RenameFlagUnknown}),
              "Cannot rename " + dir.File("gone") + " to " + dir.File("to") +
                  ": No such file or directory");
    EXPECT_FALSE(dir.Exists("to"));
}

// A real file system without hard links, where this machine lets us mount
// one.
struct VfatMount {
    explicit VfatMount(const TempDir& dir) : image(dir.File("vfat.img")), point(dir.File("mnt")) {
        std::filesystem::create_directory(point);
        {
            std::ofstream(image).close();
            std::filesystem::resize_file(image, 8 * 1024 * 1024);
        }
        if (::geteuid() != 0) {
            reason = "mounting needs root";
            return;
        }
        std::string out;
        if (!Run("mkfs.vfat", {QString::fromStdString(image)}, out)) {
            reason = "mkfs.vfat failed (dosfstools missing?): " + out;
            return;
        }
        if (!Run("mount",
                 {"-o", "loop", QString::fromStdString(image), QString::fromStdString(point)},
                 out)) {
            reason = "mount -o loop failed: " + out;
            return;
        }
        mounted = true;
    }
    ~VfatMount() {
        std::string out;
        if (mounted) {
            Run("umount", {QString::fromStdString(point)}, out);
        }
    }

    static bool Run(const QString& program, const QStringList& arguments, std::string& out) {
        QProcess p;
        QStringList path = {"/usr/sbin", "/sbin", "/usr/bin", "/bin"};
        QString found = QStandardPaths::findExecutable(program, path);
        if (found.isEmpty()) {
            out = program.toStdString() + " not found";
            return false;
        }
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(found, arguments);
        bool ok =
            p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        out = p.readAll().trimmed().toStdString();
        return ok;
    }

    std::string image;
    std::string point;
    bool mounted = false;
    std::string reason;
};

TEST(RenameNoReplace, WorksOnAFileSystemWithoutHardLinks) {
    TempDir dir;
    VfatMount vfat(dir);
    if (!vfat.mounted) {
        GTEST_SKIP() << "no vfat file system to try: " << vfat.reason;
    }
    const std::string from = vfat.point + "/from";
    const std::string taken = vfat.point + "/taken";
    const std::string free = vfat.point + "/free";
    {
        std::ofstream(from) << "new";
        std::ofstream(taken) << "old";
    }
    // The first way is not there, so the others are what is tried.
    ASSERT_NE(::link(from.c_str(), (vfat.point + "/probe").c_str()), 0);
    auto read = [](const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_FALSE(RenameNoReplace(from, taken));
    EXPECT_EQ(read(taken), "old");
    EXPECT_TRUE(RenameNoReplace(from, free));
    EXPECT_EQ(read(free), "new");
    EXPECT_FALSE(std::filesystem::exists(from));
}

} // namespace
