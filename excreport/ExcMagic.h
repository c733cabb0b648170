#pragma once
// The process-wide exception reporter. It records every exception at the
// moment it is raised (processor state and return addresses, before any
// handler runs), optionally logs it right then, and when the application's
// dispatch catch hands it an unhandled exception it builds the report
// (message, call stack resolved to functions, files and lines, registers,
// stack dump), logs it to "ExcMagic.Log" and shows it in its dialog or on the
// console. Fatal signals are logged with their machine context before the
// process ends as the signal would end it.
//
// The log is kept to a size (see TExcLogFile: "ExcMagic.Log" is renamed to
// "ExcMagic.Log.1" when it would grow past LogSizeLimit()), and within one
// poll cycle an exception of the same class and message as one already
// logged is counted instead of logged again; the count is written when the
// next cycle starts (NewCycle) or the reporter goes away.
//
// Use: make one instance before the window, enable it, and route the dispatch
// catch to HandleException():
//     TExcMagic excMagic(headless ? TExcMagic::mdConsole : TExcMagic::mdDialog);
//     excMagic.SetEnabled(true);
//     app.OnException = [](const std::exception& e) { TExcMagic::ExcMagic()->HandleException(e); };
// and call TExcMagic::ExcMagic()->NewCycle() when each poll cycle starts.
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "excreport/ExcLogFile.h"
#include "excreport/ExcMagicDlg.h"
#include "excreport/ExcStackTracer.h"
#include "platform/Exception.h"
#include "platform/StringList.h"

MAILGATE_EXCEPTION(EExcMagicError, Exception);
// A fatal signal (or a thrown object that is no std::exception) as an
// exception object for the report.
MAILGATE_EXCEPTION(EExternalException, Exception);

// Options bits.
constexpr uint8_t roDetailsOpen = 1;
constexpr uint8_t roCallStack = 2;
constexpr uint8_t roRegisters = 4;
constexpr uint8_t roCustom = 8;
constexpr uint8_t roTerminate = 16;
constexpr uint8_t roSourceInMessage = 32;
constexpr uint8_t roShow = 64;

// What BuildMessage knows about the exception address.
struct TExceptionMessageInfo {
    std::string Message;    // empty when there is no exception object
    std::string ModuleName; // without folder, at most 260 characters
    uintptr_t Address = 0;
    uint64_t CodeOffset = 0; // relative address in the module
    int UnitIndex = -1;
    int ProcedureIndex = -1;
    int SourceIndex = -1;
    int Line = -1;
    TModuleDebugInfo* DebugInfo = nullptr;
    std::string SourceFile = "UNKNOWN";
    std::string LineText = "UNKNOWN";
    std::string ProcedureName = "UNKNOWN";
    std::string UnitName = "UNKNOWN";
};

// A filter formats, logs and shows reports for the exception classes it is
// registered for. Each operation returns 0 to stop the chain, anything else
// to let the filter registered before it run too.
class IExcMagicFilter {
public:
    virtual ~IExcMagicFilter() = default;
    virtual int ShowException(const std::exception* e, const std::string& caption,
                              TStringList& customLines, TStringList& registerLines,
                              TStringList& callStackLines, const std::string& message) = 0;
    virtual int LogException(const std::exception* e, const std::string& message,
                             TStringList& customLines, TStringList& registerLines,
                             TStringList& callStackLines) = 0;
    // Writes the message into `buffer`, at most `bufferSize` - 1 characters.
    virtual int ExceptionMessage(const std::exception* e, const TExceptionMessageInfo& info,
                                 TStringList& customLines, size_t bufferSize,
                                 std::string& buffer) = 0;
};

class TExcMagic {
public:
    enum TMode : uint8_t { mdDialog = 1, mdConsole = 2 };
    using TClassMatch = std::function<bool(const std::exception& e)>;

