#include "pop3/InboxFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Exception.h"
#include "platform/SafeFile.h"
#include "pop3/MimeNames.h"

namespace {

constexpr int kMaxNameTries = 1000000;

bool FileExists(const std::string& path) {
    struct stat st {};
    // lstat: a dangling link is a name in use too.
    return ::lstat(path.c_str(), &st) == 0;
}

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

} // namespace

TInboxFiles::~TInboxFiles() {
    Discard();
}

std::string TInboxFiles::TempFolder() const {
    return inbox_ + TempFolderName + "/";
}

void TInboxFiles::Begin(const std::string& inbox) {
    Discard();
    inbox_ = WithSlash(inbox);
}

std::string TInboxFiles::CreateTemp(int& counter) {
    const std::string folder = TempFolder();
    const std::string bare = inbox_ + TempFolderName;
    touched_ = true;
    if (::mkdir(bare.c_str(), 0700) != 0 && errno != EEXIST) {
        throw EFCreateError("Cannot create file " + folder + "Temp" + std::to_string(counter + 1) +
                            ".mme: " + std::strerror(errno));
    }
    // A link or a file in its place must not send part files elsewhere.
    struct stat st {};
    if (::lstat(bare.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw EFCreateError("Cannot create file " + folder + "Temp" + std::to_string(counter + 1) +
                            ".mme: " + std::strerror(ENOTDIR));
    }
    // Exclusive creation: nothing there is ever overwritten, whoever put it there.
    for (int tries = 0; tries < kMaxNameTries; ++tries) {
        ++counter;
        std::string path = folder + "Temp" + std::to_string(counter) + ".mme";
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) {
            ::close(fd);
            temps_.push_back(path);
            return path;
        }
        if (errno != EEXIST) {
            throw EFCreateError("Cannot create file " + path + ": " + std::strerror(errno));
        }
    }
    throw EFCreateError("Cannot create file " + folder + "Temp.mme: " + std::strerror(EEXIST));
}

void TInboxFiles::Drop(const std::string& tempPath) {
    ::unlink(tempPath.c_str());
    temps_.erase(std::remove(temps_.begin(), temps_.end(), tempPath), temps_.end());
}

void TInboxFiles::Add(const std::string& tempPath, const std::string& name) {
    ready_.emplace_back(tempPath, name);
}

int& TInboxFiles::NextSuffix(const std::string& name) {
    int& k = nextSuffix_[inbox_ + name];
    k = std::max(k, 1);
    return k;
}

// The name itself when it is free, else the first free "name_K" from the
// remembered suffix on.
std::string TInboxFiles::FreeName(const std::string& name) {
    if (!FileExists(inbox_ + name)) {
        return name;
    }
    int& k = NextSuffix(name);
    while (k < kMaxNameTries && FileExists(inbox_ + UniqueCandidate(name, k))) {
        ++k;
    }
    return UniqueCandidate(name, k);
}

// Gives the complete file its final name, never replacing a file that
// appeared meanwhile; returns the name used.
std::string TInboxFiles::PlaceFile(const std::string& tempPath, const std::string& name) {
    if (RenameNoReplace(tempPath, inbox_ + name)) {
        return name;
    }
    int& k = NextSuffix(name);
    for (; k < kMaxNameTries; ++k) {
        std::string candidate = UniqueCandidate(name, k);
        if (RenameNoReplace(tempPath, inbox_ + candidate)) {
            ++k;
            return candidate;
        }
    }
    throw EFCreateError("Cannot create file " + inbox_ + name + ": " + std::strerror(EEXIST));
}

std::vector<std::string> TInboxFiles::Publish(const std::function<void(std::string&)>& settle) {
    std::vector<std::string> names;
    try {
        for (const auto& [tempPath, wanted] : ready_) {
            std::string name = FreeName(wanted);
            if (settle) {
                std::string chosen = name;
                settle(chosen);
                if (chosen != name) {
                    name = SafeFileName(chosen);
                }
            }
            names.push_back(PlaceFile(tempPath, name));
            temps_.erase(std::remove(temps_.begin(), temps_.end(), tempPath), temps_.end());
        }
    } catch (...) {
        for (const std::string& name : names) {
            ::unlink((inbox_ + name).c_str());
        }
        Discard();
        throw;
    }
    ready_.clear();
    Discard();
    return names;
}

std::vector<std::pair<std::string, std::string>> TInboxFiles::Release() {
    std::vector<std::pair<std::string, std::string>> released;
    released.swap(ready_);
    for (const auto& file : released) {
        temps_.erase(std::remove(temps_.begin(), temps_.end(), file.first), temps_.end());
    }
    Discard();
    return released;
}

std::string TInboxFiles::PublishStaged(const std::string& tempPath, const std::string& name) {
    return PlaceFile(tempPath, FreeName(name));
}

void TInboxFiles::Discard() noexcept {
    for (const std::string& path : temps_) {
        ::unlink(path.c_str());
    }
    temps_.clear();
    ready_.clear();
    if (touched_) {
        touched_ = false;
        ::rmdir(TempFolder().c_str()); // only when empty: another run may be using it
    }
}

void TInboxFiles::RemoveLeftovers(const std::string& inbox) {
    const std::string folder = WithSlash(inbox) + TempFolderName;
    // Never through a link: a hidden "folder" that points elsewhere must not
    // have someone else's files removed.
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        // unlinkat without AT_REMOVEDIR leaves folders alone and removes a
        // link itself, never what it points to.
        ::unlinkat(::dirfd(dir), name.c_str(), 0);
    }
    ::closedir(dir);
    ::rmdir(folder.c_str());
}
