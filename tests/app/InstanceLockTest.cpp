// One gateway per settings file: the lock beside it, refused to a second
// holder, free for other settings files, and gone with the process that
// held it however that process ended.
#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/InstanceClaim.h"
#include "app/InstanceLock.h"
#include "platform/Exception.h"
#include "support/TempDir.h"

namespace {

TEST(InstanceLock, LockFileLiesBesideTheSettingsFile) {
    EXPECT_EQ(TInstanceLock::PathFor("/etc/mailgate/options.ini"), "/etc/mailgate/options.lock");
    EXPECT_EQ(TInstanceLock::PathFor("site.ini"), "site.lock");
    EXPECT_EQ(TInstanceLock::PathFor("/srv/gate.conf"), "/srv/gate.conf.lock");
    EXPECT_EQ(TInstanceLock::RefusalText("/srv/options.ini"),
              "Another mailgate is running with /srv/options.ini");
}

TEST(InstanceLock, SecondHolderOfOneSettingsFileIsRefusedOthersAreNot) {
    TempDir dir;
    dir.Write("options.ini", "[Account]\n");
    TInstanceLock first(dir.File("options.ini"));
    ASSERT_TRUE(first.TryAcquire());
    EXPECT_TRUE(first.TryAcquire()) << "taking it again keeps it";
    EXPECT_TRUE(dir.Exists("options.lock"));
    EXPECT_FALSE(dir.Exists("options.uidl")) << "the lock is a file of its own";

    // The same settings file however it is named.
    ::symlink(dir.File("options.ini").c_str(), dir.File("link.ini").c_str());
    ::mkdir(dir.File("sub").c_str(), 0755);
    for (const std::string& name :
         {dir.File("options.ini"), dir.File("sub/../options.ini"), dir.File("link.ini")}) {
        TInstanceLock second(name);
        EXPECT_FALSE(second.TryAcquire()) << name;
        EXPECT_FALSE(second.Held());
    }

    TInstanceLock other(dir.File("other.ini"));
    EXPECT_TRUE(other.TryAcquire()) << "another settings file is another gateway";

    // Released with its holder.
    {
        TInstanceLock gone(dir.File("third.ini"));
        ASSERT_TRUE(gone.TryAcquire());
    }
    TInstanceLock after(dir.File("third.ini"));
    EXPECT_TRUE(after.TryAcquire());
}

TEST(InstanceLock, LockGoesWithAKilledProcess) {
    TempDir dir;
    TInstanceLock child(dir.File("options.ini")); // its path worked out here
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Only system calls from here: the child of a threaded process.
        char taken = child.TryAcquire() ? 'y' : 'n';
        (void)!::write(ready[1], &taken, 1);
        for (;;) {
            ::pause();
        }
    }
    ::close(ready[1]);
    char taken = 0;
    ASSERT_EQ(::read(ready[0], &taken, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(taken, 'y');

    TInstanceLock here(dir.File("options.ini"));
    EXPECT_FALSE(here.TryAcquire()) << "the child holds it";
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(here.TryAcquire()) << "a killed holder left the lock behind";
}

TEST(InstanceLock, UnusableLockFileRaisesWithItsPath) {
    TempDir dir;
    ::mkdir(dir.File("options.lock").c_str(), 0755); // in the way
    TInstanceLock lock(dir.File("options.ini"));
    try {
        lock.TryAcquire();
        ADD_FAILURE() << "no exception";
    } catch (const EFCreateError& e) {
        const std::string path = std::filesystem::canonical(dir.Path()).string() + "/options.lock";
        EXPECT_EQ(e.Message(), "Cannot open the lock file " + path + ": Is a directory");
    }
}

// What the window shows: the text of the next message box, which is closed.
std::string ClaimInTheWindow(TInstanceLock& lock, const std::string& settingsPath, int& status) {
    std::string shown;
    QDeadlineTimer deadline(10000);
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box != nullptr) {
            shown = box->text().toStdString();
            box->done(QMessageBox::Ok);
        } else if (deadline.hasExpired()) {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                w->close();
            }
        }
    });
    closer.start(10);
    status = ClaimInstance(lock, settingsPath, true);
    return shown;
}

TEST(InstanceClaim, RefusedStartInTheWindowSaysWhyInAMessageBox) {
    TempDir dir;
    const std::string settings = dir.File("options.ini");
    TInstanceLock first(settings);
    int status = -1;
    EXPECT_EQ(ClaimInTheWindow(first, settings, status), "");
    EXPECT_EQ(status, 0);

    TInstanceLock second(settings);
    EXPECT_EQ(ClaimInTheWindow(second, settings, status),
              "Another mailgate is running with " + settings);
    EXPECT_EQ(status, ExitAnotherInstance);

    ::mkdir(dir.File("other.lock").c_str(), 0755);
    TInstanceLock blocked(dir.File("other.ini"));
    EXPECT_EQ(ClaimInTheWindow(blocked, dir.File("other.ini"), status),
              "Cannot open the lock file " + blocked.LockPath() + ": Is a directory");
    EXPECT_EQ(status, ExitLockUnusable);
}

} // namespace
