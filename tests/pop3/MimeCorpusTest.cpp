// Messages composed by real mail programs, each beside the files Python's
// email package extracts from it (tests/data/make_corpus.py wrote both).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "fuzz/FuzzTargets.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

const fs::path kCorpus = fs::path(MAILGATE_TEST_DATA) / "corpus";

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::map<std::string, std::string> FilesIn(const fs::path& folder) {
    std::map<std::string, std::string> files;
    if (fs::exists(folder)) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            files[entry.path().filename().string()] = Slurp(entry.path());
        }
    }
    return files;
}

std::vector<std::string> CaseNames() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(kCorpus)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Corpus : public ::testing::TestWithParam<std::string> {};

TEST_P(Corpus, InboxHoldsWhatPythonExtracts) {
    const fs::path folder = kCorpus / GetParam();
    const std::string raw = Slurp(folder / "message.eml");
    const int runs = std::stoi(Slurp(folder / "runs"));
    const std::string error = Slurp(folder / "error");
    TempDir inbox;
    for (int run = 0; run < runs; ++run) {
        TMailMessage message;
        TMessageParser parser(message);
        parser.AttachFilePath = inbox.Path() + "/";
        parser.Parse = true;
        FeedMessage(parser, message, raw);
        if (!error.empty()) {
            try {
                parser.ProcessMessage();
                FAIL() << "no exception";
            } catch (const Exception& e) {
                EXPECT_EQ(e.Message() + "\n", error);
            }
            continue;
        }
        parser.ProcessMessage();
        EXPECT_EQ(static_cast<size_t>(message.Attachments.Count()), parser.WrittenFiles().size());
        for (const auto& path : parser.WrittenFiles()) {
            EXPECT_TRUE(fs::exists(path)) << path;
        }
    }
    const auto expected = FilesIn(folder / "expected");
    const auto actual = FilesIn(inbox.Path());
    for (const auto& [name, bytes] : expected) {
        auto it = actual.find(name);
        ASSERT_NE(it, actual.end()) << "missing " << name;
        EXPECT_EQ(it->second, bytes) << "bytes of " << name;
    }
    for (const auto& [name, bytes] : actual) {
        EXPECT_TRUE(expected.count(name)) << "unexpected file " << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Messages, Corpus, ::testing::ValuesIn(CaseNames()), [](const auto& info) {
    std::string name = info.param;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

} // namespace
