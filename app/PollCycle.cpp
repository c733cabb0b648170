// The poll cycle: the POP3 client's events, the receive step, the timers
// and the reconnect. The outbox pass is in PollCycleOutbox.cpp.
#include "app/PollCycle.h"

#include <QElapsedTimer>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "excreport/ExcMagic.h"
#include "net/OAuth2Client.h"
#include "net/TlsSession.h"
#include "platform/EventLoopWait.h"
#include "platform/Exception.h"
#include "platform/SecretCommand.h"
#include "pop3/NMpop3.h"
#include "pop3/Pop3Sasl.h"
#include "pop3/UidlLedger.h"

TPollCycle::TPollCycle(TCycleObserver& observer, std::string configPath,
                       std::unique_ptr<TSmtpMail> smtp, std::shared_ptr<TKeyringAccess> keyring)
    : observer_(observer), configPath_(std::move(configPath)),
      keyring_(keyring ? std::move(keyring) : std::make_shared<TKeyring>()) {
    pop3_ = std::make_unique<TNMPOP3>();
    pop3_->SetPort(110);
    pop3_->SetReportLevel(0);
    pop3_->SetParse(true);
    pop3_->SetDeleteOnRead(true);
    // A server that stops answering must not hold the gateway for good.
    pop3_->SetTimeOut(TSettings::DefaultInTimeOutSeconds * 1000);
    smtp_ = smtp ? std::move(smtp) : std::make_unique<TSmtpMail>();
    pollTimer_ = std::make_unique<TTimer>(30000, false);
    wakeUpTimer_ = std::make_unique<TTimer>(300000, false);
    retryTimer_ = std::make_unique<TTimer>(5000, false);

    pop3_->OnConnect = [this](TObject*) { Pop3Connected(); };
    pop3_->OnRetrieveStart = [this](TObject*) { RetrieveStarted(); };
    pop3_->OnRetrieveEnd = [this](TObject*) { RetrieveEnded(); };
    pop3_->OnAuthenticationFailed = [this](bool& handled) { AuthenticationFailed(handled); };
    pop3_->OnInvalidHost = [this](bool&) { InvalidHost(); };
    pop3_->OnConnectionFailed = [this](TObject*) { ConnectionFailed(); };
    smtp_->OnStatusChange = [this](TObject*, int n, int status) { SmtpStatusChange(n, status); };
    pollTimer_->OnTimer = [this](TObject*) { PollTick(); };
    wakeUpTimer_->OnTimer = [this](TObject*) { WatchdogTick(); };
    retryTimer_->OnTimer = [this](TObject*) { RetryPauseTick(); };
}

TPollCycle::~TPollCycle() {
    // The timers go before the client their handlers use.
    pollTimer_.reset();
    wakeUpTimer_.reset();
    retryTimer_.reset();
    pop3_.reset();
}

// ---------------------------------------------------------------- POP3 events

void TPollCycle::Pop3Connected() {
    if (!pop3_->MailCountValid()) {
        // The STAT failed: its error follows and says why; a count of none
        // would be a claim the server never made.
        return;
    }
    int count = pop3_->MailCount();
    if (count >= 1) {
        Status(std::to_string(count) + " messages in your mailbox");
        Tray(TTrayImage::NewMail);
    } else {
        Status("No messages waiting");
        Tray(TTrayImage::Idle);
    }
}

void TPollCycle::RetrieveStarted() {
    Tray(TTrayImage::Receiving);
    Status("Receiving...");
}

void TPollCycle::RetrieveEnded() {
    Tray(TTrayImage::NewMail);
    Status("Files To Received");
}

void TPollCycle::ErrorEvent(const char* statusText) {
    Status(statusText);
    Tray(TTrayImage::Error);
    Disconnect();
    // The new attempt with the values shown is made once the failing attempt
    // has ended (ConnectWithOneRetry), never nested inside it: a server that
    // keeps refusing then sees one more log-in, not a chain of them.
    if (!inErrorRetry_) {
        retryPending_ = true;
    }
}

void TPollCycle::AuthenticationFailed(bool& handled) {
    handled = false;
    ErrorEvent("Wrong password or Account Name");
}

