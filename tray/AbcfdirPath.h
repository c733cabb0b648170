#pragma once
// The folder chooser's path syntax check and the texts of its messages.
#include <string>
#include <vector>

// Which file-system syntax a typed path is checked against.
enum class TPathRules {
    Posix,   // "/" separator, absolute paths begin with "/"
    Windows, // "\" separator (a "/" is read as one), "X:\" drive prefix
};

// The rules of the system we run on.
TPathRules NativePathRules() noexcept;

enum class TPathCheck { Valid, DriveMissing, InvalidName };

// Checks `path` and rewrites it in place: "./" and "../" prefixes are resolved
// against `workingFolder` and such a relative path is made absolute. With
// Windows rules every "/" becomes "\" and `driveRoots` (the drive box's
// entries) are the drives a path may name; Posix rules only need the path to
// be absolute after that. Each piece between separators must be non-empty and
// at most 255 bytes; one trailing separator is allowed.
TPathCheck CheckDirectoryPath(std::string& path, std::string workingFolder,
                              const std::vector<std::string>& driveRoots, TPathRules rules);

// Message formats, each filled with the path and two line breaks.
inline constexpr const char* MsgDriveMissing =
    "%s%sDrive does not exist.%sPlease choose a different drive.";
inline constexpr const char* MsgInvalidName =
    "%s%sInvalid Filename.%sPlease enter a different path.";
inline constexpr const char* MsgExistsRefused =
    "%s%sThis path already exists.%sPlease enter a different path.";
inline constexpr const char* MsgExistsPrompt =
    "%s%sThis path already exists.%sAre you sure you want to use this path?";
inline constexpr const char* MsgMissingRefused =
    "%s%sThis path does not exist.%sPlease enter a different path.";
inline constexpr const char* MsgMissingPrompt =
    "%s%sThis path does not exist.%sAre you sure you want to create this path?";
// Our own: creating the folder can fail (rights, a file in the way), and an
// uncreated folder must not be reported as chosen.
inline constexpr const char* MsgCreateFailed =
    "%s%sThis path could not be created.%sPlease enter a different path.";

// The line break of a message text on this system.
const char* MessageLineBreak() noexcept;

// Fills the three "%s" of `format` with `path` and two line breaks.
std::string FormatPathMessage(const char* format, const std::string& path);
