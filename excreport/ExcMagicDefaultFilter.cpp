#include "excreport/ExcMagicDefaultFilter.h"

#include <QApplication>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/Exception.h"

namespace {

// The log keeps the original's line ends: the file is the same report that
// people were used to reading.
constexpr const char* crlf = "\r\n";

std::string Format(const char* format, const std::string& a, const std::string& b,
                   const std::string& c, const std::string& d) {
    int n = std::snprintf(nullptr, 0, format, a.c_str(), b.c_str(), c.c_str(), d.c_str());
    std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
    std::snprintf(s.data(), s.size() + 1, format, a.c_str(), b.c_str(), c.c_str(), d.c_str());
    return s;
}

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.16llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Now() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

} // namespace

int TDefaultExcMagicFilter::ExceptionMessage(const std::exception* e,
                                             const TExceptionMessageInfo& info, TStringList&,
                                             size_t bufferSize, std::string& buffer) {
    std::string className = e != nullptr ? ExceptionClassName(*e) : "";
    std::string text = Format("Exception '%s' in module %s at %s\r\n%s", className, info.ModuleName,
                              Hex(info.CodeOffset), info.Message);
    if ((owner_.Options() & roSourceInMessage) != 0) {
        text += Format("\r\n\r\nModule: %s, Source: %s, Line %s\r\nProcedure: %s", info.UnitName,
                       info.SourceFile, info.LineText, info.ProcedureName);
    }
    if (bufferSize > 0 && text.size() > bufferSize - 1) {
        text.resize(bufferSize - 1);
    }
    buffer = text;
    return 1;
}

std::string TDefaultExcMagicFilter::LogEntry(const std::string& dateTime,
                                             const std::string& message,
                                             const TStringList& callStackLines,
                                             const TStringList& registerLines,
                                             const TStringList& customLines) {
    std::string entry = "---------------------------" + dateTime + "---------------------------";
    entry += crlf;
    entry += message;
    entry += crlf;
    entry += crlf;
    for (const auto& line : callStackLines) {
        entry += line + crlf;
    }
    entry += crlf;
    for (const auto& line : registerLines) {
        entry += line + crlf;
    }
    if (customLines.Count() > 0) {
        entry += crlf;
        entry += "Additional info:\r\n";
        for (const auto& line : customLines) {
            entry += line + crlf;
        }
    }
    entry += crlf;
    return entry;
}

int TDefaultExcMagicFilter::LogException(const std::exception*, const std::string& message,
                                         TStringList& customLines, TStringList& registerLines,
                                         TStringList& callStackLines) {
    const std::string& fileName = owner_.LogFileName();
    if (fileName.empty()) {
        return 1;
    }
    std::string entry = LogEntry(Now(), message, callStackLines, registerLines, customLines);
    // A file that cannot be opened or is locked by another writer loses this
    // entry, never the report.
    owner_.logFile_.Append(fileName, entry);
    return 1;
}

void TDefaultExcMagicFilter::ShowOnConsole(const std::string& message, TStringList& customLines,
                                           TStringList& registerLines,
                                           TStringList& callStackLines) {
    uint8_t options = owner_.Options();
    std::string text = message + "\n";
    auto add = [&text](const TStringList& lines) {
        for (const auto& line : lines) {
            text += line + "\n";
        }
    };
    if ((options & roCallStack) != 0) {
        add(callStackLines);
    }
    if ((options & roRegisters) != 0) {
        add(registerLines);
    }
    if ((options & roCustom) != 0) {
        add(customLines);
    }
    if (owner_.OnConsoleWrite) {
        owner_.OnConsoleWrite(text);
    } else {
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
    }
}

int TDefaultExcMagicFilter::ShowException(const std::exception*, const std::string& caption,
                                          TStringList& customLines, TStringList& registerLines,
                                          TStringList& callStackLines, const std::string& message) {
    uint8_t options = owner_.Options();
    if ((options & roShow) == 0) {
        return 1;
    }
    bool guiThread = QApplication::instance() != nullptr &&
                     QThread::currentThread() == QApplication::instance()->thread() &&
                     qobject_cast<QApplication*>(QApplication::instance()) != nullptr;
    if (owner_.Mode() == TExcMagic::mdConsole || owner_.Mode() == 4 || !guiThread) {
        ShowOnConsole(message, customLines, registerLines, callStackLines);
        return 1;
    }
    auto join = [](const TStringList& lines) {
        std::string text;
        for (const auto& line : lines) {
            text += line + "\n";
        }
        return text;
    };
    TExcMagicDlgParams params;
    params.Caption = caption;
    params.Message = message;
    params.CallStack = join(callStackLines);
    params.Registers = join(registerLines);
    params.Custom = join(customLines);
    params.CustomTitle = owner_.CustomTabCaption();
    params.Flags = ((options & roDetailsOpen) != 0 ? TExcMagicDlg::dfDetailsOpen : 0) |
                   ((options & roCallStack) != 0 ? TExcMagicDlg::dfCallStack : 0) |
                   ((options & roRegisters) != 0 ? TExcMagicDlg::dfRegisters : 0) |
                   ((options & roCustom) != 0 ? TExcMagicDlg::dfCustom : 0) |
                   ((options & roTerminate) != 0 ? TExcMagicDlg::dfTerminate : 0);
    params.Icon = owner_.IconName();
    QWidget* owner = QApplication::activeWindow();
    TExcMagicDlg dialog(params, owner);
    int result = owner_.OnExecuteDialog ? owner_.OnExecuteDialog(dialog) : dialog.exec();
    if (result == TExcMagicDlg::mrTerminate) {
        if (owner_.OnTerminate) {
            owner_.OnTerminate();
        } else {
            std::_Exit(0);
        }
    }
    return 1;
}
