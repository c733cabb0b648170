#pragma once
// A password or access token read from a command's output instead of the
// settings file (PasswordCommand, PasswordCommand2): the command is run
// without a shell, freshly for every session, and the first line it prints
// is the secret.
//
// Errors: SplitCommandLine raises ECommandLineError; TSecretCommand::Run
// raises ESecretCommandError "Password command for <what> failed: <why>"
// (texts at Run). Neither text ever holds what the command printed on its
// standard output.
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exception.h"

MAILGATE_EXCEPTION(ECommandLineError, Exception);
MAILGATE_EXCEPTION(ESecretCommandError, Exception);

// The words of a command line, split as a POSIX shell splits them but with
// no expansion at all: blanks (space, tab, line end) separate words; inside
// '...' every character stands for itself; inside "..." a backslash keeps
// only " \ $ ` and a line end (which it removes), and stands for itself
// before anything else; elsewhere a backslash keeps the next character (a
// backslash before a line end removes both). "$HOME", "~", "*", ";" and
// "|" are plain characters. Raises ECommandLineError "a single quote is not
// closed", "a double quote is not closed", "it ends in a backslash", "it
// names no program".
std::vector<std::string> SplitCommandLine(std::string_view line);

class TSecretCommand {
public:
    static constexpr int DefaultTimeOutMs = 10000;
    // What is kept of the standard output; the rest is read and dropped.
    static constexpr std::size_t MaxOutputBytes = 64 * 1024;
    // What is kept of the standard error, whose first line a failure shows.
    static constexpr std::size_t MaxErrorBytes = 4096;
    static constexpr std::size_t MaxErrorShown = 200;

    // `what` names the leg in failure texts: "POP3" or "SMTP".
    TSecretCommand(std::string commandLine, std::string what);

    // How long Run waits before it kills the command.
    void SetTimeOutMs(int ms) { timeOutMs_ = ms; }

    // Runs the command (standard input empty, the environment inherited)
    // and returns the first line of its standard output without its line
    // end and trailing blanks. It waits in the event loop, which keeps
    // running meanwhile. Raises ESecretCommandError
    //   "Password command for POP3 failed: <why>", <why> being one of
    //   "the command line is not valid: <ECommandLineError text>"
    //   "cannot start <program>: <reason>"
    //   "timed out after 10 s" (the command is killed)
    //   "exit <n>: <first line of its standard error>" (or "exit <n>")
    //   "ended by signal <n>"
    //   "its first line is empty"
    //   "its first line is longer than 65536 bytes"
    std::string Run() const;

private:
    ESecretCommandError Failure(const std::string& why) const;

    std::string commandLine_;
    std::string what_;
    int timeOutMs_ = DefaultTimeOutMs;
};