    // Raises EExcMagicError "Only one instance of TExcMagic allowed" when one
    // exists already.
    explicit TExcMagic(uint8_t mode = mdDialog);
    ~TExcMagic();
    TExcMagic(const TExcMagic&) = delete;
    TExcMagic& operator=(const TExcMagic&) = delete;

    // The one instance, or null.
    static TExcMagic* ExcMagic() noexcept;

    // --- properties -----------------------------------------------------
    uint8_t Mode() const noexcept { return mode_; }
    // Installs or removes the raise hook and the fatal-signal handlers.
    // Enabling also reads the debug information (line tables, unit ranges,
    // symbols) of the program and of every module loaded at that time, so
    // that a fatal-signal handler only looks up (about 5 MB and some tens
    // of milliseconds with the Qt libraries), and gives
    // the calling thread an alternate signal stack of SignalStackSize bytes
    // with an inaccessible guard page below it.
    bool Enabled() const noexcept { return enabled_; }
    void SetEnabled(bool enabled);
    const std::string& Caption() const noexcept { return caption_; }
    void SetCaption(std::string caption) { caption_ = std::move(caption); }
    bool LogEnabled() const noexcept { return logEnabled_; }
    void SetLogEnabled(bool enabled) noexcept { logEnabled_ = enabled; }
    bool LogOnDispatch() const noexcept { return logOnDispatch_; }
    void SetLogOnDispatch(bool log) noexcept { logOnDispatch_ = log; }
    uint8_t Options() const noexcept { return options_; }
    void SetOptions(uint8_t options) noexcept { options_ = options; }
    const TIconName& IconName() const noexcept { return iconName_; }
    void SetIconName(TIconName icon) { iconName_ = std::move(icon); }
    const std::string& LogFileName() const noexcept { return logFileName_; }
    void SetLogFileName(std::string fileName) { logFileName_ = std::move(fileName); }
    // Bytes the log file may reach before it is renamed to LogFileName() +
    // ".1"; TExcLogFile::defaultSizeLimit (4 MiB) unless set.
    uint64_t LogSizeLimit() const noexcept { return logFile_.SizeLimit(); }
    void SetLogSizeLimit(uint64_t bytes) noexcept { logFile_.SetSizeLimit(bytes); }
    int MaxCallStackDepth() const noexcept { return maxCallStackDepth_; }
    void SetMaxCallStackDepth(int depth) noexcept;
    const std::string& CustomTabCaption() const noexcept { return customTabCaption_; }
    void SetCustomTabCaption(std::string caption) { customTabCaption_ = std::move(caption); }

    // Called instead of ending the process when the user presses "Terminate".
    std::function<void()> OnTerminate;
    // Runs the report dialog and returns its result; by default the dialog's
    // exec(). Tests replace it to look at the dialog without blocking.
    std::function<int(TExcMagicDlg& dialog)> OnExecuteDialog;
    // Receives the console report; by default written to standard error.
    std::function<void(const std::string& text)> OnConsoleWrite;

    // --- the last report ------------------------------------------------
    TExcCallStack& CallStack() noexcept { return callStack_; }
    TStringList& CallStackLines() noexcept { return callStackLines_; }
    TStringList& RegisterLines() noexcept { return registerLines_; }
    TStringList& CustomLines() noexcept { return customLines_; }

    // --- filters --------------------------------------------------------
    template <class E> void RegisterFilter(std::shared_ptr<IExcMagicFilter> filter, bool exact) {
        RegisterFilter(
            typeid(E),
            [exact](const std::exception& e) {
                if (exact) {
                    return typeid(e) == typeid(E);
                }
                if constexpr (std::is_same_v<E, std::exception>) {
                    return true;
                } else {
                    return dynamic_cast<const E*>(&e) != nullptr;
                }
            },
            std::move(filter), exact);
    }
    void RegisterFilter(const std::type_info& cls, TClassMatch matches,
                        std::shared_ptr<IExcMagicFilter> filter, bool exact);
    void UnregisterFilter(const std::shared_ptr<IExcMagicFilter>& filter);
    const std::shared_ptr<IExcMagicFilter>& DefaultFilter() const noexcept { return default_; }

