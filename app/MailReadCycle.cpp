// The mail exchange: the POP3 client's events, the receive step, the poll
// cycle with its timers, and the outbox pass.
#include <QElapsedTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

#include "app/MailRead.h"
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

void TfmOptions::ConnectWithOneRetry() {
    retryPending_ = false;
    try {
        NMPOP31->Connect();
    } catch (const std::exception&) {
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
    for (int n = 1; n <= count; ++n) {
        try {
            NMPOP31->RetrieveMessage(n);
        } catch (const std::exception& e) {
            // A message that cannot be taken apart or written stays on the
            // server; the others still come in. A lost connection ends the step.
            cycleFailed_ = true;
            if (!NMPOP31->Connected()) {
                throw;
            }
            ReportCaught(e);
        }
    }
}

// ---------------------------------------------------------------- timers

void TfmOptions::wakeuptimerTimer(TObject*) {
    if (!Timer1->Enabled()) {
        Timer1->Restart();
    }
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
        if (elapsed.elapsed() + pause > ReconnectPolicy.GiveUpAfterMs) {
            return false;
        }
        ProcessMessagesFor(pause);
        // A handler that ran during the pause may have connected the client.
        if (NMPOP31->Connected()) {
            return true;
        }
        try {
            ConnectWithOneRetry();
            return true;
        } catch (const std::exception& e) {
            ReportCaught(e);
            if (NMPOP31->Connected()) {
                return true;
            }
        }
        pause = std::min(pause * 2, std::max(ceiling, ReconnectPolicy.FirstPauseMs));
    }
}

void TfmOptions::PollCycle() {
    Timer1->SetEnabled(false);
    wakeuptimer->Restart();

    bool connected = true;
    try {
        if (NMPOP31->Connected()) {
            NMPOP31->Disconnect();
        }
        ConnectWithOneRetry();
    } catch (const std::exception& e) {
        ReportCaught(e);
        connected = ReconnectUntilConnected();
    }
    if (!connected) {
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
            ReceiveStep();
        }
    }
    OutboxPass();
    SetTrayImage(1);
    if (NMPOP31->Connected()) {
        NMPOP31->Disconnect();
    }
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
    PollCycle();
    // A failed send is tried again by one repeat cycle after this one ends -
    // not nested inside the pass, and only once; then the next poll.
    if (repeatWanted_ && !setup_.Once) {
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

enum class FileAge { Gone, Young, Settled };

FileAge AgeOf(const std::string& fileName, int settleMs) {
    struct stat st {};
    if (::stat(fileName.c_str(), &st) != 0) {
        return FileAge::Gone;
    }
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    long long ageMs =
        (now.tv_sec - st.st_mtim.tv_sec) * 1000LL + (now.tv_nsec - st.st_mtim.tv_nsec) / 1000000LL;
    return ageMs < settleMs ? FileAge::Young : FileAge::Settled;
}

} // namespace

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
    int count = FileListBox.Count();
    for (int i = 0; i < count; ++i) {
        // Joined with the platform's separator.
        std::string fullName = OutboxPath + "/" + FileListBox.Item(i);
        FileAge age = AgeOf(fullName, OutboxSettleMs);
        if (age == FileAge::Gone) {
            continue; // taken away by someone else since the listing
        }
        if (age == FileAge::Young) {
            continue; // its producer may still be writing it: next pass
        }
        std::string recipient;
        try {
            recipient = FindRecipient(fullName);
        } catch (const std::exception& e) {
            if (AgeOf(fullName, 0) != FileAge::Gone) {
                cycleFailed_ = true;
                ReportCaught(e);
            }
            continue;
        }
        if (recipient.empty()) {
            continue;
        }
        SendFile(fullName, recipient);
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
