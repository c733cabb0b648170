#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "excreport/ExcMagic.h"
#include "excreport/ExcMagicDefaultFilter.h"
#include "support/TempDir.h"

namespace {

int CountEntries(const std::string& log) {
    int count = 0;
    for (size_t at = 0; (at = log.find("---------------------------\r\n", at)) != std::string::npos;
         ++at) {
        ++count;
    }
    return count;
}

std::string ReadFile(const std::string& name) {
    FILE* f = std::fopen(name.c_str(), "rb");
    if (f == nullptr) {
        return {};
    }
    std::string data;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        data.append(buf, n);
    }
    std::fclose(f);
    return data;
}

// The reporter as the program's window sets it up, logging into a test folder
// and counting dialogs instead of showing them.
class Reporter : public ::testing::Test {
protected:
    void SetUp() override {
        magic.SetEnabled(true);
        magic.SetCaption("Application Error!");
        magic.SetLogOnDispatch(true);
        magic.SetOptions(roShow);
        magic.SetIconName(32513);
        magic.SetLogFileName(log);
        magic.OnExecuteDialog = [this](TExcMagicDlg& dialog) {
            ++dialogs;
            return inspect ? inspect(dialog) : 0;
        };
    }
    std::string Log() const { return ReadFile(log); }

    TempDir dir;
    std::string log = dir.File("ExcMagic.Log");
    TExcMagic magic;
    int dialogs = 0;
    std::function<int(TExcMagicDlg&)> inspect;
};

[[gnu::noinline]] void ThrowAtDepth(int depth) {
    if (depth == 0) {
        throw std::runtime_error("bottom reached");
    }
    ThrowAtDepth(depth - 1);
    asm volatile(""); // keeps the recursive call from becoming a jump
}

TEST_F(Reporter, CaughtExceptionIsLoggedOnceAndShowsNoDialog) {
    try {
        throw EConvertError("'x1' is not a valid integer value");
    } catch (const Exception&) {
    }
    std::string text = Log();
    EXPECT_EQ(CountEntries(text), 1);
    EXPECT_NE(text.find("Exception 'EConvertError' in module "), std::string::npos);
    EXPECT_NE(text.find("\r\n'x1' is not a valid integer value\r\n\r\nCall stack:\r\n:"),
              std::string::npos);
    EXPECT_NE(text.find("Registers:\r\nRAX = "), std::string::npos);
    EXPECT_EQ(dialogs, 0);
}

TEST_F(Reporter, ThrowInsideTheRuntimeLibraryIsRecorded) {
    std::vector<int> v;
    try {
        (void)v.at(3);
    } catch (const std::out_of_range&) {
    }
    EXPECT_NE(Log().find("Exception 'std::out_of_range'"), std::string::npos);
}

TEST_F(Reporter, UnhandledExceptionIsShownCollapsedWithoutLoggingTwice) {
    inspect = [](TExcMagicDlg& d) {
        EXPECT_EQ(d.windowTitle(), "Application Error!");
        EXPECT_TRUE(
            d.MessageLabel()->text().startsWith("Exception 'std::runtime_error' in module"));
        EXPECT_TRUE(d.MessageLabel()->text().endsWith("bottom reached"))
            << "no source position with Options 64";
        EXPECT_FALSE(d.IconLabel()->pixmap().isNull());
        EXPECT_FALSE(d.DetailsButton()->isVisibleTo(&d));
        EXPECT_FALSE(d.TerminateButton()->isVisibleTo(&d));
        EXPECT_TRUE(d.OkButton()->isVisibleTo(&d));
        EXPECT_TRUE(d.Pages().empty());
        EXPECT_FALSE(d.Tabs()->isVisibleTo(&d));
        EXPECT_FALSE(d.Expanded());
        EXPECT_EQ(d.height(), d.CollapsedHeight());
        EXPECT_LT(d.CollapsedHeight(), d.ExpandedHeight());
        return 0;
    };
    try {
        ThrowAtDepth(0);
    } catch (const std::exception& e) {
        magic.HandleException(e);
    }
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(CountEntries(Log()), 1);
}

[[gnu::noinline]] void RaiseTheFirst() {
    throw std::runtime_error("first failure");
}

[[gnu::noinline]] void RetryAndFailAgain() {
    try {
        ThrowAtDepth(0);
    } catch (const std::exception&) {
    }
}

