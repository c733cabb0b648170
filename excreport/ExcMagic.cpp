#include "excreport/ExcMagic.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cxxabi.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include "excreport/ExcMagicDefaultFilter.h"
#include "excreport/ExcUnmangle.h"

// Defined beside the raise hook; referencing it links the hook into every
// program that makes a reporter.
void ExcThrowHookLinked() noexcept;

namespace {

std::atomic<TExcMagic*> instance{nullptr};
std::atomic<bool> hooksOn{false};

constexpr int maxRecordedReturns = 256;
constexpr int fatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
struct sigaction previousActions[sizeof fatalSignals / sizeof fatalSignals[0]];
std::atomic<bool> inFatal{false};

// Nesting of reporter work on this thread: a throw inside it (a failing
// allocation, a filter that raises) is not recorded again.
thread_local int reporterDepth = 0;

struct TDepthGuard {
    TDepthGuard() { ++reporterDepth; }
    ~TDepthGuard() { --reporterDepth; }
    TDepthGuard(const TDepthGuard&) = delete;
    TDepthGuard& operator=(const TDepthGuard&) = delete;
};

std::string Hex(uint64_t value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string WithoutFolder(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

uint16_t SegmentRegister(int which) {
    uint16_t value = 0;
    switch (which) {
    case 0:
        asm volatile("mov %%cs, %0" : "=r"(value));
        break;
    case 1:
        asm volatile("mov %%ss, %0" : "=r"(value));
        break;
    case 2:
        asm volatile("mov %%ds, %0" : "=r"(value));
        break;
    case 3:
        asm volatile("mov %%es, %0" : "=r"(value));
        break;
    case 4:
        asm volatile("mov %%fs, %0" : "=r"(value));
        break;
    default:
        asm volatile("mov %%gs, %0" : "=r"(value));
        break;
    }
    return value;
}

const char* SignalName(int signal) {
    switch (signal) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "signal";
    }
}

} // namespace

// The processor state and return addresses of one raise or fault. Plain data:
// filled inside the raise hook and signal handlers without allocating.
struct TExcMagic::TCaptured {
    bool Valid = false;
    const void* Object = nullptr; // the std::exception thrown, when it is one
    const std::type_info* Type = nullptr;
    uintptr_t Address = 0;
    uintptr_t StackPointer = 0;
    // RAX RBX RCX RDX RSI RDI RBP RSP R8..R15 RIP
    uint64_t Registers[17] = {};
    uint64_t Flags = 0;
    uint16_t Segments[6] = {}; // CS SS DS ES FS GS
    bool CodeValid = false;
    uint8_t Code[16] = {};
    bool StackValid = false;
    uint64_t Stack[20] = {};
    int ReturnCount = 0;
    uintptr_t Returns[maxRecordedReturns] = {};
};

namespace {

enum { rRax, rRbx, rRcx, rRdx, rRsi, rRdi, rRbp, rRsp, rR8, rRip = 16 };

// The thread's recent raises, newest at `Newest`. One is not enough: a
// handler may raise and catch another exception before it re-throws its own
// (a retry), and the re-thrown one must still be found with its raise-time
// stack, not reported again from the place it is caught.
constexpr int recentRaises = 16;
struct TRecentRaises {
    TExcMagic::TCaptured Entries[recentRaises];
    int Newest = 0;

