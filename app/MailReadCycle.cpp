// The mail exchange: the POP3 client's events, the receive step, the poll
// cycle with its timers, and the outbox pass.
#include <QElapsedTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "app/MailRead.h"
#include "excreport/ExcMagic.h"
#include "platform/EventLoopWait.h"
#include "platform/Exception.h"
#include "platform/GuardedApplication.h"
#include "pop3/NMpop3.h"

// ---------------------------------------------------------------- POP3 events

void TfmOptions::NMPOP31Connect(TObject*) {
    int count = NMPOP31->MailCount();
    if (count >= 1) {
        SetStatus(std::to_string(count) + " messages in your mailbox");
        SetTrayImage(0);
    } else {
        SetStatus("No messages waiting");
        SetTrayImage(1);
    }
}

void TfmOptions::NMPOP31RetrieveStart(TObject*) {
    SetTrayImage(2);
    SetStatus("Receiving...");
}

void TfmOptions::NMPOP31RetrieveEnd(TObject*) {
    SetTrayImage(0);
    SetStatus("Files To Received");
}

void TfmOptions::ErrorEventWork(const char* statusText) {
    SetStatus(statusText);
    SetTrayImage(5);
    btnDisconnectClick(this);
    // The new attempt with the window's fields is made once the failing
    // attempt has ended (ConnectWithOneRetry), never nested inside it: a server
    // that keeps refusing then sees one more log-in, not a chain of them.
    if (!inErrorRetry_) {
        retryPending_ = true;
    }
}

void TfmOptions::NMPOP31AuthenticationFailed(bool& Handled) {
    Handled = false;
    ErrorEventWork("Wrong password or Account Name");
}

void TfmOptions::NMPOP31InvalidHost(bool&) {
    ErrorEventWork("Invalid Mail Server");
}

void TfmOptions::NMPOP31ConnectionFailed(TObject*) {
    ErrorEventWork("Connection Failed (POP3)");
}

// A reply that did not come within the time-out: the client has dropped the
// connection already. Returns whether that is what ended the last operation.
bool TfmOptions::ShowIfTimedOut() {
    if (!NMPOP31->TimedOut()) {
        return false;
    }
    if (NMPOP31->Connected()) {
        NMPOP31->Abort();
    }
    SetStatus(TimedOutText);
    SetTrayImage(5);
    return true;
}

void TfmOptions::ConnectWithOneRetry() {
    retryPending_ = false;
    try {
        NMPOP31->Connect();
    } catch (const std::exception&) {
        if (ShowIfTimedOut()) {
            // Not a refusal: a new log-in would only wait as long again.
            throw;
        }
        if (retryPending_ && !inErrorRetry_) {
            retryPending_ = false;
            inErrorRetry_ = true;
            try {
                // The retry logs in only; the messages wait for the next poll.
                ConnectButtonWork(false);
            } catch (const std::exception& retryError) {
                ReportCaught(retryError);
            }
            inErrorRetry_ = false;
        }
        throw;
    }
}

// ---------------------------------------------------------------- receiving

void TfmOptions::ReceiveStep() {
    Timer1->SetEnabled(false);
    wakeuptimer->Restart();
    int count = NMPOP31->MailCount();
    int failedInARow = 0;
    for (int n = 1; n <= count && !Stopping(); ++n) {
        try {
            NMPOP31->RetrieveMessage(n);
            failedInARow = 0;
            NoteProgress();
        } catch (const std::exception& e) {
            // A message that cannot be taken apart or written stays on the
            // server; the others still come in. A lost connection ends the step.
            cycleFailed_ = true;
            if (!NMPOP31->Connected()) {
                ShowIfTimedOut();
                throw;
            }
            ReportCaught(e);
            // A server whose every message fails (or that claims far more
            // than it has) would otherwise hold the cycle for each of them.
            if (++failedInARow >= MaxFailedInARow) {
                SetStatus(FailedInARowText);
                SetTrayImage(5);
                break;
            }
        }
    }
}

// ---------------------------------------------------------------- timers

std::string TfmOptions::StalledText(int seconds) {
    return "The poll made no progress for " + std::to_string(seconds) + " s and was stopped";
}

void TfmOptions::wakeuptimerTimer(TObject*) {
    if (cycleRunning_) {
        // The running poll switches the poll timer on when it ends. One that
        // has gone on for several ticks without receiving a message or
        // sending a file is stuck in some wait: it is stopped.
        if (++stalledTicks_ >= WatchdogTicksWithoutProgress && !abortRequested_) {
            StopStalledCycle();
        }
        return;
    }
    if (!Timer1->Enabled()) {
        Timer1->Restart();
    }
}

void TfmOptions::StopStalledCycle() {
    abortRequested_ = true;
    SendWait = false;
    SetStatus(StalledText(stalledTicks_ * wakeuptimer->Interval() / 1000));
    SetTrayImage(5);
    // Ends whatever wait the client is in; the poll then unwinds without
    // starting anything new.
    NMPOP31->Abort();
}

void TfmOptions::Timer2Timer(TObject*) {
    Timer2->SetEnabled(false);
    SendWait = false;
}

