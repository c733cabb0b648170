#include "tray/AbcfdirPath.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

constexpr std::size_t MaxPieceLength = 255;

struct Syntax {
    char separator;
    std::size_t rootLength; // "/" or "C:\"
};

Syntax SyntaxOf(TPathRules rules) {
    return rules == TPathRules::Windows ? Syntax{'\\', 3} : Syntax{'/', 1};
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// Drops trailing separators above the root so that joining works alike for
// "C:\A\" and "C:\A".
void TrimFolder(std::string& folder, const Syntax& syntax) {
    while (folder.size() > syntax.rootLength && folder.back() == syntax.separator) {
        folder.pop_back();
    }
}

// The parent of a folder that is not a root.
std::string ParentOf(const std::string& folder, const Syntax& syntax) {
    const std::size_t cut = folder.rfind(syntax.separator);
    if (cut == std::string::npos) {
        return folder;
    }
    std::string parent = folder.substr(0, std::max(cut, syntax.rootLength - 1));
    if (parent.size() < syntax.rootLength) {
        parent.push_back(syntax.separator);
    }
    return parent;
}

bool ValidPiece(std::string_view piece, TPathRules rules) {
    if (piece.empty() || piece.size() > MaxPieceLength) {
        return false;
    }
    // On Linux a file name may hold any byte but "/" and NUL.
    const std::string_view forbidden =
        rules == TPathRules::Windows ? std::string_view("\"*/:<>?\\|") : std::string_view("/\0", 2);
    return piece.find_first_of(forbidden) == std::string_view::npos;
}

bool SameDrive(char a, char b) {
    return std::toupper(static_cast<unsigned char>(a)) ==
           std::toupper(static_cast<unsigned char>(b));
}

} // namespace

TPathRules NativePathRules() noexcept {
#ifdef _WIN32
    return TPathRules::Windows;
#else
    return TPathRules::Posix;
#endif
}

const char* MessageLineBreak() noexcept {
#ifdef _WIN32
    return "\r\n";
#else
    return "\n";
#endif
}

TPathCheck CheckDirectoryPath(std::string& path, std::string workingFolder,
                              const std::vector<std::string>& driveRoots, TPathRules rules) {
    const Syntax syntax = SyntaxOf(rules);
    std::string work = path;
    if (rules == TPathRules::Windows) {
        std::replace(work.begin(), work.end(), '/', '\\');
    }
    TrimFolder(workingFolder, syntax);

    const std::string here = std::string(".") + syntax.separator;
    const std::string up = std::string("..") + syntax.separator;
    bool relative = false;
    if (StartsWith(work, here)) {
        work.erase(0, here.size());
        relative = true;
    }
    while (StartsWith(work, up)) {
        work.erase(0, up.size());
        relative = true;
        if (workingFolder.size() <= syntax.rootLength) {
            return TPathCheck::InvalidName; // a root has no parent
        }
        workingFolder = ParentOf(workingFolder, syntax);
    }
    if (relative) {
        if (work.empty()) {
            work = workingFolder;
        } else if (workingFolder.size() <= syntax.rootLength) {
            work = workingFolder + work;
        } else {
            work = workingFolder + syntax.separator + work;
        }
    }

    if (rules == TPathRules::Windows) {
        if (work.empty()) {
            return TPathCheck::DriveMissing;
        }
        if (workingFolder.empty() || !SameDrive(work[0], workingFolder[0])) {
            const bool known = std::any_of(driveRoots.begin(), driveRoots.end(), [&](auto& root) {
                return !root.empty() && SameDrive(root[0], work[0]);
            });
            if (!known) {
                return TPathCheck::DriveMissing;
            }
        }
        if (work.size() < 3 || work[1] != ':' || work[2] != '\\') {
            return TPathCheck::DriveMissing;
        }
    } else if (work.empty() || work[0] != '/') {
        // No drive letters here: a path that names no root is the nearest
        // match of a path on a drive that does not exist.
        return TPathCheck::DriveMissing;
    }

    std::string_view rest = std::string_view(work).substr(syntax.rootLength);
    if (!rest.empty()) {
        if (rest.back() == syntax.separator) {
            rest.remove_suffix(1);
        }
        std::size_t start = 0;
        while (true) {
            const std::size_t end = rest.find(syntax.separator, start);
            const std::string_view piece = rest.substr(
                start, end == std::string_view::npos ? std::string_view::npos : end - start);
            if (!ValidPiece(piece, rules)) {
                return TPathCheck::InvalidName;
            }
            if (end == std::string_view::npos) {
                break;
            }
            start = end + 1;
        }
    }
    path = work;
    return TPathCheck::Valid;
}

std::string FormatPathMessage(const char* format, const std::string& path) {
    const std::string lineBreak = MessageLineBreak();
    const std::string args[3] = {path, lineBreak, lineBreak};
    std::string text;
    int next = 0;
    for (const char* p = format; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's' && next < 3) {
            text += args[next++];
            ++p;
        } else {
            text += *p;
        }
    }
    return text;
}