    TExcMagic::TCaptured& Last() { return Entries[Newest]; }
    // A slot for a new raise of `object`: no older entry may answer for the
    // same address once that object is gone and another lives there.
    TExcMagic::TCaptured& Next(const void* object) {
        if (object != nullptr) {
            for (auto& e : Entries) {
                if (e.Object == object) {
                    e.Valid = false;
                }
            }
        }
        Newest = (Newest + 1) % recentRaises;
        return Entries[Newest];
    }
    // The newest raise of `e`, or null.
    const TExcMagic::TCaptured* Of(const std::exception& e) const {
        for (int i = 0; i < recentRaises; ++i) {
            const auto& c = Entries[(Newest - i + recentRaises) % recentRaises];
            if (c.Valid && c.Object == &e && c.Type != nullptr && *c.Type == typeid(e)) {
                return &c;
            }
        }
        return nullptr;
    }
};
thread_local TRecentRaises recent;

void FillMemoryDumps(TExcMagic::TCaptured& state) {
    state.CodeValid = ReadProcessMemory(state.Registers[rRip], state.Code, sizeof state.Code);
    state.StackValid = ReadProcessMemory(state.Registers[rRsp], state.Stack, sizeof state.Stack);
}

// `fromSignal`: the kernel's context carries flags and CS; getcontext()
// leaves both out, so they are read here.
void FillFromContext(TExcMagic::TCaptured& state, const ucontext_t& uc, bool fromSignal) {
    const greg_t* g = uc.uc_mcontext.gregs;
    const int order[17] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RSI, REG_RDI,
                           REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                           REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
    for (int i = 0; i < 17; ++i) {
        state.Registers[i] = static_cast<uint64_t>(g[order[i]]);
    }
    for (int i = 0; i < 6; ++i) {
        state.Segments[i] = SegmentRegister(i);
    }
    if (fromSignal) {
        state.Flags = static_cast<uint64_t>(g[REG_EFL]);
        state.Segments[0] = static_cast<uint16_t>(static_cast<uint64_t>(g[REG_CSGSFS]) & 0xFFFF);
    } else {
        uint64_t flags = 0;
        asm volatile("pushfq\n\tpopq %0" : "=r"(flags));
        state.Flags = flags;
    }
}

int Depth(const TExcMagic* m) {
    return std::min(m->MaxCallStackDepth(), maxRecordedReturns);
}

} // namespace

// --- construction --------------------------------------------------------------------

TExcMagic::TExcMagic(uint8_t mode)
    : mode_(mode), callStack_([this](uintptr_t address) { return ModuleInfoFor(address); }) {
    TExcMagic* expected = nullptr;
    if (!instance.compare_exchange_strong(expected, this)) {
        throw EExcMagicError("Only one instance of TExcMagic allowed");
    }
    ExcThrowHookLinked();
    RefreshCodeRanges();
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string folder;
    if (n > 0) {
        exe[n] = '\0';
        std::string path(exe);
        folder = path.substr(0, path.find_last_of('/') + 1);
    }
    logFileName_ = folder + "ExcMagic.Log";
    default_ = std::make_shared<TDefaultExcMagicFilter>(*this);
    RegisterFilter<std::exception>(default_, false);
    if (TModuleDebugInfo* own = ModuleInfoFor(reinterpret_cast<uintptr_t>(&ExcThrowHookLinked))) {
        moduleHandle_ = own->ModuleHandle();
    }
}

TExcMagic::~TExcMagic() {
    NewCycle();
    SetEnabled(false);
    UnregisterFilter(default_);
    default_.reset();
    {
        std::lock_guard<std::recursive_mutex> guard(filtersLock_);
        filters_.clear();
    }
    {
        std::lock_guard<std::recursive_mutex> guard(modulesLock_);
        moduleInfos_.clear();
    }
    if (altStack_ != nullptr) {
        // The thread must stop using the stack before it goes away (unless
        // it was given another one since).
        stack_t current{};
        if (::sigaltstack(nullptr, &current) == 0 &&
            current.ss_sp == static_cast<char*>(altStack_) + ::getpagesize()) {
            stack_t ss{};
            ss.ss_flags = SS_DISABLE;
            ::sigaltstack(&ss, nullptr);
        }
        ::munmap(altStack_, altStackMapped_);
    }
    instance.store(nullptr);
}

TExcMagic* TExcMagic::ExcMagic() noexcept {
    return instance.load();
}

void TExcMagic::SetEnabled(bool enabled) {
    if (enabled == enabled_) {
        return;
    }
    enabled_ = enabled;
    if (enabled) {
        WarmUpDebugInfo();
        InstallSignalHandlers();
        hooksOn.store(true);
    } else {
        hooksOn.store(false);
        RemoveSignalHandlers();
    }
}

void TExcMagic::SetMaxCallStackDepth(int depth) noexcept {
    maxCallStackDepth_ = std::max(1, depth);
}

// --- filters --------------------------------------------------------------------------

void TExcMagic::RegisterFilter(const std::type_info& cls, TClassMatch matches,
                               std::shared_ptr<IExcMagicFilter> filter, bool exact) {
    std::lock_guard<std::recursive_mutex> guard(filtersLock_);
    filters_.push_back({&cls, std::move(matches), std::move(filter), true, exact});
}

void TExcMagic::UnregisterFilter(const std::shared_ptr<IExcMagicFilter>& filter) {
    std::lock_guard<std::recursive_mutex> guard(filtersLock_);
    filters_.erase(std::remove_if(filters_.begin(), filters_.end(),
                                  [&](const TRegistration& r) { return r.Filter == filter; }),
                   filters_.end());
}

// Last registered first, so that a later, more specific filter decides
// whether the general ones run.
std::vector<TExcMagic::TRegistration> TExcMagic::MatchingFilters(const std::exception& e) {
    std::lock_guard<std::recursive_mutex> guard(filtersLock_);
    std::vector<TRegistration> matching;
    for (auto it = filters_.rbegin(); it != filters_.rend(); ++it) {
        if (it->Enabled && it->Matches(e)) {
            matching.push_back(*it);
        }
    }
    return matching;
}

// --- modules ---------------------------------------------------------------------------

namespace {

struct TModuleSearch {
    uintptr_t Address = 0;
    bool Found = false;
    uintptr_t Handle = 0;
    uintptr_t Bias = 0;
    std::string Name;
};

int FindModule(struct dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<TModuleSearch*>(data);
    uintptr_t lowest = UINTPTR_MAX;
    bool inside = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) {
            continue;
        }
        uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        lowest = std::min(lowest, start & ~static_cast<uintptr_t>(4095));
        if (search->Address >= start && search->Address < start + ph.p_memsz) {
            inside = true;
        }
    }
    if (!inside) {
        return 0;
    }
    search->Found = true;
    search->Handle = lowest;
    search->Bias = info->dlpi_addr;
    search->Name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    return 1;
}

} // namespace