void TPollCycle::InvalidHost() {
    ErrorEvent("Invalid Mail Server");
}

void TPollCycle::ConnectionFailed() {
    ErrorEvent("Connection Failed (POP3)");
}

// A reply that did not come within the time-out: the client has dropped the
// connection already. Returns whether that is what ended the last operation.
bool TPollCycle::ShowIfTimedOut() {
    if (!pop3_->TimedOut()) {
        return false;
    }
    if (pop3_->Connected()) {
        pop3_->Abort();
    }
    Status(TimedOutText);
    Tray(TTrayImage::Error);
    return true;
}

namespace {

// Refused until the settings or the server change, not a server that is
// away: a refusal of TLS (a certificate not accepted, a failed handshake, a
// server without the upgrade that is required), a secret that could not be
// had (password command, keyring, OAuth2 token), a log-in method the server
// does not offer. A new attempt would only be refused again.
bool IsRefusedForGood(const std::exception& e) {
    return dynamic_cast<const ETlsError*>(&e) != nullptr ||
           dynamic_cast<const ESecretCommandError*>(&e) != nullptr ||
           dynamic_cast<const EKeyringError*>(&e) != nullptr ||
           dynamic_cast<const EAuthUnavailable*>(&e) != nullptr ||
           dynamic_cast<const EOAuth2Error*>(&e) != nullptr;
}

} // namespace

// Its text (naming the server and the reason) must stay on the status line.
// Returns whether that is what ended the last operation.
bool TPollCycle::ShowIfRefusedForGood(const std::exception& e) {
    if (!IsRefusedForGood(e)) {
        return false;
    }
    if (pop3_->Connected()) {
        pop3_->Abort();
    }
    Status(e.what());
    Tray(TTrayImage::Error);
    return true;
}

void TPollCycle::ConnectWithOneRetry() {
    retryPending_ = false;
    try {
        pop3_->Connect();
    } catch (const std::exception& e) {
        if (ShowIfTimedOut()) {
            // Not a refusal: a new log-in would only wait as long again.
            throw;
        }
        if (ShowIfRefusedForGood(e)) {
            throw;
        }
        if (retryPending_ && !inErrorRetry_) {
            retryPending_ = false;
            inErrorRetry_ = true;
            try {
                // The retry logs in only; the messages wait for the next poll.
                observer_.LogInAgain();
            } catch (const std::exception& retryError) {
                observer_.Caught(retryError);
            }
            inErrorRetry_ = false;
        }
        throw;
    }
}

// ---------------------------------------------------------------- receiving

// ReceiveStep: PollCycleReceive.cpp

// ---------------------------------------------------------------- timers

std::string TPollCycle::StalledText(int seconds) {
    return "The poll made no progress for " + std::to_string(seconds) + " s and was stopped";
}

void TPollCycle::WatchdogTick() {
    if (cycleRunning_) {
        // The running poll switches the poll timer on when it ends. One that
        // has gone on for several ticks without receiving a message or
        // sending a file is stuck in some wait: it is stopped.
        if (++stalledTicks_ >= WatchdogTicksWithoutProgress && !abortRequested_) {
            StopStalledCycle();
        }
        return;
    }
    if (!pollTimer_->Enabled()) {
        pollTimer_->Restart();
    }
}

void TPollCycle::StopStalledCycle() {
    abortRequested_ = true;
    sendWait_ = false;
    Status(StalledText(stalledTicks_ * wakeUpTimer_->Interval() / 1000));
    Tray(TTrayImage::Error);
    // Ends whatever wait the client is in; the poll then unwinds without
    // starting anything new.
    pop3_->Abort();
}

void TPollCycle::RetryPauseTick() {
    retryTimer_->SetEnabled(false);
    sendWait_ = false;
}

