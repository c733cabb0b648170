// The outbox pass of the poll cycle: each settled file of the Outbox is sent
// to the address written in it and removed once the SMTP server took it.
#include <sys/stat.h>

#include "app/PollCycle.h"
#include "excreport/ExcMagic.h"
#include "net/TlsSession.h"
#include "platform/EventLoopWait.h"
#include "platform/Exception.h"
#include "pop3/NMpop3.h"
#include "smtp/MessageIdentity.h"

namespace {

bool Exists(const std::string& fileName) {
    struct stat st {};
    return ::stat(fileName.c_str(), &st) == 0;
}

// The send results that refuse the SMTP server's security rather than one
// mail (libcurl's codes, as the control returns them).
TTlsFailure SecurityRefusal(int code) {
    switch (code) {
    case 64: // CURLE_USE_SSL_FAILED: no STARTTLS where it is required
        return TTlsFailure::UpgradeRefused;
    case 35: // CURLE_SSL_CONNECT_ERROR
        return TTlsFailure::HandshakeFailed;
    case 58: // CURLE_SSL_CERTPROBLEM
    case 60: // CURLE_PEER_FAILED_VERIFICATION: untrusted, wrong name, expired, pin
    case 77: // CURLE_SSL_CACERT_BADFILE
        return TTlsFailure::NotTrusted;
    default:
        return TTlsFailure::None;
    }
}

} // namespace

void TPollCycle::OutboxPass() {
    pausedThisPass_ = false;
    try {
        outbox_.List();
    } catch (const std::exception& e) {
        // Reported once per cycle; the cycle still ends its session.
        cycleFailed_ = true;
        observer_.Caught(e);
        LogError("outbox", e);
        return;
    }
    outbox_.WaitToSettle([this] { return Stopping(); });
    int count = outbox_.Count();
    bool smtpPasswordTaken = false;
    struct EndProgress {
        TCycleObserver& observer;
        ~EndProgress() { observer.ProgressEnded(); }
    } endProgress{observer_};
    for (int i = 0; i < count && !Stopping(); ++i) {
        std::string fullName = outbox_.FullName(i);
        TOutboxSettle::TState state = outbox_.Look(fullName);
        if (state == TOutboxSettle::TState::Gone) {
            continue; // taken away by someone else since the listing
        }
        if (state == TOutboxSettle::TState::Changing) {
            continue; // its producer is still writing it: next pass
        }
        std::string recipient;
        try {
            recipient = TOutbox::FindRecipient(fullName);
        } catch (const std::exception& e) {
            if (Exists(fullName)) {
                cycleFailed_ = true;
                observer_.Caught(e);
                LogError(fullName, e);
            }
            continue;
        }
        if (recipient.empty()) {
            continue;
        }
        // Read once a file is to go, not for every pass.
        if (!smtpPasswordTaken) {
            if (!TakeSmtpPassword()) {
                break;
            }
            smtpPasswordTaken = true;
        }
        observer_.Progress({TExchangeProgress::TLeg::Sending, i + 1, count, 0});
        if (!SendFile(fullName, recipient)) {
            break;
        }
        NoteProgress();
    }
}

bool TPollCycle::TakeSmtpPassword() {
    if (!smtpPasswordSource_) {
        return true;
    }
    try {
        smtp_->SetSmtpPassword(smtpPasswordSource_());
        return true;
    } catch (const std::exception& e) {
        // Every file would need it: they all wait for the next pass.
        cycleFailed_ = true;
        Status(e.what());
        Tray(TTrayImage::Error);
        observer_.Caught(e);
        return false;
    }
}

