#pragma once
// The mail exchange: it owns the POP3 client, the SMTP control and the three
// timers, and runs the poll cycle - a log-in (with its reconnect policy), the
// receive step, the end of the session, then the outbox pass - with the
// watchdog and the repeat/pause rules around it. What it does is told to a
// TCycleObserver.
//
// Errors: handlers that components and timers call report what they catch
// (TCycleObserver::Caught) and raise nothing of the exchange's own; a
// failure of the POP3 client may still leave ConnectAtStart, LogIn and
// PollTick, as it left the window's handlers (the caller reports it).
// StartUp, RunOnce and RunOneCycle raise nothing.
#include <functional>
#include <memory>
#include <string>

#include "app/CycleObserver.h"
#include "app/ExchangeLog.h"
#include "app/Outbox.h"
#include "app/ReconnectPolicy.h"
#include "app/Settings.h"
#include "app/SignIn.h"
#include "platform/Keyring.h"
#include "platform/Timer.h"
#include "smtp/AddEmailLib_TLB.h"

class TNMPOP3;
class TUidlLedger;

class TPollCycle {
public:
    // `smtp`: a test double, or the real control when empty. `keyring`: where
    // passwords given as "keyring:" and refresh tokens without a file are
    // kept; the desktop keyring when empty.
    TPollCycle(TCycleObserver& observer, std::string configPath, std::unique_ptr<TSmtpMail> smtp,
               std::shared_ptr<TKeyringAccess> keyring = nullptr);
    ~TPollCycle();
    TPollCycle(const TPollCycle&) = delete;
    TPollCycle& operator=(const TPollCycle&) = delete;

    // Configures the process-wide exception reporter, when there is one.
    static void SetupErrorReporter();

    // The status texts of a POP3 server that stopped answering, of a receive
    // step given up after too many failed messages in a row, and of a poll
    // stopped by the watchdog.
    static constexpr const char* TimedOutText = "Connection Timed Out (POP3)";
    static constexpr const char* FailedInARowText =
        "20 messages in a row could not be received; the rest waits for the next poll";
    static constexpr int MaxFailedInARow = 20;
    static std::string StalledText(int seconds);

    // --- start-up and settings ---
    // The start-up work: stops polling, starts the watchdog, reads and
    // applies the settings and logs in; a first run selects the default
    // interval. A failure is reported and ends it early (the timers already
    // running keep polling alive): then Loaded when the settings named both
    // servers, NotConfigured when not.
    TLoadResult StartUp();
    // Reads the settings file; Unreadable is shown and reported here.
    TLoadResult ReadSettings();
    // Hands the settings read to the components; false when a port is no
    // port number (the status line says which).
    bool ApplySettings();
    // Logs in at start; the poll timer runs afterwards either way.
    void ConnectAtStart();
    // The Connect button's work with the values the user entered: checks
    // them, saves them, logs in and (when `retrieve`) receives.
    void LogIn(TSettings entered, bool retrieve);
    // The Disconnect button's work.
    void Disconnect();
    // Selects the poll interval (an entry of TSettings::IntervalNames).
    void SetInterval(int index);
    void SetInbox(const std::string& folder);
    void SetOutbox(const std::string& folder);
    // Another keyring for the sessions set up from now on (tests).
    void SetKeyring(std::shared_ptr<TKeyringAccess> keyring) { keyring_ = std::move(keyring); }

    // --- the cycle ---
    void PollTick();     // the poll timer
    void WatchdogTick(); // the wake-up timer
    void RetryPauseTick();
    // One poll cycle for a script; true when it ended without an error.
    bool RunOneCycle();
    // Loads the settings and runs one cycle without a repeat. Returns the
    // exit code: 0 without an error, 1 with one, 2 when the settings file is
    // not configured or cannot be read.
    int RunOnce();
    // One pass over the Outbox folder.
    void OutboxPass();

