// The program itself, without servers: runs that cannot poll at all end at
// once with exit status 2 and say why, instead of waiting for ever.
#include <QProcess>
#include <QStringList>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/TempDir.h"

#ifndef MAILGATE_BINARY
#error "MAILGATE_BINARY must name the mailgate executable"
#endif

namespace {

struct Outcome {
    bool ended = false;
    int exitCode = -1;
    std::string output;
};

Outcome RunMailgate(const QStringList& arguments) {
    QProcess process;
    process.setProgram(QStringLiteral(MAILGATE_BINARY));
    process.setArguments(arguments);
    process.start();
    Outcome outcome;
    outcome.ended = process.waitForFinished(60000);
    if (!outcome.ended) {
        process.kill();
        process.waitForFinished(5000);
    }
    outcome.output = process.readAllStandardOutput().toStdString() +
                     process.readAllStandardError().toStdString();
    if (outcome.ended && process.exitStatus() == QProcess::NormalExit) {
        outcome.exitCode = process.exitCode();
    }
    return outcome;
}

TEST(SettingsExit, HeadlessWithASettingsFileThatIsNotConfiguredEndsWithTwo) {
    TempDir dir;
    dir.Write("options.ini", "[Account]\nHost=pop.example.test\n");
    Outcome run =
        RunMailgate({"--headless", "--config", QString::fromStdString(dir.File("options.ini"))});
    ASSERT_TRUE(run.ended) << "mailgate --headless kept running\n" << run.output;
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("is not configured"), std::string::npos) << run.output;
}

TEST(SettingsExit, SettingsFileThatCannotBeReadEndsWithTwoAndSaysWhy) {
    TempDir dir;
    // A folder where the file should be: it exists but cannot be read (the
    // tests run as root, who may read any regular file).
    std::string ini = dir.File("options.ini");
    ASSERT_EQ(::mkdir(ini.c_str(), 0755), 0);
    for (const char* mode : {"--once", "--headless"}) {
        Outcome run = RunMailgate({mode, "--config", QString::fromStdString(ini)});
        ASSERT_TRUE(run.ended) << mode << " kept running\n" << run.output;
        EXPECT_EQ(run.exitCode, 2) << mode << "\n" << run.output;
        EXPECT_NE(run.output.find("status: Unable to read " + ini + ": "), std::string::npos)
            << mode << "\n"
            << run.output;
        EXPECT_EQ(run.output.find("not configured"), std::string::npos) << mode << "\n"
                                                                        << run.output;
        struct stat st {};
        ASSERT_EQ(::stat(ini.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
}

} // namespace