bool TPollCycle::ReconnectUntilConnected() {
    Status("Lost Connection...");
    Tray(TTrayImage::Error);
    observer_.Repaint();
    QElapsedTimer elapsed;
    elapsed.start();
    int pause = ReconnectPolicy.FirstPauseMs;
    const int ceiling = ReconnectPolicy.CeilingMs(pollTimer_->Interval());
    for (;;) {
        if (ReconnectPolicy.GivesUp(elapsed.elapsed(), pause) || Stopping()) {
            return false;
        }
        ProcessMessagesFor(pause);
        // A handler that ran during the pause may have connected the client.
        if (pop3_->Connected()) {
            return true;
        }
        if (Stopping()) {
            return false;
        }
        try {
            ConnectWithOneRetry();
            return true;
        } catch (const std::exception& e) {
            observer_.Caught(e);
            if (pop3_->Connected()) {
                return true;
            }
            if (pop3_->TimedOut()) {
                return false; // it answers no more: the next poll tries again
            }
            if (IsRefusedForGood(e)) {
                return false; // refused, as the status line says: the next poll tries again
            }
        }
        pause = ReconnectPolicy.NextPauseMs(pause, ceiling);
    }
}

// Ends the previous session and logs in anew; false when no session could
// be had for this cycle.
bool TPollCycle::OpenSession() {
    try {
        if (pop3_->Connected()) {
            pop3_->Disconnect();
        }
        ConnectWithOneRetry();
        return true;
    } catch (const std::exception& e) {
        observer_.Caught(e);
        LogError("POP3 log-in", e);
        if (pop3_->TimedOut() || Stopping() || IsRefusedForGood(e)) {
            // A server that accepts and then stays silent, or whose TLS is
            // refused, is not "away": trying it again in this cycle would
            // only hold the cycle and hide why.
            return false;
        }
        return ReconnectUntilConnected();
    }
}

// QUIT makes the server carry out the deletions of the messages saved.
void TPollCycle::EndSession() {
    if (!pop3_->Connected()) {
        return;
    }
    try {
        pop3_->Disconnect();
    } catch (const std::exception& e) {
        cycleFailed_ = true;
        observer_.Caught(e);
        ShowIfTimedOut();
    }
}

void TPollCycle::RunCycle() {
    pollTimer_->SetEnabled(false);
    wakeUpTimer_->Restart();
    stalledTicks_ = 0;
    abortRequested_ = false;
    // The same error again in this cycle is counted, not logged anew.
    if (TExcMagic* reporter = TExcMagic::ExcMagic()) {
        reporter->NewCycle();
    }

    if (!OpenSession()) {
        // Given up for now: the next poll tries again.
        cycleFailed_ = true;
        pollTimer_->SetEnabled(true);
        return;
    }
    Tray(TTrayImage::Idle);
    if (pop3_->Connected()) {
        if (pop3_->MailCount() < 1) {
            Status("No Messages to Get");
        } else {
            try {
                ReceiveStep();
            } catch (const std::exception& e) {
                // The session is lost; the Outbox does not wait for it.
                cycleFailed_ = true;
                observer_.Caught(e);
            }
        }
    }
    // Before the outbox pass, which may take long: a session left open through
    // it could outlive the server's idle limit and lose its deletions.
    EndSession();
    if (!Stopping()) {
        OutboxPass();
    }
    Tray(TTrayImage::Idle);
    pollTimer_->SetEnabled(true);
}

void TPollCycle::PollTick() {
    if (cycleRunning_) {
        // A tick that arrives while a cycle waits (the watchdog switched the
        // poll timer on during a long one) would end that cycle's session
        // in the middle of a transfer; the running cycle polls again itself.
        pollTimer_->SetEnabled(false);
        return;
    }
    cycleRunning_ = true;
    struct RunningGuard {
        bool& running;
        ~RunningGuard() { running = false; }
    } guard{cycleRunning_};
    repeatWanted_ = false;
    if (!settingsError_.empty()) {
        // Nothing to poll with; the status line keeps saying why.
        pollTimer_->SetEnabled(false);
        cycleFailed_ = true;
        return;
    }
    RunCycle();
    // A failed send is tried again by one repeat cycle after this one ends -
    // not nested inside the pass, and only once; then the next poll.
    if (repeatWanted_ && !once_ && !Stopping()) {
        repeatWanted_ = false;
        RunCycle();
    }
}

bool TPollCycle::RunOneCycle() {
    cycleFailed_ = false;
    try {
        PollTick();
    } catch (const std::exception& e) {
        observer_.Caught(e);
        cycleFailed_ = true;
    }
    pollTimer_->SetEnabled(false);
    return !cycleFailed_;
}