TModuleDebugInfo* TExcMagic::ModuleInfoFor(uintptr_t address) {
    TModuleSearch search;
    search.Address = address;
    dl_iterate_phdr(FindModule, &search);
    if (!search.Found) {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(modulesLock_);
    for (const auto& info : moduleInfos_) {
        if (info->ModuleHandle() == search.Handle) {
            return info.get();
        }
    }
    std::string file = search.Name;
    if (file.empty()) {
        char exe[4096];
        ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0) {
            file.assign(exe, static_cast<size_t>(n));
        }
    }
    moduleInfos_.push_back(std::make_unique<TModuleDebugInfo>(file, search.Handle, search.Bias));
    return moduleInfos_.back().get();
}

namespace {

int CollectModuleAddresses(struct dl_phdr_info* info, size_t, void* data) {
    auto* addresses = static_cast<std::vector<uintptr_t>*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_LOAD) {
            addresses->push_back(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
            break;
        }
    }
    return 0;
}

} // namespace

void TExcMagic::WarmUpDebugInfo() {
    // Every module loaded now, the program first: a fatal signal in a
    // library also lists the program's frames.
    std::vector<uintptr_t> addresses{reinterpret_cast<uintptr_t>(&ExcThrowHookLinked)};
    dl_iterate_phdr(CollectModuleAddresses, &addresses);
    for (uintptr_t address : addresses) {
        try {
            if (TModuleDebugInfo* module = ModuleInfoFor(address)) {
                module->Preload();
            }
        } catch (const std::exception&) {
            // Without it the reports still come; only a fatal signal's may not.
        }
    }
}

