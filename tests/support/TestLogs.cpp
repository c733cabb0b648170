#include "support/TestLogs.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

const char* KeepFolder() {
    const char* folder = std::getenv("MAILGATE_TEST_LOGS");
    return folder != nullptr && *folder != '\0' ? folder : nullptr;
}

// Names unique across the test processes that run at once.
std::string UniqueName(const std::string& base) {
    static std::atomic<unsigned> count{0};
    return std::to_string(::getpid()) + "-" + std::to_string(count++) + "-" + base;
}

bool NamesALog(const fs::path& file) {
    std::string name = file.filename().string();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name.find(".log") != std::string::npos;
}

} // namespace

void KeepTestLogs(const std::string& folder) {
    const char* keep = KeepFolder();
    if (keep == nullptr) {
        return;
    }
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec) && NamesALog(it->path())) {
            std::error_code copyError;
            fs::copy_file(it->path(), fs::path(keep) / UniqueName(it->path().filename().string()),
                          copyError);
        }
    }
}

void KeepTestOutput(const std::string& what, const std::string& text) {
    const char* keep = KeepFolder();
    if (keep == nullptr || text.empty()) {
        return;
    }
    std::ofstream out(fs::path(keep) / UniqueName(what + ".out"), std::ios::binary);
    out << text;
}
