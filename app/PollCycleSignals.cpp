// What the program's signals ask of the poll cycle: a poll now (SIGUSR1),
// the settings read again (SIGHUP), leaving (SIGTERM, SIGINT). Each comes
// from the event loop, so it may arrive while a poll waits there: it then
// never starts anything inside that poll.
#include "app/PollCycle.h"
#include "platform/Exception.h"
#include "pop3/NMpop3.h"

void TPollCycle::EnableReloadAfterPoll() {
    pollTimer_->OnTimer = [this](TObject*) { PollWithReload(); };
}

void TPollCycle::PollWithReload() {
    ApplyPendingReload();
    PollTick();
    // A reload asked for during the poll; the next one starts with it.
    ApplyPendingReload();
}

bool TPollCycle::PollNow() {
    if (Busy() || exitRequested_) {
        return false;
    }
    PollWithReload();
    return true;
}

void TPollCycle::ReloadSettings() {
    reloadPending_ = true;
    if (Busy()) {
        // Said now, so that whoever asked sees it was heard.
        Status(ReloadLaterText);
        return;
    }
    ApplyPendingReload();
}

void TPollCycle::ApplyPendingReload() {
    if (!reloadPending_ || Busy() || exitRequested_) {
        return;
    }
    reloadPending_ = false;
    TSettings fresh;
    try {
        fresh = TSettings::Load(configPath_);
    } catch (const EInOutError& e) {
        Status(std::string(e.what()) + "; the settings in use are kept");
        Tray(TTrayImage::Error);
        observer_.Caught(e);
        return;
    }
    std::optional<std::string> problem;
    if (!fresh.IsConfigured()) {
        problem = NotConfiguredText();
    } else {
        problem = fresh.ConnectionProblem();
    }
    if (problem) {
        Status(*problem + "; the settings in use are kept");
        Tray(TTrayImage::Error);
        observer_.Error("settings not reloaded: " + *problem);
        return;
    }
    // The session belongs to the server and account read before.
    EndSession();
    observer_.SessionState(false);
    settings_ = fresh;
    settingsError_.clear();
    configured_ = true;
    try {
        ApplySettings();
    } catch (const std::exception& e) {
        // As at start: reported, and polling goes on with what was applied.
        observer_.Caught(e);
    }
    // As read, not written back: the file is the user's just now.
    pollTimer_->SetEnabled(false);
    pollTimer_->SetInterval(TSettings::IntervalMs(settings_.IntervalIndex()));
    pollTimer_->SetEnabled(true);
    Status(ReloadedText);
    Tray(TTrayImage::Idle);
}

void TPollCycle::StopForSignal() {
    const bool busy = Busy();
    StopForExit();
    Status("Stopping...");
    if (!busy) {
        // Reported when refused: a service manager does not wait for a
        // second signal.
        EndSession();
    }
}

void TPollCycle::AbortForExit() {
    if (pop3_->Busy() || pop3_->Connected()) {
        try {
            pop3_->Abort();
        } catch (const std::exception& e) {
            observer_.Caught(e);
        }
    }
}