std::string TExcMagic::Unmangle(const std::string& name, bool dotSeparator) {
    return UnmangleName(name, dotSeparator);
}

// --- building the report ------------------------------------------------------------------

std::string TExcMagic::BuildMessage(const std::exception* e, uintptr_t address, size_t size) {
    TDepthGuard depth;
    std::lock_guard<std::recursive_mutex> guard(reportLock_);
    TExceptionMessageInfo info;
    info.Address = address;
    TModuleDebugInfo* module = ModuleInfoFor(address);
    if (module == nullptr) {
        module = ModuleInfoFor(reinterpret_cast<uintptr_t>(&ExcThrowHookLinked));
    }
    if (module != nullptr) {
        info.DebugInfo = module;
        info.ModuleName = WithoutFolder(module->FileName()).substr(0, 260);
        info.CodeOffset = module->RelativeAddress(address);
        if (module->LineAt(info.CodeOffset, info.SourceIndex, info.Line)) {
            std::string source = module->NameOf(info.SourceIndex);
            if (!source.empty()) {
                info.SourceFile = WithoutFolder(source);
            }
            info.LineText = std::to_string(info.Line);
        }
        if (module->UnitAt(info.CodeOffset, info.UnitIndex, info.ProcedureIndex)) {
            std::string unit = module->NameOf(info.UnitIndex);
            if (!unit.empty()) {
                info.UnitName = unit;
            }
            std::string procedure = module->NameOf(info.ProcedureIndex);
            if (!procedure.empty()) {
                info.ProcedureName = UnmangleName(procedure, module->IsFB09());
            }
        }
    }
    if (e != nullptr) {
        info.Message = e->what();
    }
    customLines_.Clear();
    std::string buffer;
    if (e != nullptr) {
        for (const auto& r : MatchingFilters(*e)) {
            if (r.Filter->ExceptionMessage(e, info, customLines_, size, buffer) == 0) {
                break;
            }
        }
    }
    return buffer;
}

void TExcMagic::Collect() {
    CollectFrom(recent.Last());
}

void TExcMagic::CollectFrom(const TCaptured& state) {
    TDepthGuard depth;
    std::lock_guard<std::recursive_mutex> guard(reportLock_);
    callStack_.BuildFrom(state.Address, state.Returns, state.ReturnCount, maxCallStackDepth_);
    FormatCallStack();
    FormatRegisters(state);
}

void TExcMagic::FormatCallStack() {
    callStackLines_.Clear();
    callStackLines_.Add("Call stack:");
    for (int i = 0; i < callStack_.Count(); ++i) {
        TExcCallStackEntry entry;
        callStack_.Entry(i, entry);
        if (entry.RepeatCount > 1) {
            callStackLines_.Add("Recursive call (" + std::to_string(entry.RepeatCount) +
                                " times):");
        }
        std::string line =
            ":" + Hex(entry.Address, 16) + " [" + WithoutFolder(entry.Info->FileName()) + "]";
        std::string procedure = entry.Info->NameOf(entry.ProcedureIndex);
        if (!procedure.empty()) {
            line += " " + UnmangleName(procedure, entry.Info->IsFB09());
        }
        std::string source = entry.Info->NameOf(entry.SourceIndex);
        if (!source.empty() && entry.Line > 0) {
            line += " (" + WithoutFolder(source) + ", line " + std::to_string(entry.Line) + ")";
        }
        callStackLines_.Add(line);
    }
}