TEST_F(Reporter, RethrowAfterANestedRaiseIsReportedOnceWithItsOwnStack) {
    try {
        try {
            RaiseTheFirst();
        } catch (const std::exception&) {
            RetryAndFailAgain();
            throw;
        }
    } catch (const std::exception& e) {
        magic.HandleException(e);
    }
    EXPECT_EQ(dialogs, 1);
    std::string text = Log();
    EXPECT_EQ(CountEntries(text), 2) << text;
    size_t first = text.find("\r\nfirst failure\r\n");
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find("\r\nfirst failure\r\n", first + 1), std::string::npos) << text;
    // The report shown is of the raise, not of the catch.
    ASSERT_GE(magic.CallStackLines().Count(), 2);
    EXPECT_NE(magic.CallStackLines()[1].find("RaiseTheFirst"), std::string::npos)
        << magic.CallStackLines()[1];
}

TEST_F(Reporter, FatalSignalsRunOnALargeStackWithAGuardPage) {
    stack_t ss{};
    ASSERT_EQ(::sigaltstack(nullptr, &ss), 0);
    ASSERT_EQ(ss.ss_flags & SS_DISABLE, 0);
    EXPECT_GE(ss.ss_size, size_t{4} << 20);
    char byte = 0;
    auto bottom = reinterpret_cast<uintptr_t>(ss.ss_sp);
    EXPECT_TRUE(ReadProcessMemory(bottom, &byte, 1));
    EXPECT_FALSE(ReadProcessMemory(bottom - 1, &byte, 1)) << "no guard page below the stack";
}

TEST_F(Reporter, RecursionIsOneLineWithTheCount) {
    magic.SetOptions(102);
    try {
        ThrowAtDepth(3);
    } catch (const std::exception&) {
    }
    std::string text = Log();
    size_t at = text.find("Recursive call (3 times):\r\n:");
    ASSERT_NE(at, std::string::npos) << text;
    size_t lineEnd = text.find("\r\n", at + 27);
    std::string entry = text.substr(at + 27, lineEnd - at - 27);
    EXPECT_NE(entry.find("ThrowAtDepth"), std::string::npos) << entry;
    EXPECT_NE(entry.find("ExcMagicTest.cpp, line "), std::string::npos) << entry;
    EXPECT_NE(text.find("Procedure: (anonymous namespace)::ThrowAtDepth"), std::string::npos);
}

TEST_F(Reporter, FullDialogPagesDetailsAndTerminate) {
    magic.SetOptions(roShow | roCallStack | roRegisters | roCustom | roTerminate | roDetailsOpen);
    magic.SetCustomTabCaption("Mailbox");
    bool terminated = false;
    magic.OnTerminate = [&] { terminated = true; };
    inspect = [](TExcMagicDlg& d) {
        EXPECT_TRUE(d.Expanded());
        EXPECT_EQ(d.height(), d.ExpandedHeight());
        EXPECT_EQ(d.DetailsButton()->text(), "Compact <<");
        EXPECT_EQ(d.Pages(), (std::vector<int>{1, 2, 3}));
        EXPECT_EQ(d.Tabs()->tabText(0), "Call Stack");
        EXPECT_EQ(d.Tabs()->tabText(1), "Registers");
        EXPECT_EQ(d.Tabs()->tabText(2), "Mailbox");
        EXPECT_TRUE(d.PageEdit(1)->isVisibleTo(&d));
        EXPECT_TRUE(d.PageEdit(1)->toPlainText().startsWith("Call stack:\n:"));
        d.Tabs()->setCurrentIndex(1);
        EXPECT_FALSE(d.PageEdit(1)->isVisibleTo(&d));
        EXPECT_TRUE(d.PageEdit(2)->isVisibleTo(&d));
        EXPECT_TRUE(d.PageEdit(2)->toPlainText().contains("RIP = "));
        d.DetailsButton()->click();
        EXPECT_FALSE(d.Expanded());
        EXPECT_EQ(d.DetailsButton()->text(), "Details >>");
        EXPECT_EQ(d.height(), d.CollapsedHeight());
        EXPECT_TRUE(d.TerminateButton()->isVisibleTo(&d));
        d.TerminateButton()->click();
        return d.result();
    };
    try {
        throw std::logic_error("broken");
    } catch (const std::exception& e) {
        magic.HandleException(e);
    }
    EXPECT_EQ(dialogs, 1);
    EXPECT_TRUE(terminated);
}

