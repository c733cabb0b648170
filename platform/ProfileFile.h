#pragma once
// An INI ("profile") file with the effects of the Windows profile functions
// the settings were designed around: reads fall back to a default, section and
// key names match without regard to case, and a write touches only the one
// key, leaving comments, unknown keys and line order as they were.
#include <string>

// A file kept beside a settings file and named after it: "options.ini" and
// ".uidl" give "options.uidl"; a name without ".ini" gets the extension
// added. Raises only std::bad_alloc.
std::string BesideSettings(const std::string& settingsPath, const std::string& extension);

class TProfileFile {
public:
    explicit TProfileFile(std::string path) : path_(std::move(path)) {}

    // The longest value a read returns (the original read into a buffer of 2048
    // characters including its terminator).
    static constexpr size_t MaxValueLength = 2047;

    // The value of `key` in `section`, or `defaultValue` when the file, the
    // section or the key is missing. Blanks around the value are dropped, and
    // one pair of matching quotes around it is removed.
    // Only a file that does not exist counts as missing. Any other failure to
    // read it (no permission, a folder, a FIFO or device at the path, a path
    // through a file) raises EInOutError "Unable to read <path>: <reason>",
    // the reason being the system's text ("Permission denied", "Is a
    // directory", "Not a directory", ...) or "not a regular file". A FIFO is
    // never opened in a way that waits for a writer.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;

    // Sets `key` in `section`, creating the file, the section or the key when
    // missing. The file is replaced atomically; a new file is readable by its
    // owner only (it holds passwords). A file that exists but cannot be read
    // is left exactly as it is: the same EInOutError as ReadString, nothing
    // written (rebuilding it from nothing would lose every other setting).
    // Raises EInOutError "Unable to write to <path>" when the file cannot be
    // written.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);

    const std::string& Path() const noexcept { return path_; }

private:
    std::string path_;
};
