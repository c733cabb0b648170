// PasswordCommand: the command line split without a shell, and the first
// line of the command's output as the secret. The values these commands
// print stand for secrets: a failure message compares them, never shows them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/SecretCommand.h"
#include "support/Failure.h"

namespace {

using Words = std::vector<std::string>;

std::string Split(const std::string& line) {
    try {
        std::string shown;
        for (const std::string& word : SplitCommandLine(line)) {
            shown += "[" + word + "]";
        }
        return shown;
    } catch (const ECommandLineError& e) {
        return "error: " + e.Message();
    }
}

} // namespace

TEST(SplitCommandLine, WordsAsAShellSplitsThemWithoutExpansion) {
    struct Row {
        const char* name;
        std::string line;
        std::string words;
    };
    const Row rows[] = {
        {"blanks separate", "  pass\tshow  mail/pop ", "[pass][show][mail/pop]"},
        {"single quotes keep everything", R"(sh -c 'echo "$HOME" \n')",
         R"([sh][-c][echo "$HOME" \n])"},
        {"double quotes keep blanks", R"(secret-tool lookup "my server" x)",
         "[secret-tool][lookup][my server][x]"},
        {"backslash in double quotes", R"("a\"b\\c\$d\`e\x")", R"([a"b\c$d`e\x])"},
        {"backslash outside quotes", R"(a\ b \'c\\)", R"([a b]['c\])"},
        {"no expansion", "cat ~/pw $HOME/* ; | &", "[cat][~/pw][$HOME/*][;][|][&]"},
        {"quotes join a word", R"(ab'c d'"e")", "[abc de]"},
        {"empty quoted word", R"(cmd '' "")", "[cmd][][]"},
        {"line continuation", "cmd \\\narg", "[cmd][arg]"},
        {"open single quote", "cmd 'arg", "error: a single quote is not closed"},
        {"open double quote", "cmd \"arg", "error: a double quote is not closed"},
        {"trailing backslash", "cmd arg\\", "error: it ends in a backslash"},
        {"blank", "  \t ", "error: it names no program"},
        {"empty program", "'' arg", "error: it names no program"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Split(row.line), row.words) << row.name;
    }
}

namespace {

// The secret `command` gives, or its failure text.
std::string Outcome(const std::string& command, const char* what = "POP3", int timeOutMs = 10000) {
    TSecretCommand secret(command, what);
    secret.SetTimeOutMs(timeOutMs);
    try {
        return "secret:" + secret.Run();
    } catch (const ESecretCommandError& e) {
        return e.Message();
    }
}

} // namespace

TEST(SecretCommand, FirstLineWithoutTrailingBlanksIsTheSecret) {
    EXPECT_TRUE(Outcome(R"(printf 'pw one \t\r\nsecond line\n')") == "secret:pw one")
        << "trailing blanks and CR stripped, the rest dropped";
    EXPECT_TRUE(Outcome("printf '  lead'") == "secret:  lead") << "leading blanks kept, no LF";
    // Far more output than is kept: read away, the command is not blocked.
    EXPECT_TRUE(Outcome("sh -c 'echo tok; head -c 3000000 /dev/zero'") == "secret:tok")
        << "first line of a long output";
}

TEST(SecretCommand, FailuresSayWhyAndNeverWhatWasPrinted) {
    EXPECT_EQ(Outcome("sh -c 'echo leaked; echo \"no entry for mail\" >&2; echo more >&2; exit 3'"),
              "Password command for POP3 failed: exit 3: no entry for mail");
    EXPECT_EQ(Outcome("sh -c 'exit 1'", "SMTP"), "Password command for SMTP failed: exit 1");
    EXPECT_EQ(Outcome("sh -c 'kill -TERM $$'"),
              "Password command for POP3 failed: ended by signal 15");
    EXPECT_EQ(Outcome("true"), "Password command for POP3 failed: its first line is empty");
    EXPECT_EQ(Outcome("sh -c 'head -c 70000 /dev/zero | tr \"\\\\0\" x'"),
              "Password command for POP3 failed: its first line is longer than 65536 bytes");
    EXPECT_EQ(Outcome("pass 'show"),
              "Password command for POP3 failed: the command line is not valid: a single quote "
              "is not closed");
    const std::string missing = Outcome("/nonexistent/mailgate-helper x");
    EXPECT_EQ(missing.rfind("Password command for POP3 failed: cannot start "
                            "/nonexistent/mailgate-helper: ",
                            0),
              0u)
        << missing;
}

TEST(SecretCommand, ACommandThatHangsIsKilledAtTheTimeOut) {
    EXPECT_EQ(Outcome("sleep 30", "SMTP", 300),
              "Password command for SMTP failed: timed out after 300 ms");
    EXPECT_EQ(Outcome("sh -c 'echo early; exec sleep 30'", "POP3", 300),
              "Password command for POP3 failed: timed out after 300 ms");
}
