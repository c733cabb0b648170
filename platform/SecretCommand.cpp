#include "platform/SecretCommand.h"

#include <QObject>
#include <QProcess>
#include <QTimer>

#include "platform/EventLoopWait.h"

std::vector<std::string> SplitCommandLine(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false; // a word has begun (it may still be empty: "")
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            continue;
        }
        if (c == '\\') {
            if (++i == line.size()) {
                throw ECommandLineError("it ends in a backslash");
            }
            if (line[i] != '\n') {
                word += line[i];
                inWord = true;
            }
            continue;
        }
        inWord = true;
        if (c == '\'') {
            const std::size_t close = line.find('\'', i + 1);
            if (close == std::string_view::npos) {
                throw ECommandLineError("a single quote is not closed");
            }
            word.append(line.substr(i + 1, close - i - 1));
            i = close;
            continue;
        }
        if (c == '"') {
            for (++i;; ++i) {
                if (i >= line.size()) {
                    throw ECommandLineError("a double quote is not closed");
                }
                if (line[i] == '"') {
                    break;
                }
                if (line[i] == '\\' && i + 1 < line.size()) {
                    const char next = line[i + 1];
                    if (next == '"' || next == '\\' || next == '$' || next == '`') {
                        word += next;
                        ++i;
                        continue;
                    }
                    if (next == '\n') {
                        ++i;
                        continue;
                    }
                }
                word += line[i];
            }
            continue;
        }
        word += c;
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    if (words.empty() || words.front().empty()) {
        throw ECommandLineError("it names no program");
    }
    return words;
}

namespace {

// Appends what fits of `bytes` below `limit`; the rest is dropped.
void Keep(const QByteArray& bytes, std::string& kept, std::size_t limit) {
    const std::size_t room = limit - std::min(limit, kept.size());
    kept.append(bytes.constData(), std::min(room, static_cast<std::size_t>(bytes.size())));
}

// The first line of a command's error output, made fit for a status line.
std::string FirstErrorLine(const std::string& err) {
    std::string line;
    for (char c : err) {
        if (c == '\n' || c == '\r') {
            break;
        }
        if (line.size() == TSecretCommand::MaxErrorShown) {
            line += "...";
            break;
        }
        const auto byte = static_cast<unsigned char>(c);
        line += byte < ' ' || byte == 0x7f ? '?' : c;
    }
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    return line;
}

std::string Duration(int ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

} // namespace

TSecretCommand::TSecretCommand(std::string commandLine, std::string what)
    : commandLine_(std::move(commandLine)), what_(std::move(what)) {}

ESecretCommandError TSecretCommand::Failure(const std::string& why) const {
    return ESecretCommandError("Password command for " + what_ + " failed: " + why);
}

std::string TSecretCommand::Run() const {
    std::vector<std::string> words;
    try {
        words = SplitCommandLine(commandLine_);
    } catch (const ECommandLineError& e) {
        throw Failure(std::string("the command line is not valid: ") + e.what());
    }
    QStringList arguments;
    for (std::size_t i = 1; i < words.size(); ++i) {
        arguments << QString::fromStdString(words[i]);
    }

    QProcess process;
    process.setProgram(QString::fromStdString(words.front()));
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    std::string out;
    std::string err;
    bool finished = false;
    bool failedToStart = false;
    bool timedOut = false;
    // Read as it comes, so that a command that prints without end neither
    // blocks on a full pipe nor fills the memory.
    QObject::connect(&process, &QProcess::readyReadStandardOutput,
                     [&] { Keep(process.readAllStandardOutput(), out, MaxOutputBytes); });
    QObject::connect(&process, &QProcess::readyReadStandardError,
                     [&] { Keep(process.readAllStandardError(), err, MaxErrorBytes); });
    QObject::connect(&process, &QProcess::finished, [&] { finished = true; });
    QObject::connect(&process, &QProcess::errorOccurred, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            failedToStart = true;
        }
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] { timedOut = true; });
    deadline.start(timeOutMs_);
    process.start();
    ProcessMessagesUntil([&] { return finished || failedToStart || timedOut; });
    deadline.stop();

    if (failedToStart) {
        throw Failure("cannot start " + words.front() + ": " + process.errorString().toStdString());
    }
    if (!finished) {
        process.kill();
        process.waitForFinished(1000);
        throw Failure("timed out after " + Duration(timeOutMs_));
    }
    Keep(process.readAllStandardOutput(), out, MaxOutputBytes);
    Keep(process.readAllStandardError(), err, MaxErrorBytes);
    if (process.exitStatus() == QProcess::CrashExit) {
        // Qt keeps the signal's number as the exit code of a crash.
        throw Failure("ended by signal " + std::to_string(process.exitCode()));
    }
    if (process.exitCode() != 0) {
        const std::string line = FirstErrorLine(err);
        throw Failure("exit " + std::to_string(process.exitCode()) +
                      (line.empty() ? "" : ": " + line));
    }
    const std::size_t end = out.find('\n');
    if (end == std::string::npos && out.size() >= MaxOutputBytes) {
        throw Failure("its first line is longer than " + std::to_string(MaxOutputBytes) + " bytes");
    }
    std::string secret = out.substr(0, end);
    while (!secret.empty() &&
           (secret.back() == '\r' || secret.back() == ' ' || secret.back() == '\t')) {
        secret.pop_back();
    }
    if (secret.empty()) {
        throw Failure("its first line is empty");
    }
    return secret;
}