bool TfmOptions::ReconnectUntilConnected() {
    SetStatus("Lost Connection...");
    SetTrayImage(5);
    RepaintNow();
    QElapsedTimer elapsed;
    elapsed.start();
    int pause = ReconnectPolicy.FirstPauseMs;
    int ceiling =
        std::min(ReconnectPolicy.MaxPauseMs,
                 Timer1->Interval() > 0 ? Timer1->Interval() : ReconnectPolicy.MaxPauseMs);
    for (;;) {
        if (elapsed.elapsed() + pause > ReconnectPolicy.GiveUpAfterMs || Stopping()) {
            return false;
        }
        ProcessMessagesFor(pause);
        // A handler that ran during the pause may have connected the client.
        if (NMPOP31->Connected()) {
            return true;
        }
        if (Stopping()) {
            return false;
        }
        try {
            ConnectWithOneRetry();
            return true;
        } catch (const std::exception& e) {
            ReportCaught(e);
            if (NMPOP31->Connected()) {
                return true;
            }
            if (NMPOP31->TimedOut()) {
                return false; // it answers no more: the next poll tries again
            }
        }
        pause = std::min(pause * 2, std::max(ceiling, ReconnectPolicy.FirstPauseMs));
    }
}

// Ends the previous session and logs in anew; false when no session could
// be had for this cycle.
bool TfmOptions::OpenSession() {
    try {
        if (NMPOP31->Connected()) {
            NMPOP31->Disconnect();
        }
        ConnectWithOneRetry();
        return true;
    } catch (const std::exception& e) {
        ReportCaught(e);
        if (NMPOP31->TimedOut() || Stopping()) {
            // A server that accepts and then stays silent is not "away":
            // waiting on it again in this cycle would only hold the cycle.
            return false;
        }
        return ReconnectUntilConnected();
    }
}

// QUIT makes the server carry out the deletions of the messages saved.
void TfmOptions::EndSession() {
    if (!NMPOP31->Connected()) {
        return;
    }
    try {
        NMPOP31->Disconnect();
    } catch (const std::exception& e) {
        cycleFailed_ = true;
        ReportCaught(e);
        ShowIfTimedOut();
    }
}

void TfmOptions::PollCycle() {
    Timer1->SetEnabled(false);
    wakeuptimer->Restart();
    stalledTicks_ = 0;
    abortRequested_ = false;
    // The same error again in this cycle is counted, not logged anew.
    if (TExcMagic* reporter = TExcMagic::ExcMagic()) {
        reporter->NewCycle();
    }

    if (!OpenSession()) {
        // Given up for now: the next poll tries again.
        cycleFailed_ = true;
        Timer1->SetEnabled(true);
        return;
    }
    SetTrayImage(1);
    if (NMPOP31->Connected()) {
        if (NMPOP31->MailCount() < 1) {
            SetStatus("No Messages to Get");
        } else {
            try {
                ReceiveStep();
            } catch (const std::exception& e) {
                // The session is lost; the Outbox does not wait for it.
                cycleFailed_ = true;
                ReportCaught(e);
            }
        }
    }
    // Before the outbox pass, which may take long: a session left open through
    // it could outlive the server's idle limit and lose its deletions.
    EndSession();
    if (!Stopping()) {
        OutboxPass();
    }
    SetTrayImage(1);
    Timer1->SetEnabled(true);
}

void TfmOptions::Timer1Timer(TObject*) {
    if (cycleRunning_) {
        // A tick that arrives while a cycle waits (the watchdog switched the
        // poll timer on during a long one) would end that cycle's session
        // in the middle of a transfer; the running cycle polls again itself.
        Timer1->SetEnabled(false);
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
        Timer1->SetEnabled(false);
        cycleFailed_ = true;
        return;
    }
    PollCycle();
    // A failed send is tried again by one repeat cycle after this one ends -
    // not nested inside the pass, and only once; then the next poll.
    if (repeatWanted_ && !setup_.Once && !Stopping()) {
        repeatWanted_ = false;
        PollCycle();
    }
}

bool TfmOptions::RunOneCycle() {
    cycleFailed_ = false;
    try {
        Timer1Timer(this);
    } catch (const std::exception& e) {
        ReportCaught(e);
        cycleFailed_ = true;
    }
    Timer1->SetEnabled(false);
    return !cycleFailed_;
}

// ---------------------------------------------------------------- outbox

std::string TfmOptions::FindRecipient(const std::string& fileName) {
    RichEdit.Clear();
    RichEdit.LoadFromFile(fileName);
    std::string result;
    for (std::string line : RichEdit) {
        if (line.find("HDR") == std::string::npos) {
            break;
        }
        // The address is field 29 of the tab-separated header line.
        for (int i = 0; i < 28; ++i) {
            auto tab = line.find('\t');
            if (tab == std::string::npos) {
                break;
            }
            line.erase(0, tab + 1);
        }
        auto tab = line.find('\t');
        std::string piece = tab == std::string::npos ? std::string() : line.substr(0, tab);
        auto bar = piece.find('|');
        if (bar != std::string::npos) {
            piece.resize(bar);
        }
        result = piece;
    }
    return result;
}