void TExcMagic::FormatRegisters(const TCaptured& s) {
    registerLines_.Clear();
    const uint64_t* r = s.Registers;
    auto q = [](uint64_t v) { return Hex(v, 16); };
    auto w = [](uint16_t v) { return Hex(v, 4); };
    // The main thread's id is the process id on this platform.
    registerLines_.Add(
        "Main Thread ID = " + Hex(static_cast<uint64_t>(::getpid()), 8) +
        ", Current Thread ID = " + Hex(static_cast<uint64_t>(::syscall(SYS_gettid)), 8));
    registerLines_.Add("Registers:");
    registerLines_.Add("RAX = " + q(r[rRax]) + "  CS = " + w(s.Segments[0]) +
                       "  RIP = " + q(r[rRip]) + "  Flags = " + Hex(s.Flags, 8));
    registerLines_.Add("RBX = " + q(r[rRbx]) + "  SS = " + w(s.Segments[1]) +
                       "  RSP = " + q(r[rRsp]) + "    RBP = " + q(r[rRbp]));
    registerLines_.Add("RCX = " + q(r[rRcx]) + "  DS = " + w(s.Segments[2]) +
                       "  RSI = " + q(r[rRsi]) + "    FS  = " + w(s.Segments[4]));
    registerLines_.Add("RDX = " + q(r[rRdx]) + "  ES = " + w(s.Segments[3]) +
                       "  RDI = " + q(r[rRdi]) + "    GS  = " + w(s.Segments[5]));
    registerLines_.Add("R8  = " + q(r[8]) + "  R9  = " + q(r[9]) + "  R10 = " + q(r[10]) +
                       "  R11 = " + q(r[11]));
    registerLines_.Add("R12 = " + q(r[12]) + "  R13 = " + q(r[13]) + "  R14 = " + q(r[14]) +
                       "  R15 = " + q(r[15]));
    if (s.CodeValid) {
        registerLines_.Add("Code at CS:RIP");
        std::string code;
        for (uint8_t b : s.Code) {
            code += Hex(b, 2) + " ";
        }
        registerLines_.Add(code);
    }
    if (s.StackValid) {
        registerLines_.Add("Stack:");
        for (int line = 0; line < 4; ++line) {
            std::string words;
            for (int i = 0; i < 5; ++i) {
                words += q(s.Stack[line * 5 + i]) + " ";
            }
            registerLines_.Add(words);
        }
    }
}

bool TExcMagic::TakeForLog(const std::exception& e) {
    std::lock_guard<std::recursive_mutex> guard(reportLock_);
    return !repeats_.IsRepeat(ExceptionClassName(e), e.what());
}

void TExcMagic::NewCycle() noexcept {
    TDepthGuard depth;
    try {
        std::lock_guard<std::recursive_mutex> guard(reportLock_);
        std::string summary = repeats_.TakeSummary();
        if (!summary.empty() && logEnabled_ && !logFileName_.empty()) {
            logFile_.Append(logFileName_, summary + "\r\n");
        }
    } catch (...) {
        // A lost count must not become a failure of the program.
    }
}

void TExcMagic::LogChain(const std::exception* e, const std::string& message) {
    if (!logEnabled_ || e == nullptr || !TakeForLog(*e)) {
        return;
    }
    RunLogFilters(e, message);
}

void TExcMagic::RunLogFilters(const std::exception* e, const std::string& message) {
    for (const auto& r : MatchingFilters(*e)) {
        if (r.Filter->LogException(e, message, customLines_, registerLines_, callStackLines_) ==
            0) {
            break;
        }
    }
}

void TExcMagic::LogNow() noexcept {
    const TCaptured& lastRaise = recent.Last();
    if (!logEnabled_ || !lastRaise.Valid) {
        return;
    }
    TDepthGuard depth;
    try {
        std::lock_guard<std::recursive_mutex> guard(reportLock_);
        const auto* e = static_cast<const std::exception*>(lastRaise.Object);
        std::unique_ptr<EExternalException> standIn;
        if (e == nullptr) {
            int status = 0;
            char* readable = abi::__cxa_demangle(lastRaise.Type ? lastRaise.Type->name() : "",
                                                 nullptr, nullptr, &status);
            std::string type = status == 0 && readable ? readable : "unknown";
            std::free(readable);
            standIn = std::make_unique<EExternalException>("Exception of type " + type);
            e = standIn.get();
        }
        // A repeat costs no report: in a flood of failures that is most of
        // them.
        if (!TakeForLog(*e)) {
            return;
        }
        std::string message = BuildMessage(e, lastRaise.Address, 1025);
        CollectFrom(lastRaise);
        RunLogFilters(e, message);
    } catch (...) {
        // Reporting must never add a failure of its own.
    }
}

