#pragma once
// One gateway per settings file. Two processes polling the same mailbox into
// the same Inbox and sending the same Outbox would take each other's messages
// and files half-way; the second one therefore does not start.
//
// The lock is an exclusive flock on a file beside the settings file, held
// until the object goes or the process ends (however it ends: the system
// drops the lock with the process). The lock file itself stays: removing it
// would let a third process lock a fresh file while the second still waits
// on the old one.
#include <string>

class TInstanceLock {
public:
    // The lock file of a settings file, by name alone: its path with ".ini"
    // replaced by ".lock" ("/etc/mailgate/options.ini" ->
    // "/etc/mailgate/options.lock"), or ".lock" appended when it does not
    // end in ".ini".
    static std::string PathFor(const std::string& settingsPath);

    // The text a refused second instance shows.
    static std::string RefusalText(const std::string& settingsPath);

    // Takes nothing yet. Every spelling of the settings file's path (relative, absolute, through
    // a link) stands for the same lock file.
    explicit TInstanceLock(const std::string& settingsPath);
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // Takes the lock without waiting. Returns true when this object now holds
    // it (also when it already did), false when another holder has it - a
    // process or another object of this one. Raises EFCreateError "Cannot
    // open the lock file <path>: <reason>" when the file can neither be
    // created nor opened, and "Cannot lock <path>: <reason>" when the file
    // system refuses locks.
    bool TryAcquire();
    bool Held() const noexcept { return fd_ >= 0; }
    const std::string& LockPath() const noexcept { return lockPath_; }

private:
    std::string lockPath_;
    int fd_ = -1;
};
