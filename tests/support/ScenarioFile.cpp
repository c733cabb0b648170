// Reading scenario files; the format is described in ScriptedPeer.h.
#include "ScriptedPeer.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (text[++i]) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case '0':
            out += '\0';
            break;
        case 's':
            out += ' ';
            break;
        default:
            out += text[i];
            break;
        }
    }
    return out;
}

// "N text" of a fault switch: N, and the text after it.
int SwitchNumber(const std::string& argument, std::string& rest) {
    std::size_t used = 0;
    int n = std::stoi(argument, &used);
    rest = used < argument.size() ? argument.substr(used + 1) : "";
    return n;
}

} // namespace

ScenarioFile ScenarioFile::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    ScenarioFile file;
    auto current = [&file]() -> PeerScenario& {
        if (file.connections.empty()) {
            file.connections.emplace_back();
        }
        return file.connections.back();
    };
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::string rest;
        try {
            if (line.empty() || line[0] == '#') {
                continue;
            } else if (line == "---") {
                current();
                file.connections.emplace_back();
            } else if (StartsWith(line, "S:") || StartsWith(line, "S~") || StartsWith(line, "C:")) {
                current().script.push_back(Unescape(line));
            } else if (line == "CLOSE" || line == "RESET" || line == "HANG") {
                current().script.push_back(line);
            } else if (line == "@lf-only") {
                current().lfOnly = true;
            } else if (line == "@byte-at-a-time") {
                current().byteAtATime = true;
            } else if (StartsWith(line, "@replace-reply ")) {
                current().replaceReply = SwitchNumber(line.substr(15), rest);
                current().replacement = Unescape(rest);
            } else if (StartsWith(line, "@close-in-reply ")) {
                current().closeInReply = SwitchNumber(line.substr(16), rest);
            } else if (StartsWith(line, "! ")) {
                std::size_t colon = line.find(':');
                std::string key = line.substr(2, colon == std::string::npos ? colon : colon - 2);
                std::string value =
                    colon == std::string::npos ? "" : line.substr(std::min(colon + 2, line.size()));
                file.outcome.emplace_back(key, Unescape(value));
            } else {
                throw std::invalid_argument("not a scenario line");
            }
        } catch (const std::logic_error&) {
            throw std::runtime_error(path + ":" + std::to_string(number) + ": cannot read \"" +
                                     line + "\"");
        }
    }
    return file;
}

std::vector<std::string> ScenarioFile::In(const std::string& folder) {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == ".txt") {
            paths.push_back(entry.path().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::string ScenarioFile::TestName(const std::string& path) {
    std::string name = std::filesystem::path(path).stem().string();
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}