    // Debug information of the module containing `address`, or null.
    TModuleDebugInfo* ModuleInfoFor(uintptr_t address);
    static std::string Unmangle(const std::string& name, bool dotSeparator);

    // --- reporting ------------------------------------------------------
    // The show path of the dispatch catch: builds, logs (unless it was logged
    // at the raise) and shows the report of `e`. Never throws.
    void HandleException(const std::exception& e) noexcept;
    // The same for an exception of unknown type (catch (...)).
    void HandleUnknownException() noexcept;
    // Logs the exception this thread raised last.
    void LogNow() noexcept;
    // Starts a new poll cycle for the log: when an exception was left out of
    // the log as a repeat since the last call, one line per such exception,
    // "(the same exception was raised <N> more times: '<class>', "<message>")",
    // is appended to the log now; then every exception counts as new again.
    // The application calls it at the start of every poll cycle; the
    // destructor does the same for the last cycle. Never throws.
    void NewCycle() noexcept;
    // The message of `e` at `address`, at most `size` - 1 characters.
    std::string BuildMessage(const std::exception* e, uintptr_t address, size_t size = 1025);
    // Fills CallStack, CallStackLines and RegisterLines from this thread's
    // last raise.
    void Collect();

    // The size of the alternate stack the fatal-signal handlers run on.
    // Generous: the report looks up names and lines there, whatever the
    // processor's own signal frame takes.
    static constexpr size_t SignalStackSize = 8u << 20;

    // Used by the raise hook and the signal handlers; not for callers.
    struct TCaptured;
    static void RecordThrow(void* object, const std::type_info* type, void* returnAddress,
                            void* frame) noexcept;
    static void OnFatalSignal(int signal, void* info, void* context) noexcept;

private:
    struct TRegistration {
        const std::type_info* Class;
        TClassMatch Matches;
        std::shared_ptr<IExcMagicFilter> Filter;
        bool Enabled;
        bool Exact;
    };
    std::vector<TRegistration> MatchingFilters(const std::exception& e);
    void ShowHook(const std::exception& e, const TCaptured& state, bool alreadyLogged);
    void LogChain(const std::exception* e, const std::string& message);
    // False when `e` repeats an exception logged in this cycle (then counted).
    bool TakeForLog(const std::exception& e);
    void RunLogFilters(const std::exception* e, const std::string& message);
    void WarmUpDebugInfo();
    void CollectFrom(const TCaptured& state);
    void FormatCallStack();
    void FormatRegisters(const TCaptured& state);
    void InstallSignalHandlers();
    void RemoveSignalHandlers();
    void ReportFatal(const std::exception& e, const TCaptured& state) noexcept;

    uint8_t mode_;
    TExcCallStack callStack_;
    TStringList callStackLines_;
    TStringList registerLines_;
    TStringList customLines_;
    std::string customTabCaption_ = "Additional";
    std::shared_ptr<IExcMagicFilter> default_;
    uintptr_t moduleHandle_ = 0;
    std::recursive_mutex modulesLock_;
    std::vector<std::unique_ptr<TModuleDebugInfo>> moduleInfos_;
    std::recursive_mutex filtersLock_;
    std::vector<TRegistration> filters_;
    TIconName iconName_;
    bool enabled_ = false;
    std::string logFileName_;
    std::string caption_ = "Application Error";
    bool logEnabled_ = true;
    bool logOnDispatch_ = false;
    uint8_t options_ = roCallStack | roRegisters | roSourceInMessage | roShow;
    int maxCallStackDepth_ = 100;
    std::recursive_mutex reportLock_;
    TExcLogFile logFile_;
    TExcRepeats repeats_;
    void* altStack_ = nullptr; // the mapping, guard page included
    size_t altStackMapped_ = 0;

    friend class TDefaultExcMagicFilter;
};
