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
// Use: make one instance before the window, enable it, and route the dispatch
// catch to HandleException():
//     TExcMagic excMagic(headless ? TExcMagic::mdConsole : TExcMagic::mdDialog);
//     excMagic.SetEnabled(true);
//     app.OnException = [](const std::exception& e) { TExcMagic::ExcMagic()->HandleException(e); };
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

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
    // The message of `e` at `address`, at most `size` - 1 characters.
    std::string BuildMessage(const std::exception* e, uintptr_t address, size_t size = 1025);
    // Fills CallStack, CallStackLines and RegisterLines from this thread's
    // last raise.
    void Collect();

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
    void* altStack_ = nullptr;

    friend class TDefaultExcMagicFilter;
};
