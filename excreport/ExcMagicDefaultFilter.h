#pragma once
// The built-in filter, registered for every std::exception: the message
// formats, the log entry and the dialog or console report.
#include "excreport/ExcMagic.h"

class TDefaultExcMagicFilter : public IExcMagicFilter {
public:
    explicit TDefaultExcMagicFilter(TExcMagic& owner) : owner_(owner) {}

    int ShowException(const std::exception* e, const std::string& caption, TStringList& customLines,
                      TStringList& registerLines, TStringList& callStackLines,
                      const std::string& message) override;
    int LogException(const std::exception* e, const std::string& message, TStringList& customLines,
                     TStringList& registerLines, TStringList& callStackLines) override;
    int ExceptionMessage(const std::exception* e, const TExceptionMessageInfo& info,
                         TStringList& customLines, size_t bufferSize, std::string& buffer) override;

    // The log entry as written to the file.
    static std::string LogEntry(const std::string& dateTime, const std::string& message,
                                const TStringList& callStackLines, const TStringList& registerLines,
                                const TStringList& customLines);

private:
    void ShowOnConsole(const std::string& message, TStringList& customLines,
                       TStringList& registerLines, TStringList& callStackLines);
    TExcMagic& owner_;
};