    // --- the components' events ---
    void Pop3Connected();
    void RetrieveStarted();
    void RetrieveEnded();
    void AuthenticationFailed(bool& handled);
    void InvalidHost();
    void ConnectionFailed();
    void SmtpStatusChange(int messageNumber, int newStatus);

    // --- leaving ---
    // A poll is running, or the client waits: ending the session from here
    // would cut into its exchange.
    bool Busy() const;
    // The running poll ends its session at its next step and stops.
    void StopForExit();
    // Ends an open session (its deletions are carried out). False when the
    // server refused: reported, and the program stays.
    bool EndSessionForExit();

    // --- signals (PollCycleSignals.cpp) ---
    // What the program's signals ask for. They are called from the event
    // loop, never inside a signal handler, and may come while a poll waits
    // in it: none of them then starts anything inside that poll.
    // Routes the poll timer's ticks through a step that applies a reload
    // asked for during a poll as soon as that poll has ended. Called once,
    // before the first poll.
    void EnableReloadAfterPoll();
    // SIGUSR1: a poll now. False, and nothing done, while a poll runs or the
    // client waits, or once leaving was asked for.
    bool PollNow();
    // SIGHUP: the settings file is read again and applied before the next
    // poll - at once when no poll runs, else when the running one has ended.
    // An open idle session is ended first (QUIT); the interval restarts. A
    // file that cannot be read, names no servers or holds a bad value is
    // reported (status line and error) and the settings in use stay.
    void ReloadSettings();
    static constexpr const char* ReloadLaterText =
        "The settings file is read again when this poll has ended";
    static constexpr const char* ReloadedText = "The settings file was read again";
    // SIGTERM, SIGINT: as Exit, a running poll stops at its next step and
    // ends its session itself; an open idle session is ended here with QUIT
    // (a refusal is reported, not waited on).
    void StopForSignal();
    // Cuts the wait the client is in, if any: the running poll unwinds at
    // once, without QUIT. For leaving when the poll does not end in time.
    void AbortForExit();

