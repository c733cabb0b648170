#pragma once
// Where the program keeps its settings file and its exception log.
//
// A program run from a folder that holds a writable options.ini (its build
// folder, an unpacked copy) keeps both beside itself, as it always did. An
// installed program lives in a folder nobody writes to (/usr/bin), so it
// follows the XDG base directories instead: the settings file is
// $XDG_CONFIG_HOME/mailgate/options.ini (default ~/.config/...) and the
// exception log $XDG_STATE_HOME/mailgate/ExcMagic.Log (default
// ~/.local/state/...). --config names the settings file in either case.
#include <string>
#include <vector>

// What the choice depends on, read from the process by OfThisProcess() and
// made up by tests.
struct TConfigEnvironment {
    std::string ProgramFolder; // the folder of the executable
    std::string ConfigHome;    // $XDG_CONFIG_HOME; ignored when empty or relative
    std::string StateHome;     // $XDG_STATE_HOME; ignored when empty or relative
    std::string Home;          // $HOME, or the account's home folder when unset

    // The environment of this process, with `programFolder` as the folder of
    // the executable. Never throws but std::bad_alloc.
    static TConfigEnvironment OfThisProcess(const std::string& programFolder);
};

class TConfigLocation {
public:
    // Chooses the locations for `configOption` (the --config value, empty
    // when not given). Looks at the file system (is there a writable regular
    // file options.ini in ProgramFolder?) but changes nothing. Without a home
    // folder and without the XDG folder in question, a file stays beside the
    // program.
    static TConfigLocation Choose(const std::string& configOption, const TConfigEnvironment& env);

    const std::string& SettingsFile() const noexcept { return settingsFile_; }
    const std::string& ExceptionLog() const noexcept { return exceptionLog_; }
    // True when ProgramFolder holds a writable options.ini: the exception
    // log, and the settings file unless --config names one, live there.
    bool BesideProgram() const noexcept { return besideProgram_; }

    // Creates the folders that Choose() picked below the XDG folders and that
    // do not exist yet, each readable by its owner only (0700): the settings
    // file holds passwords. Never throws but std::bad_alloc; returns one text
    // per folder that could not be made, "Unable to create folder <path>:
    // <reason>", empty when all is well.
    std::vector<std::string> MakeFolders() const;

private:
    std::string settingsFile_;
    std::string exceptionLog_;
    bool besideProgram_ = false;
    std::vector<std::string> folders_; // made by MakeFolders()
};