TEST_F(Reporter, ModalDialogClosesWithEscape) {
    magic.OnExecuteDialog = nullptr;
    QTimer::singleShot(0, [] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(dialog, nullptr);
        QTest::keyClick(dialog, Qt::Key_Escape);
    });
    bool terminated = false;
    magic.OnTerminate = [&] { terminated = true; };
    try {
        throw std::runtime_error("shown");
    } catch (const std::exception& e) {
        magic.HandleException(e);
    }
    EXPECT_FALSE(terminated);
}

TEST_F(Reporter, UnreadableLogFileLosesTheEntryQuietly) {
    // A folder in the log file's place, then a log file locked by another
    // writer: no entry, no error, the report still goes on.
    magic.SetLogFileName(dir.Path());
    try {
        throw std::runtime_error("one");
    } catch (const std::exception& e) {
        magic.HandleException(e);
    }
    magic.SetLogFileName(log);
    int fd = ::open(log.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    try {
        throw std::runtime_error("two");
    } catch (const std::exception&) {
    }
    ::close(fd);
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(dialogs, 1);
    if (geteuid() != 0) {
        ::chmod(log.c_str(), 0444);
        try {
            throw std::runtime_error("three");
        } catch (const std::exception&) {
        }
        EXPECT_EQ(Log(), "");
    }
}

TEST_F(Reporter, AddressWithoutDebugInformationReadsUnknown) {
    magic.SetOptions(roShow | roSourceInMessage);
    std::runtime_error e("no source");
    int onStack = 0;
    std::string message = magic.BuildMessage(&e, reinterpret_cast<uintptr_t>(&onStack));
    EXPECT_NE(message.find("\r\nno source\r\n\r\nModule: UNKNOWN, Source: UNKNOWN, Line UNKNOWN\r\n"
                           "Procedure: UNKNOWN"),
              std::string::npos)
        << message;
    std::string cut = magic.BuildMessage(&e, reinterpret_cast<uintptr_t>(&onStack), 21);
    EXPECT_EQ(cut, "Exception 'std::runt");
}

TEST_F(Reporter, SecondInstanceIsRefused) {
    try {
        TExcMagic second;
        FAIL();
    } catch (const EExcMagicError& e) {
        EXPECT_STREQ(e.what(), "Only one instance of TExcMagic allowed");
    }
    EXPECT_EQ(TExcMagic::ExcMagic(), &magic);
}

TEST_F(Reporter, LaterFilterRunsFirstAndCanStopTheChain) {
    struct Stopper : IExcMagicFilter {
        int ShowException(const std::exception*, const std::string&, TStringList&, TStringList&,
                          TStringList&, const std::string&) override {
            return 1;
        }
        int LogException(const std::exception*, const std::string&, TStringList&, TStringList&,
                         TStringList&) override {
            ++logged;
            return 0;
        }
        int ExceptionMessage(const std::exception*, const TExceptionMessageInfo& info,
                             TStringList& custom, size_t, std::string& buffer) override {
            buffer = "custom: " + info.Message;
            custom.Add("mailbox state");
            return 0;
        }
        int logged = 0;
    };
    auto stopper = std::make_shared<Stopper>();
    magic.RegisterFilter<EConvertError>(stopper, true);
    try {
        throw EConvertError("bad");
    } catch (const std::exception&) {
    }
    EXPECT_EQ(stopper->logged, 1);
    EXPECT_EQ(Log(), "") << "the default filter's log did not run";
    try {
        throw std::runtime_error("other class");
    } catch (const std::exception&) {
    }
    EXPECT_EQ(stopper->logged, 1);
    EXPECT_EQ(CountEntries(Log()), 1);
    magic.UnregisterFilter(stopper);
    try {
        throw EConvertError("bad again");
    } catch (const std::exception&) {
    }
    EXPECT_EQ(CountEntries(Log()), 2);
}

// --- the log's size: rotation and repeats ---

TEST_F(Reporter, LogAtItsLimitIsKeptAsTheOldFileAndANewOneStarted) {
    std::string earlier(size_t{4} << 20, 'x');
    dir.Write("ExcMagic.Log", earlier);
    try {
        throw std::runtime_error("after the limit");
    } catch (const std::exception&) {
    }
    EXPECT_EQ(dir.Read("ExcMagic.Log.1"), earlier);
    std::string text = Log();
    EXPECT_EQ(CountEntries(text), 1);
    EXPECT_EQ(text.find("xxxx"), std::string::npos) << "filler in the new file";
    EXPECT_NE(text.find("after the limit"), std::string::npos);
}

TEST_F(Reporter, OnlyOneOldLogIsKeptAndNeitherPassesTheLimit) {
    const uint64_t limit = 16 * 1024;
    magic.SetLogSizeLimit(limit);
    for (int i = 0; i < 40; ++i) {
        try {
            throw std::runtime_error("failure " + std::to_string(i));
        } catch (const std::exception&) {
        }
    }
    std::string current = Log();
    std::string old = dir.Read("ExcMagic.Log.1");
    EXPECT_LE(current.size(), limit);
    EXPECT_LE(old.size(), limit);
    EXPECT_GT(old.size(), limit / 2);
    EXPECT_FALSE(dir.Exists("ExcMagic.Log.2"));
    EXPECT_NE(current.find("\r\nfailure 39\r\n"), std::string::npos);
    EXPECT_EQ((current + old).find("\r\nfailure 0\r\n"), std::string::npos);
}

TEST_F(Reporter, SameExceptionInOneCycleIsLoggedOnceThenCounted) {
    const std::string same = "'x1' is not a valid integer value";
    for (int i = 0; i < 5; ++i) {
        try {
            throw EConvertError(same);
        } catch (const std::exception&) {
        }
    }
    try {
        throw EConvertError("'x2' is not a valid integer value");
    } catch (const std::exception&) {
    }
    // Shown again, not logged again.
    try {
        throw EConvertError(same);
    } catch (const std::exception& e) {
        magic.HandleException(e);
    }
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(CountEntries(Log()), 2);
    EXPECT_EQ(Log().find("more time"), std::string::npos) << "counted before the cycle ended";

    magic.NewCycle();
    std::string text = Log();
    EXPECT_NE(text.find("\r\n\r\n(the same exception was raised 5 more times: 'EConvertError', "
                        "\"'x1' is not a valid integer value\")\r\n\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("'x2' is not a valid integer value\")"), std::string::npos);

    // A new cycle logs it again, and a cycle without repeats adds no count.
    try {
        throw EConvertError(same);
    } catch (const std::exception&) {
    }
    magic.NewCycle();
    text = Log();
    EXPECT_EQ(CountEntries(text), 3);
    EXPECT_EQ(text.find("more time", text.find("more times") + 1), std::string::npos) << text;
}

TEST(ReporterLog, CountStillPendingIsWrittenWhenTheReporterGoesAway) {
    TempDir dir;
    {
        TExcMagic magic;
        magic.SetEnabled(true);
        magic.SetLogOnDispatch(true);
        magic.SetOptions(0);
        magic.SetLogFileName(dir.File("ExcMagic.Log"));
        for (int i = 0; i < 2; ++i) {
            try {
                throw std::runtime_error("again\r\nand again");
            } catch (const std::exception&) {
            }
        }
    }
    std::string text = dir.Read("ExcMagic.Log");
    EXPECT_EQ(CountEntries(text), 1);
    EXPECT_NE(text.find("(the same exception was raised 1 more time: 'std::runtime_error', "
                        "\"again  and again\")\r\n"),
              std::string::npos)
        << text;
}

TEST(ReporterFormat, LogEntryLayout) {
    TStringList stack, registers, custom;
    stack.Add("Call stack:");
    stack.Add(":0000000000001234 [mailgate]");
    registers.Add("Registers:");
    EXPECT_EQ(
        TDefaultExcMagicFilter::LogEntry("2024-05-06 07:08:09", "msg", stack, registers, custom),
        "---------------------------2024-05-06 07:08:09---------------------------\r\n"
        "msg\r\n\r\nCall stack:\r\n:0000000000001234 [mailgate]\r\n\r\nRegisters:\r\n\r\n");
    custom.Add("extra");
    EXPECT_NE(TDefaultExcMagicFilter::LogEntry("d", "m", stack, registers, custom)
                  .find("Registers:\r\n\r\nAdditional info:\r\nextra\r\n\r\n"),
              std::string::npos);
}

// --- a process of its own: DWARF of another binary, fatal signals, console ---

struct ProbeRun {
    int status = 0;
    std::string out;
    std::string err;
};

ProbeRun RunProbe(const std::string& log, const char* mode) {
    TempDir dir;
    std::string out = dir.File("out"), err = dir.File("err");
    std::string command =
        std::string(EXCREPORT_PROBE) + " '" + log + "' " + mode + " >'" + out + "' 2>'" + err + "'";
    ProbeRun run;
    run.status = std::system(command.c_str());
    run.out = ReadFile(out);
    run.err = ReadFile(err);
    return run;
}

TEST(ReporterProcess, RaiseInKnownFunctionNamesFunctionFileAndLine) {
    TempDir dir;
    ProbeRun run = RunProbe(dir.File("p.log"), "throw");
    ASSERT_EQ(run.status, 0);
    int first = 0, last = 0;
    ASSERT_EQ(std::sscanf(run.out.c_str(), "%d %d", &first, &last), 2);
    std::string log = ReadFile(dir.File("p.log"));
    EXPECT_EQ(CountEntries(log), 1);
    EXPECT_NE(log.find("Procedure: (anonymous namespace)::ProbeThrowingFunction"),
              std::string::npos)
        << log;
    size_t at = log.find("Source: ExcProbe.cpp, Line ");
    ASSERT_NE(at, std::string::npos) << log;
    int line = std::atoi(log.c_str() + at + 27);
    EXPECT_GE(line, first);
    EXPECT_LE(line, last);
    EXPECT_NE(log.find("ProbeThrowingFunction (ExcProbe.cpp, line " + std::to_string(line) + ")"),
              std::string::npos);
}

// Runs the probe in `mode`, in which it dies of `signal` (`name`), checks
// that the process ended as the signal would have ended it and that its log
// names the signal, and returns the log.
std::string FatalSignalLog(const TempDir& dir, const char* mode, int signal,
                           const std::string& name) {
    const std::string file = dir.File(name + ".log");
    ProbeRun run = RunProbe(file, mode);
    // The shell reports a death by signal as 128 + signal number.
    EXPECT_EQ(WEXITSTATUS(run.status), 128 + signal) << mode;
    std::string log = ReadFile(file);
    EXPECT_NE(log.find(name + " at address "), std::string::npos) << log;
    return log;
}

TEST(ReporterProcess, FatalSignalIsLoggedAndEndsTheProcessAsTheSignalWould) {
    TempDir dir;
    std::string log = FatalSignalLog(dir, "segv", SIGSEGV, "SIGSEGV");
    EXPECT_NE(log.find("Exception 'EExternalException'"), std::string::npos) << log;
    EXPECT_NE(log.find("accessing address 0000000000000010"), std::string::npos);
    EXPECT_NE(log.find("ProbeCrash (ExcProbe.cpp, line "), std::string::npos);
    EXPECT_NE(log.find("Code at CS:RIP\r\n"), std::string::npos);

    FatalSignalLog(dir, "abort", SIGABRT, "SIGABRT");
}

// A signal frame is as large as the processor's register state, and so is
// SIGSTKSZ: a stack sized from it leaves some machines no room for the
// report. The probe hands the handler a stack smaller than reading a line
// table for the first time needs (a frame of about 150 KiB), whatever the
// processor: the handler must only look up what enabling read already.
TEST(ReporterProcess, FatalSignalIsLoggedOnASmallSignalStack) {
    TempDir dir;
    std::string log = FatalSignalLog(dir, "segv 64", SIGSEGV, "SIGSEGV");
    EXPECT_NE(log.find("ProbeCrash (ExcProbe.cpp, line "), std::string::npos) << log;

    FatalSignalLog(dir, "abort 64", SIGABRT, "SIGABRT");
}

TEST(ReporterProcess, ConsoleModeReportsOnStandardError) {
    TempDir dir;
    ProbeRun run = RunProbe(dir.File("p.log"), "console");
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.err.rfind("Exception 'std::runtime_error' in module excreport_probe at ", 0), 0u)
        << run.err;
    EXPECT_NE(run.err.find("\nCall stack:\n:"), std::string::npos);
    EXPECT_EQ(run.err.find("Registers:"), std::string::npos) << "registers were not asked for";
    EXPECT_EQ(CountEntries(ReadFile(dir.File("p.log"))), 1);
}

} // namespace
