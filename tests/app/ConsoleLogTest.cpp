// The lines of a run without window: timestamped for a terminal or a file,
// with a priority prefix and no stamp of their own for systemd's journal.
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

#include "app/ConsoleLog.h"
#include "platform/Exception.h"
#include "support/RowName.h"

namespace {

using TForm = TConsoleLog::TForm;
using TId = std::optional<std::pair<dev_t, ino_t>>;

struct FormRow {
    const char* name;
    std::optional<std::string> journalStream; // JOURNAL_STREAM, nullopt: unset
    TId stdoutId;
    TForm expected;
};

class ConsoleForm : public ::testing::TestWithParam<FormRow> {};

TEST_P(ConsoleForm, JournalOnlyWhenJournalStreamNamesStandardOutput) {
    const FormRow& row = GetParam();
    std::vector<std::string> asked;
    auto environment = [&](const char* name) -> std::optional<std::string> {
        asked.push_back(name);
        return std::string(name) == "JOURNAL_STREAM" ? row.journalStream : std::nullopt;
    };
    EXPECT_EQ(TConsoleLog::FormFor(environment, row.stdoutId), row.expected);
    EXPECT_EQ(asked, std::vector<std::string>{"JOURNAL_STREAM"});
}

const std::pair<dev_t, ino_t> Stream{8, 123456};

INSTANTIATE_TEST_SUITE_P(
    Rows, ConsoleForm,
    ::testing::Values(FormRow{"Unset", std::nullopt, Stream, TForm::Timestamped},
                      FormRow{"NamesStandardOutput", "8:123456", Stream, TForm::Journal},
                      FormRow{"NamesAnotherInode", "8:123457", Stream, TForm::Timestamped},
                      FormRow{"NamesAnotherDevice", "9:123456", Stream, TForm::Timestamped},
                      FormRow{"StandardOutputClosed", "8:123456", std::nullopt, TForm::Timestamped},
                      FormRow{"Empty", "", Stream, TForm::Timestamped},
                      FormRow{"NotANumber", "journal", Stream, TForm::Timestamped},
                      FormRow{"TrailingText", "8:123456x", Stream, TForm::Timestamped}),
    RowName());

struct LineRow {
    const char* name;
    TForm form;
    std::function<void(const TConsoleLog&)> write;
    std::string expected; // a whole-line pattern for Timestamped
};

class ConsoleLines : public ::testing::TestWithParam<LineRow> {};

TEST_P(ConsoleLines, PrintsTheLineInItsForm) {
    const LineRow& row = GetParam();
    std::vector<std::string> lines;
    TConsoleLog log([&](const std::string& line) { lines.push_back(line); }, row.form);
    row.write(log);
    ASSERT_EQ(lines.size(), 1u);
    if (row.form == TForm::Journal) {
        EXPECT_EQ(lines[0], row.expected);
    } else {
        QRegularExpression pattern(
            QRegularExpression::anchoredPattern(QString::fromStdString(row.expected)));
        EXPECT_TRUE(pattern.match(QString::fromStdString(lines[0])).hasMatch()) << lines[0];
    }
}

const char* Stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )";

INSTANTIATE_TEST_SUITE_P(
    Rows, ConsoleLines,
    ::testing::Values(
        LineRow{"JournalStatusIsInfo", TForm::Journal,
                [](const TConsoleLog& l) { l.Status("3 messages in your mailbox"); },
                "<6>status: 3 messages in your mailbox"},
        LineRow{"JournalTrayIsInfo", TForm::Journal,
                [](const TConsoleLog& l) { l.Tray(TTrayImage::Receiving); }, "<6>tray: 2"},
        LineRow{"JournalErrorIsError", TForm::Journal,
                [](const TConsoleLog& l) { l.Error("the settings file is not configured"); },
                "<3>error: the settings file is not configured"},
        LineRow{"JournalCaughtIsError", TForm::Journal,
                [](const TConsoleLog& l) { l.Caught(EInOutError("Disk full")); },
                "<3>error: EInOutError: Disk full"},
        LineRow{"TimestampedStatus", TForm::Timestamped,
                [](const TConsoleLog& l) { l.Status("No Messages to Get"); },
                std::string(Stamp) + "status: No Messages to Get"},
        LineRow{"TimestampedError", TForm::Timestamped, [](const TConsoleLog& l) { l.Error("x"); },
                std::string(Stamp) + "error: x"}),
    RowName());

} // namespace
