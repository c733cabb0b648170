#include "app/ConfigLocation.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const SettingsName = "options.ini";
const char* const ExceptionLogName = "ExcMagic.Log";

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') {
        return folder + name;
    }
    return folder + "/" + name;
}

// The XDG folder `xdg` when it is usable, else `fallback` below the home
// folder, else empty. Relative XDG values are ignored, as the XDG base
// directories ask.
std::string BaseFolder(const std::string& xdg, const std::string& home,
                       const std::string& fallback) {
    if (!xdg.empty() && xdg.front() == '/') {
        return xdg;
    }
    if (!home.empty() && home.front() == '/') {
        return Join(home, fallback);
    }
    return {};
}

bool WritableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), W_OK) == 0;
}

// Makes `folder` and the missing folders above it, each 0700; an error text
// or empty.
std::string MakePrivateFolder(const std::string& folder) {
    for (size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
        std::string part = folder.substr(0, end);
        if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return "Unable to create folder " + part + ": " + std::strerror(errno);
        }
        if (end == std::string::npos) {
            break;
        }
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return "Unable to create folder " + folder + ": " + std::strerror(ENOTDIR);
    }
    return {};
}

} // namespace

TConfigEnvironment TConfigEnvironment::OfThisProcess(const std::string& programFolder) {
    TConfigEnvironment env;
    env.ProgramFolder = programFolder;
    env.ConfigHome = Env("XDG_CONFIG_HOME");
    env.StateHome = Env("XDG_STATE_HOME");
    env.Home = Env("HOME");
    if (env.Home.empty()) {
        // A service account started without a login may have no HOME.
        long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
        std::string buffer(size > 0 ? static_cast<size_t>(size) : 16384u, '\0');
        struct passwd entry {};
        struct passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr) {
            env.Home = found->pw_dir;
        }
    }
    return env;
}

TConfigLocation TConfigLocation::Choose(const std::string& configOption,
                                        const TConfigEnvironment& env) {
    TConfigLocation location;
    const std::string beside = Join(env.ProgramFolder, SettingsName);
    const std::string configBase = BaseFolder(env.ConfigHome, env.Home, ".config");
    const std::string stateBase = BaseFolder(env.StateHome, env.Home, ".local/state");

    // A writable options.ini marks a program that keeps its files beside
    // itself, whichever settings file --config names.
    location.besideProgram_ = WritableFile(beside);
    if (!configOption.empty()) {
        location.settingsFile_ = configOption;
    } else if (location.besideProgram_ || configBase.empty()) {
        location.settingsFile_ = beside;
    } else {
        const std::string folder = Join(configBase, "mailgate");
        location.folders_.push_back(folder);
        location.settingsFile_ = Join(folder, SettingsName);
    }
    if (location.besideProgram_ || stateBase.empty()) {
        location.exceptionLog_ = Join(env.ProgramFolder, ExceptionLogName);
    } else {
        const std::string folder = Join(stateBase, "mailgate");
        location.folders_.push_back(folder);
        location.exceptionLog_ = Join(folder, ExceptionLogName);
    }
    return location;
}

std::vector<std::string> TConfigLocation::MakeFolders() const {
    std::vector<std::string> problems;
    for (const std::string& folder : folders_) {
        std::string problem = MakePrivateFolder(folder);
        if (!problem.empty()) {
            problems.push_back(std::move(problem));
        }
    }
    return problems;
}
