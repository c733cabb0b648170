// Where the settings file and the exception log live: beside a program that
// has a writable options.ini, under the XDG folders otherwise.
#include <gtest/gtest.h>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>

#include "app/ConfigLocation.h"
#include "support/TempDir.h"

namespace {

enum class Beside { Nothing, WritableFile, ReadOnlyFile, Folder };

struct TCase {
    const char* Name;
    Beside BesideProgram;
    bool XdgSet;               // XDG_CONFIG_HOME and XDG_STATE_HOME set
    const char* Config;        // the --config value
    const char* Settings;      // expected, with P program, C config home, H home
    const char* Log;           // expected, the same
    bool Home = true;          // a home folder is known
    const char* XdgValue = ""; // when XdgSet: "" means the temp folders
};

const TCase Cases[] = {
    {"WritableBesideProgramWins", Beside::WritableFile, true, "", "P/options.ini",
     "P/ExcMagic.Log"},
    {"NoneBesideProgramUsesXdg", Beside::Nothing, true, "", "C/mailgate/options.ini",
     "S/mailgate/ExcMagic.Log"},
    {"ReadOnlyBesideProgramUsesXdg", Beside::ReadOnlyFile, true, "", "C/mailgate/options.ini",
     "S/mailgate/ExcMagic.Log"},
    {"FolderNamedOptionsIniUsesXdg", Beside::Folder, true, "", "C/mailgate/options.ini",
     "S/mailgate/ExcMagic.Log"},
    {"XdgUnsetUsesHome", Beside::Nothing, false, "", "H/.config/mailgate/options.ini",
     "H/.local/state/mailgate/ExcMagic.Log"},
    {"RelativeXdgIsIgnored", Beside::Nothing, true, "", "H/.config/mailgate/options.ini",
     "H/.local/state/mailgate/ExcMagic.Log", true, "relative/folder"},
    {"ConfigOptionNamesTheSettingsLogInState", Beside::Nothing, true, "/etc/gate.ini",
     "/etc/gate.ini", "S/mailgate/ExcMagic.Log"},
    {"ConfigOptionBesideAWritableOneLogBeside", Beside::WritableFile, true, "/etc/gate.ini",
     "/etc/gate.ini", "P/ExcMagic.Log"},
    {"NoHomeNoXdgStaysBeside", Beside::Nothing, false, "", "P/options.ini", "P/ExcMagic.Log",
     false},
};

// The case's name instead of its bytes in test listings.
void PrintTo(const TCase& c, std::ostream* os) {
    *os << c.Name;
}

class ConfigLocationTable : public ::testing::TestWithParam<TCase> {
protected:
    TempDir dir;

    std::string Expand(const std::string& pattern) const {
        const std::string replacement = pattern[0] == 'P'   ? dir.File("bin")
                                        : pattern[0] == 'C' ? dir.File("xdg-config")
                                        : pattern[0] == 'S' ? dir.File("xdg-state")
                                        : pattern[0] == 'H' ? dir.File("home")
                                                            : std::string();
        return replacement.empty() ? pattern : replacement + pattern.substr(1);
    }
};

TEST_P(ConfigLocationTable, ChoosesSettingsAndLog) {
    const TCase& c = GetParam();
    ::mkdir(dir.File("bin").c_str(), 0755);
    switch (c.BesideProgram) {
    case Beside::Nothing:
        break;
    case Beside::WritableFile:
        dir.Write("bin/options.ini", "[Account]\n");
        break;
    case Beside::ReadOnlyFile:
        if (::geteuid() == 0) {
            GTEST_SKIP() << "root may write to any file";
        }
        dir.Write("bin/options.ini", "[Account]\n");
        ::chmod(dir.File("bin/options.ini").c_str(), 0400);
        break;
    case Beside::Folder:
        ::mkdir(dir.File("bin/options.ini").c_str(), 0755);
        break;
    }
    TConfigEnvironment env;
    env.ProgramFolder = dir.File("bin");
    if (c.XdgSet) {
        env.ConfigHome = *c.XdgValue ? c.XdgValue : dir.File("xdg-config");
        env.StateHome = *c.XdgValue ? c.XdgValue : dir.File("xdg-state");
    }
    if (c.Home) {
        env.Home = dir.File("home");
    }

    TConfigLocation location = TConfigLocation::Choose(c.Config, env);
    EXPECT_EQ(location.SettingsFile(), Expand(c.Settings));
    EXPECT_EQ(location.ExceptionLog(), Expand(c.Log));
    EXPECT_EQ(location.BesideProgram(), c.BesideProgram == Beside::WritableFile);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfigLocationTable, ::testing::ValuesIn(Cases),
                         [](const auto& info) { return std::string(info.param.Name); });

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(ConfigLocation, MakesTheMissingXdgFoldersPrivateAndLeavesTheRestAlone) {
    TempDir dir;
    ::mkdir(dir.File("home").c_str(), 0755);
    ::chmod(dir.File("home").c_str(), 0755); // whatever the umask
    TConfigEnvironment env;
    env.ProgramFolder = dir.File("bin");
    env.Home = dir.File("home");

    TConfigLocation location = TConfigLocation::Choose("", env);
    EXPECT_TRUE(location.MakeFolders().empty());
    for (const char* folder :
         {"home/.config", "home/.config/mailgate", "home/.local", "home/.local/state/mailgate"}) {
        EXPECT_EQ(ModeOf(dir.File(folder)), 0700u) << folder;
    }
    EXPECT_EQ(ModeOf(dir.File("home")), 0755u);
    // Nothing is written: the settings file is made when the window saves.
    EXPECT_FALSE(dir.Exists("home/.config/mailgate/options.ini"));
    // Again: the folders are there, nothing to report.
    EXPECT_TRUE(location.MakeFolders().empty());
}

TEST(ConfigLocation, BesideTheProgramMakesNoFolder) {
    TempDir dir;
    ::mkdir(dir.File("bin").c_str(), 0755);
    dir.Write("bin/options.ini", "");
    TConfigEnvironment env{dir.File("bin"), dir.File("config"), dir.File("state"), ""};

    EXPECT_TRUE(TConfigLocation::Choose("", env).MakeFolders().empty());
    EXPECT_FALSE(dir.Exists("config"));
    EXPECT_FALSE(dir.Exists("state"));
}

TEST(ConfigLocation, AFileInTheWayIsReportedNotThrown) {
    TempDir dir;
    dir.Write("config", "not a folder");
    TConfigEnvironment env{dir.File("bin"), dir.File("config"), dir.File("state"), ""};

    TConfigLocation location = TConfigLocation::Choose("", env);
    EXPECT_EQ(location.MakeFolders(),
              std::vector<std::string>{"Unable to create folder " + dir.File("config/mailgate") +
                                       ": Not a directory"});
    // The other folder is made all the same.
    EXPECT_EQ(ModeOf(dir.File("state/mailgate")), 0700u);
}

} // namespace
