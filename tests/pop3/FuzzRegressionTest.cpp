// Every input that ever crashed a fuzz target stays here as a named file and
// must go through both targets cleanly.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fuzz/FuzzTargets.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Inputs() {
    std::vector<std::string> names;
    for (const auto& e :
         fs::directory_iterator(fs::path(MAILGATE_TEST_DATA) / "fuzz-regressions")) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class FuzzRegression : public ::testing::TestWithParam<std::string> {};

TEST_P(FuzzRegression, PassesBothTargets) {
    std::ifstream in(fs::path(MAILGATE_TEST_DATA) / "fuzz-regressions" / GetParam(),
                     std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    const std::string bytes = s.str();
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    TempDir scratch;
    EXPECT_NO_FATAL_FAILURE(FuzzDecoder(data, bytes.size()));
    EXPECT_NO_FATAL_FAILURE(FuzzMessage(data, bytes.size(), scratch.Path() + "/"));
    EXPECT_TRUE(fs::is_empty(scratch.Path()));
}

INSTANTIATE_TEST_SUITE_P(Saved, FuzzRegression, ::testing::ValuesIn(Inputs()),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) {
                                     c = '_';
                                 }
                             }
                             return name;
                         });

} // namespace