void TExcMagic::ShowHook(const std::exception& e, const TCaptured& state, bool alreadyLogged) {
    TDepthGuard depth;
    std::lock_guard<std::recursive_mutex> guard(reportLock_);
    std::string message = BuildMessage(&e, state.Address, 1024);
    CollectFrom(state);
    if (!alreadyLogged) {
        LogChain(&e, message);
    }
    if ((options_ & roShow) == 0) {
        return;
    }
    for (const auto& r : MatchingFilters(e)) {
        if (r.Filter->ShowException(&e, caption_, customLines_, registerLines_, callStackLines_,
                                    message) == 0) {
            break;
        }
    }
}

void TExcMagic::HandleException(const std::exception& e) noexcept {
    try {
        // The raise of this very object was recorded on this thread: report
        // the stack of the raise, not of the catch.
        if (const TCaptured* raised = recent.Of(e)) {
            ShowHook(e, *raised, logOnDispatch_);
            return;
        }
        auto here = std::make_unique<TCaptured>();
        ucontext_t uc;
        getcontext(&uc);
        FillFromContext(*here, uc, false);
        here->Valid = true;
        here->Object = &e;
        here->Address = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
        here->Registers[rRip] = here->Address;
        here->StackPointer = here->Registers[rRsp];
        FillMemoryDumps(*here);
        RefreshCodeRanges();
        here->ReturnCount = ScanStackForReturnAddresses(here->StackPointer, CurrentStackTop(),
                                                        here->Returns, Depth(this));
        ShowHook(e, *here, false);
    } catch (...) {
        // A failing report must not take the program down with it.
    }
}

void TExcMagic::HandleUnknownException() noexcept {
    try {
        EExternalException standIn("Unknown exception");
        HandleException(standIn);
    } catch (...) {
    }
}

// --- raise hook -------------------------------------------------------------------------

void TExcMagic::RecordThrow(void* object, const std::type_info* type, void* returnAddress,
                            void* frame) noexcept {
    if (!hooksOn.load(std::memory_order_relaxed) || reporterDepth > 0) {
        return;
    }
    TExcMagic* magic = instance.load();
    if (magic == nullptr) {
        return;
    }
    TDepthGuard depth;
    // Whether a handler for std::exception would take this object, and the
    // std::exception inside it.
    void* adjusted = object;
    const void* exception = type != nullptr && typeid(std::exception).__do_catch(type, &adjusted, 1)
                                ? adjusted
                                : nullptr;
    TCaptured& state = recent.Next(exception);
    state.Valid = false;
    state.Object = exception;
    state.Type = type;
    ucontext_t uc;
    getcontext(&uc);
    FillFromContext(state, uc, false);
    // The state at the raise: execution continues after the call, and the
    // caller's stack starts above the return address of this frame.
    uintptr_t ret = reinterpret_cast<uintptr_t>(returnAddress);
    state.Registers[rRip] = ret;
    state.Registers[rRsp] = reinterpret_cast<uintptr_t>(frame) + 2 * sizeof(void*);
    state.Registers[rRbp] = *static_cast<uint64_t*>(frame);
    // Inside the call instruction: a raise at a function's end is followed
    // by the next function's code.
    state.Address = ret - 1;
    state.StackPointer = state.Registers[rRsp];
    FillMemoryDumps(state);
    RefreshCodeRanges();
    state.ReturnCount = ScanStackForReturnAddresses(state.StackPointer, CurrentStackTop(),
                                                    state.Returns, Depth(magic));
    state.Valid = true;
    if (magic->logOnDispatch_) {
        magic->LogNow();
    }
}

