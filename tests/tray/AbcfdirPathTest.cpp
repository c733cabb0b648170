// The folder chooser's path syntax check, under the rules of this system and
// under the drive-letter rules of a Windows build.
#include <gtest/gtest.h>

#include "support/RowName.h"
#include "tray/AbcfdirPath.h"

namespace {

struct PathCase {
    const char* name;
    std::string typed;
    std::string workingFolder;
    TPathCheck result;
    std::string rewritten; // what the path becomes when valid
};

void PrintTo(const PathCase& c, std::ostream* os) {
    *os << c.name;
}

// Checks the typed path of `c` under `rules`, with `driveRoots` in the drive
// box, against the result `c` expects; returns the path as it was left.
std::string Checked(const PathCase& c, const std::vector<std::string>& driveRoots,
                    TPathRules rules) {
    std::string path = c.typed;
    EXPECT_EQ(CheckDirectoryPath(path, c.workingFolder, driveRoots, rules), c.result);
    return path;
}

class PosixPaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(PosixPaths, CheckAndRewrite) {
    const PathCase& c = GetParam();
    const std::string path = Checked(c, {"/", "/mnt/usb"}, TPathRules::Posix);
    EXPECT_EQ(path, c.result == TPathCheck::Valid ? c.rewritten : c.typed);
}

const std::string Long255(255, 'n');

INSTANTIATE_TEST_SUITE_P(
    Table, PosixPaths,
    ::testing::Values(
        PathCase{"ParentOfNestedFolder", "../x", "/a/b", TPathCheck::Valid, "/a/x"},
        PathCase{"TwoParents", "../../x", "/a/b", TPathCheck::Valid, "/x"},
        PathCase{"ParentWithTrailingSeparatorInFolder", "../x", "/a/b/", TPathCheck::Valid, "/a/x"},
        PathCase{"ParentOfRootFails", "../x", "/", TPathCheck::InvalidName, ""},
        PathCase{"ParentBeyondRootFails", "../../x", "/a", TPathCheck::InvalidName, ""},
        PathCase{"ParentOnlyIsTheParent", "../", "/a/b", TPathCheck::Valid, "/a"},
        PathCase{"HereOnlyIsTheWorkingFolder", "./", "/a", TPathCheck::Valid, "/a"},
        PathCase{"HereFromRootJoinsDirectly", "./c", "/", TPathCheck::Valid, "/c"},
        PathCase{"DoubleSeparatorFails", "/a//b", "/w", TPathCheck::InvalidName, ""},
        PathCase{"TrailingSeparatorPasses", "/a/", "/w", TPathCheck::Valid, "/a/"},
        PathCase{"TwoTrailingSeparatorsFail", "/a//", "/w", TPathCheck::InvalidName, ""},
        PathCase{"RootPasses", "/", "/w", TPathCheck::Valid, "/"},
        PathCase{"DoubleRootFails", "//", "/w", TPathCheck::InvalidName, ""},
        PathCase{"RelativeWithoutPrefixNamesNoRoot", "a/", "/w", TPathCheck::DriveMissing, ""},
        PathCase{"WindowsDriveNamesNoRoot", "C:\\a", "/w", TPathCheck::DriveMissing, ""},
        PathCase{"AnyByteButSlashAndNul", "/a:b*c?\"<|>\\", "/w", TPathCheck::Valid,
                 "/a:b*c?\"<|>\\"},
        PathCase{"NulFails", std::string("/a\0b", 4), "/w", TPathCheck::InvalidName, ""},
        PathCase{"Piece255Passes", "/" + Long255, "/w", TPathCheck::Valid, "/" + Long255},
        PathCase{"Piece256Fails", "/" + Long255 + "n", "/w", TPathCheck::InvalidName, ""}),
    RowName());

class WindowsPaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(WindowsPaths, CheckAndRewrite) {
    const PathCase& c = GetParam();
    const std::string path = Checked(c, {"c: [SYSTEM]", "d: [DATA]"}, TPathRules::Windows);
    if (c.result == TPathCheck::Valid) {
        EXPECT_EQ(path, c.rewritten);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, WindowsPaths,
    ::testing::Values(
        PathCase{"ParentOfNestedFolder", "..\\x", "C:\\A\\B", TPathCheck::Valid, "C:\\A\\x"},
        PathCase{"ParentOfDriveRootFails", "..\\x", "C:\\", TPathCheck::InvalidName, ""},
        PathCase{"ParentReachesDriveRoot", "..\\x", "C:\\A", TPathCheck::Valid, "C:\\x"},
        PathCase{"SlashesBecomeBackslashes", "C:/a/b", "C:\\w", TPathCheck::Valid, "C:\\a\\b"},
        PathCase{"DoubleBackslashFails", "C:\\a\\\\b", "C:\\w", TPathCheck::InvalidName, ""},
        PathCase{"TrailingBackslashPasses", "C:\\a\\", "C:\\w", TPathCheck::Valid, "C:\\a\\"},
        PathCase{"OtherKnownDrive", "D:\\x", "C:\\w", TPathCheck::Valid, "D:\\x"},
        PathCase{"UnknownDrive", "Q:\\x", "C:\\w", TPathCheck::DriveMissing, ""},
        PathCase{"NoColonBackslash", "C:x", "C:\\w", TPathCheck::DriveMissing, ""},
        PathCase{"ForbiddenCharacter", "C:\\a?b", "C:\\w", TPathCheck::InvalidName, ""},
        PathCase{"ColonInPiece", "C:\\a:b", "C:\\w", TPathCheck::InvalidName, ""}),
    RowName());

TEST(AbcfdirMessages, PathThenTheTwoSentencesOnThreeLines) {
    EXPECT_EQ(FormatPathMessage(MsgInvalidName, "/a//b"),
              "/a//b\nInvalid Filename.\nPlease enter a different path.");
    EXPECT_EQ(FormatPathMessage(MsgDriveMissing, "x"),
              "x\nDrive does not exist.\nPlease choose a different drive.");
    // A "%s" inside the path is text, not a format.
    EXPECT_EQ(FormatPathMessage(MsgMissingPrompt, "/%s"),
              "/%s\nThis path does not exist.\nAre you sure you want to create this path?");
}

} // namespace
