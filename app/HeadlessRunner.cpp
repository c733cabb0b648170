#include "app/HeadlessRunner.h"

namespace {

// Lines for standard output take the form its reader wants (the journal
// stamps them itself); a sink gets them as always.
TConsoleLog MakeConsole(TConsoleLog::TSink sink) {
    const TConsoleLog::TForm form =
        sink ? TConsoleLog::TForm::Timestamped : TConsoleLog::FormOfStandardOutput();
    return TConsoleLog(std::move(sink), form);
}

} // namespace

THeadlessRunner::THeadlessRunner(std::string configPath, TConsoleLog::TSink console,
                                 std::unique_ptr<TSmtpMail> smtp)
    : console_(MakeConsole(std::move(console))) {
    cycle_ = std::make_unique<TPollCycle>(static_cast<TCycleObserver&>(*this),
                                          std::move(configPath), std::move(smtp));
}

THeadlessRunner::~THeadlessRunner() {
    cycle_.reset();
}

bool THeadlessRunner::Start() {
    TPollCycle::SetupErrorReporter();
    cycle_->StartUp();
    return cycle_->Configured();
}

int THeadlessRunner::RunOnce() {
    TPollCycle::SetupErrorReporter();
    return cycle_->RunOnce();
}

void THeadlessRunner::SettingsNeeded(TLoadResult why) {
    if (why == TLoadResult::NotConfigured) {
        // Nobody can fill in a window here: say what is missing.
        console_.Error(cycle_->NotConfiguredText());
    }
}