bool TPollCycle::SendFile(const std::string& fullName, const std::string& recipient) {
    // The same unchanged file carries the same identity at every sending, so
    // that a receiving mailgate drops the repeat of a send whose file could
    // not be removed (killed, power lost) after the server took it.
    std::string messageId;
    try {
        const IMailAddressPtr& from = message_->GetFrom();
        messageId = MailgateMessageId(fullName, from ? from->GetAddress() : std::string());
    } catch (const std::exception& e) {
        if (Exists(fullName)) {
            cycleFailed_ = true;
            observer_.Caught(e);
            LogError(fullName, e);
        }
        return true;
    }
    message_->SetMessageId(messageId);
    message_->ClearRecipients();
    address_ = CoMailAddress::Create();
    address_->SetAddress(recipient);
    message_->ClearAttachments();
    message_->AddRecipient(address_);
    attachment_ = CoMailAttachment::Create();
    attachment_->SetFileName(fullName);
    message_->AddAttachment(attachment_);

    TExchangeLog& log = ExchangeLog();
    // Taken before the send: the file goes once the server has it.
    const TExchangeLog::TFileFacts facts =
        log.Enabled() ? TExchangeLog::FactsOf(fullName) : TExchangeLog::TFileFacts{};

    Status("Sending...");
    Tray(TTrayImage::Sending);
    int code = -1;
    std::string description;
    try {
        code = smtp_->Send(message_, -1, description);
    } catch (const std::exception& e) {
        // Only a send that returned 0 counts as sent.
        code = -1;
        description = e.what();
        observer_.Caught(e);
    }
    if (code == 0) {
        log.Sent(facts, recipient, messageId, smtp_->LastReply());
        if (::unlink(fullName.c_str()) != 0 && errno != ENOENT) {
            // Sent but still there: it goes again at the next pass.
            const EInOutError e("Cannot delete sent file " + fullName + ": " +
                                std::strerror(errno));
            observer_.Caught(e);
            LogError(fullName, e);
        }
        Status("Files are Sent");
        return true;
    }
    cycleFailed_ = true;
    log.Error(fullName, "Send failed! Error " + std::to_string(code) + ": " + description);
    const TTlsFailure refusal = SecurityRefusal(code);
    if (refusal != TTlsFailure::None) {
        // It holds for every file: the pass ends with the reason, which goes
        // to the exception log (raised for that) and the output like the POP3
        // side's refusals; the files wait for the next poll.
        try {
            throw ETlsError(description, refusal);
        } catch (const ETlsError& e) {
            observer_.Caught(e);
        }
        Status(description);
        Tray(TTrayImage::Error);
        return false;
    }
    Status("Send failed! Error " + std::to_string(code) + ": " + description);
    Tray(TTrayImage::Error);
    repeatWanted_ = true;
    PauseAfterFailedSend();
    return true;
}

void TPollCycle::PauseAfterFailedSend() {
    // One pause per pass: with the server away every file fails, and the
    // repeat cycle after the pass tries them all again anyway.
    if (pausedThisPass_ || once_) {
        return;
    }
    pausedThisPass_ = true;
    sendWait_ = true;
    retryTimer_->SetEnabled(true);
    ProcessMessagesUntil([this] { return !sendWait_; });
}

void TPollCycle::SmtpStatusChange(int messageNumber, int newStatus) {
    switch (newStatus) {
    case TSmtpMail::StatusQueued:
        Status("Queued");
        break;
    case TSmtpMail::StatusSending:
        Status("Sending...");
        Tray(TTrayImage::Sending);
        break;
    case TSmtpMail::StatusSent:
        Status("Sent successfully!");
        break;
    case TSmtpMail::StatusFailed: {
        int code = smtp_->GetErrorCode(messageNumber);
        std::string description = smtp_->GetErrorText(messageNumber);
        Status("Send failed! Error " + std::to_string(code) + ": " + description);
        Tray(TTrayImage::Error);
        // A short pause that keeps the loop running; the repeat cycle is the
        // outbox pass's (one per failed send).
        ProcessMessagesFor(1000);
        break;
    }
    case TSmtpMail::StatusCanceled:
        Status("Canceled");
        break;
    default:
        break;
    }
}