// --- fatal signals ----------------------------------------------------------------------

namespace {

void FatalSignalHandler(int signal, siginfo_t* info, void* context) {
    TExcMagic::OnFatalSignal(signal, info, context);
}

} // namespace

void TExcMagic::InstallSignalHandlers() {
    // A stack overflow leaves no stack for the handler: it runs on its own.
    // Its size must not follow SIGSTKSZ, which only covers the processor's
    // signal frame. An overflow of the handler itself meets the guard page
    // and ends the process instead of writing over other memory. Pages are
    // only taken when touched.
    if (altStack_ == nullptr) {
        size_t page = static_cast<size_t>(::getpagesize());
        size_t mapped = SignalStackSize + page;
        void* stack = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (stack != MAP_FAILED) {
            if (::mprotect(stack, page, PROT_NONE) != 0) {
                ::munmap(stack, mapped);
            } else {
                altStack_ = stack;
                altStackMapped_ = mapped;
            }
        }
    }
    if (altStack_ != nullptr) {
        stack_t ss{};
        ss.ss_sp = static_cast<char*>(altStack_) + ::getpagesize();
        ss.ss_size = SignalStackSize;
        ::sigaltstack(&ss, nullptr);
    }
    struct sigaction action {};
    action.sa_sigaction = FatalSignalHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < sizeof fatalSignals / sizeof fatalSignals[0]; ++i) {
        ::sigaction(fatalSignals[i], &action, &previousActions[i]);
    }
}

void TExcMagic::RemoveSignalHandlers() {
    for (size_t i = 0; i < sizeof fatalSignals / sizeof fatalSignals[0]; ++i) {
        ::sigaction(fatalSignals[i], &previousActions[i], nullptr);
    }
}

void TExcMagic::OnFatalSignal(int signal, void* rawInfo, void* rawContext) noexcept {
    TExcMagic* magic = instance.load();
    if (magic != nullptr && !inFatal.exchange(true)) {
        // The process is ending anyway: the report is worth the risk of
        // calling functions that are not meant for signal handlers.
        auto* info = static_cast<siginfo_t*>(rawInfo);
        static TCaptured state;
        FillFromContext(state, *static_cast<ucontext_t*>(rawContext), true);
        state.Valid = true;
        state.Object = nullptr;
        state.Address = state.Registers[rRip];
        state.StackPointer = state.Registers[rRsp];
        FillMemoryDumps(state);
        state.ReturnCount = ScanStackForReturnAddresses(state.StackPointer, CurrentStackTop(),
                                                        state.Returns, Depth(magic));
        char text[160];
        if (signal == SIGSEGV || signal == SIGBUS) {
            std::snprintf(text, sizeof text, "%s at address %s, accessing address %s",
                          SignalName(signal), Hex(state.Address, 16).c_str(),
                          Hex(reinterpret_cast<uintptr_t>(info->si_addr), 16).c_str());
        } else {
            std::snprintf(text, sizeof text, "%s at address %s", SignalName(signal),
                          Hex(state.Address, 16).c_str());
        }
        magic->ReportFatal(EExternalException(text), state);
    }
    // End as the signal would end the process: SA_RESETHAND restored the
    // default action, which the signal gets once the handler returns.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void TExcMagic::ReportFatal(const std::exception& e, const TCaptured& state) noexcept {
    TDepthGuard depth;
    try {
        std::string message = BuildMessage(&e, state.Address, 1025);
        CollectFrom(state);
        LogChain(&e, message);
        if ((options_ & roShow) != 0 && mode_ != mdDialog && mode_ != 3) {
            for (const auto& r : MatchingFilters(e)) {
                if (r.Filter->ShowException(&e, caption_, customLines_, registerLines_,
                                            callStackLines_, message) == 0) {
                    break;
                }
            }
        }
    } catch (...) {
    }
}