namespace {

bool Exists(const std::string& fileName) {
    struct stat st {};
    return ::stat(fileName.c_str(), &st) == 0;
}

} // namespace

// The first look at every listed file, and one wait for those seen changing
// (new ones included), so that a file that is complete goes in this pass.
void TfmOptions::WaitForOutboxToSettle() {
    int waitMs = 0;
    int count = FileListBox.Count();
    for (int i = 0; i < count; ++i) {
        std::string fullName = OutboxPath + "/" + FileListBox.Item(i);
        if (OutboxSettle.Look(fullName, OutboxSettleMs) == TOutboxSettle::TState::Changing) {
            waitMs = std::max(waitMs, OutboxSettle.RemainingMs(fullName, OutboxSettleMs));
        }
    }
    OutboxSettle.ForgetUnseen();
    QElapsedTimer waited;
    waited.start();
    // The timer may wake us a little early; the settle time must really pass.
    while (waited.elapsed() < waitMs && !Stopping()) {
        ProcessMessagesFor(static_cast<int>(waitMs - waited.elapsed()));
    }
}

void TfmOptions::OutboxPass() {
    pausedThisPass_ = false;
    try {
        FileListBox.SetDirectory(OutboxPath);
    } catch (const std::exception& e) {
        // Reported once per cycle; the cycle still ends its session.
        cycleFailed_ = true;
        ReportCaught(e);
        return;
    }
    WaitForOutboxToSettle();
    int count = FileListBox.Count();
    for (int i = 0; i < count && !Stopping(); ++i) {
        // Joined with the platform's separator.
        std::string fullName = OutboxPath + "/" + FileListBox.Item(i);
        TOutboxSettle::TState state = OutboxSettle.Look(fullName, OutboxSettleMs);
        if (state == TOutboxSettle::TState::Gone) {
            continue; // taken away by someone else since the listing
        }
        if (state == TOutboxSettle::TState::Changing) {
            continue; // its producer is still writing it: next pass
        }
        std::string recipient;
        try {
            recipient = FindRecipient(fullName);
        } catch (const std::exception& e) {
            if (Exists(fullName)) {
                cycleFailed_ = true;
                ReportCaught(e);
            }
            continue;
        }
        if (recipient.empty()) {
            continue;
        }
        SendFile(fullName, recipient);
        NoteProgress();
    }
}

void TfmOptions::SendFile(const std::string& fullName, const std::string& recipient) {
    objMessage->ClearRecipients();
    objAddress = CoMailAddress::Create();
    objAddress->SetAddress(recipient);
    objMessage->ClearAttachments();
    objMessage->AddRecipient(objAddress);
    objAttachment = CoMailAttachment::Create();
    objAttachment->SetFileName(fullName);
    objMessage->AddAttachment(objAttachment);

    SetStatus("Sending...");
    SetTrayImage(3);
    int code = -1;
    std::string description;
    try {
        code = objSmtpMail->Send(objMessage, -1, description);
    } catch (const std::exception& e) {
        // Only a send that returned 0 counts as sent.
        code = -1;
        description = e.what();
        ReportCaught(e);
    }
    if (code == 0) {
        if (::unlink(fullName.c_str()) != 0 && errno != ENOENT) {
            // Sent but still there: it goes again at the next pass.
            ReportCaught(
                EInOutError("Cannot delete sent file " + fullName + ": " + std::strerror(errno)));
        }
        SetStatus("Files are Sent");
        return;
    }
    SetStatus("Send failed! Error " + std::to_string(code) + ": " + description);
    SetTrayImage(5);
    cycleFailed_ = true;
    repeatWanted_ = true;
    PauseAfterFailedSend();
}

void TfmOptions::PauseAfterFailedSend() {
    // One pause per pass: with the server away every file fails, and the
    // repeat cycle after the pass tries them all again anyway.
    if (pausedThisPass_ || setup_.Once) {
        return;
    }
    pausedThisPass_ = true;
    SendWait = true;
    Timer2->SetEnabled(true);
    ProcessMessagesUntil([this] { return !SendWait; });
}

void TfmOptions::objSmtpMailStatusChange(TObject*, int messageNumber, int newStatus) {
    switch (newStatus) {
    case 0:
        SetStatus("Queued");
        break;
    case 1:
        SetStatus("Sending...");
        SetTrayImage(3);
        break;
    case 2:
        SetStatus("Sent successfully!");
        break;
    case 3: {
        int code = objSmtpMail->GetErrorCode(messageNumber);
        std::string description = objSmtpMail->GetErrorText(messageNumber);
        SetStatus("Send failed! Error " + std::to_string(code) + ": " + description);
        SetTrayImage(5);
        // A short pause that keeps the loop running; the repeat cycle is the
        // outbox pass's (one per failed send).
        ProcessMessagesFor(1000);
        break;
    }
    case 4:
        SetStatus("Canceled");
        break;
    default:
        break;
    }
}