    // --- state ---
    bool Configured() const noexcept { return configured_; }
    // "Unable to read <path>: <reason>" when the settings file exists but
    // cannot be read; empty otherwise.
    const std::string& SettingsError() const noexcept { return settingsError_; }
    const std::string& ConfigPath() const noexcept { return configPath_; }
    // What a run without window says when the settings file names no servers.
    std::string NotConfiguredText() const {
        return "the settings file " + configPath_ +
               " is not configured (Host and OutHost are needed)";
    }
    TNMPOP3& Pop3() noexcept { return *pop3_; }
    TSmtpMail& Smtp() noexcept { return *smtp_; }
    TTimer& PollTimer() noexcept { return *pollTimer_; }
    TTimer& WakeUpTimer() noexcept { return *wakeUpTimer_; }
    // Times the pause after a failed send (5 s; tests shorten it).
    TTimer& RetryTimer() noexcept { return *retryTimer_; }
    TOutbox& Outbox() noexcept { return outbox_; }
    TReconnectPolicy ReconnectPolicy;
    // Watchdog ticks in a row during one poll without a message received or
    // a file sent, after which the watchdog stops that poll.
    int WatchdogTicksWithoutProgress = 3;

private:
    void Status(const std::string& text) { observer_.Status(text); }
    void Tray(TTrayImage image) { observer_.TrayImage(image); }
    TLoadResult StartUpSteps();
    void ErrorEvent(const char* statusText);
    void ConnectWithOneRetry();
    bool ShowIfTimedOut();
    // A refusal that a new attempt would only meet again, shown and kept.
    bool ShowIfRefusedForGood(const std::exception& e);
    void ReceiveStep();
    // Reads the receive ledger beside the settings file (a damaged one is
    // reported and set aside) and finishes what a killed run left staged.
    void LoadLedger();
    bool ReconnectUntilConnected();
    bool OpenSession();
    void EndSession();
    void RunCycle();
    void NoteProgress() noexcept { stalledTicks_ = 0; }
    bool Stopping() const noexcept { return abortRequested_ || exitRequested_; }
    void StopStalledCycle();
    // False when the SMTP server's security was refused: the pass ends.
    bool SendFile(const std::string& fullName, const std::string& recipient);
    void PauseAfterFailedSend();
    void ApplyInTimeOut(int seconds);
    void ApplySecurity(const TSettings& s);
    // The log-in method of each leg and where its password comes from.
    void ApplyLogIn(const TSettings& s);
    // A fresh OAuth2 access token for the leg at each call (kept while good),
    // made from the refresh token of the file beside the settings or, when
    // there is none, of the keyring entry of the leg's account (`mine`). A
    // rotated token also replaces the other leg's copy (`theirs`) of the one
    // it replaces.
    std::function<std::string()> TokenSource(TSignIn::TLeg leg, const TSignIn::TAccount& mine,
                                             const TSignIn::TAccount& theirs) const;
    // A password read afresh for every session from the command, else from
    // the keyring when `password` says "keyring:"; empty when neither.
    std::function<std::string()> PasswordSource(const std::string& command,
                                                const std::string& password,
                                                const std::string& server, const std::string& user,
                                                const char* what) const;
    // A password typed in the window goes to the keyring when there is one:
    // then `password` becomes "keyring:" and true is returned. False, and
    // `password` as it was, when it is empty or "keyring:" already, when the
    // leg names no server or user, or when no keyring can take it.
    bool KeepInKeyring(std::string& password, const std::string& server, const std::string& user);
    // Sets the SMTP password from PasswordCommand2, when there is one;
    // false (reported) when the command failed.
    bool TakeSmtpPassword();
    void SetFromAddress(const std::string& address);
    void PollWithReload();
    void ApplyPendingReload();
    // The exchange log of the settings in use (PollCycleLog.cpp): made anew
    // when the settings name another target. A line it cannot write is
    // reported once, and the exchange goes on.
    TExchangeLog& ExchangeLog();
    // An error event in it: what failed and the exception's text.
    void LogError(const std::string& what, const std::exception& e);

    TCycleObserver& observer_;
    std::string configPath_;
    TSettings settings_; // as read at start

    std::unique_ptr<TNMPOP3> pop3_;
    std::unique_ptr<TUidlLedger> ledger_;
    std::unique_ptr<TSmtpMail> smtp_;
    std::unique_ptr<TExchangeLog> exchangeLog_;
    std::unique_ptr<TTimer> pollTimer_;
    std::unique_ptr<TTimer> wakeUpTimer_;
    std::unique_ptr<TTimer> retryTimer_;
    TOutbox outbox_;
    IMailMessagePtr message_;
    IMailAddressPtr address_;
    IMailAttachmentPtr attachment_;
    // PasswordCommand2, run before each outbox pass that sends; empty for none.
    std::function<std::string()> smtpPasswordSource_;
    std::shared_ptr<TOAuth2Client> oauthClient_;
    std::shared_ptr<TKeyringAccess> keyring_;

    bool configured_ = false;
    std::string settingsError_;
    bool once_ = false;           // --once: no pause and no repeat after a failed send
    bool sendWait_ = false;       // the pause after a failed send is running
    bool inErrorRetry_ = false;   // an error event's new attempt is running
    bool retryPending_ = false;   // an error event asked for a new attempt
    bool repeatWanted_ = false;   // a send failed: one repeat cycle after this one
    bool pausedThisPass_ = false; // the pause after a failed send was made
    bool cycleFailed_ = false;    // for --once
    bool cycleRunning_ = false;   // a poll cycle (or its repeat) is running
    int stalledTicks_ = 0;        // watchdog ticks since the running poll's last progress
    bool abortRequested_ = false; // the watchdog stopped the running poll
    bool exitRequested_ = false;  // Exit during a poll: it ends its session and stops
    bool reloadPending_ = false;  // SIGHUP during a poll: read the settings after it
};
