// The receive step and its ledger: which messages this mailgate already has
// (see pop3/UidlLedger.h), and the step that fetches the rest.
#include "app/PollCycle.h"
#include "platform/Exception.h"
#include "pop3/MailboxReceiver.h"
#include "pop3/NMpop3.h"
#include "pop3/UidlLedger.h"
#include "smtp/MessageIdentity.h"

void TPollCycle::LoadLedger() {
    auto ledger = std::make_unique<TUidlLedger>(TUidlLedger::PathFor(configPath_));
    const std::string damage = ledger->Load();
    if (!damage.empty()) {
        // Raised, so that the exception log holds it as well as the status line.
        try {
            throw EInOutError(damage);
        } catch (const std::exception& e) {
            Status(e.what());
            Tray(TTrayImage::Error);
            observer_.Caught(e);
        }
    }
    ledger_ = std::move(ledger);
    // Files a killed run had recorded but not yet moved into the Inbox go
    // there before the Inbox's leftovers are cleared away.
    TMailboxReceiver::RollForward(*ledger_, [this](const TReceivedEvent& event) {
        ExchangeLog().Received(TExchangeLog::FactsOf(event.path), event.id, event.messageId,
                               event.from);
    });
}

void TPollCycle::ReceiveStep() {
    pollTimer_->SetEnabled(false);
    wakeUpTimer_->Restart();
    if (!ledger_) {
        LoadLedger();
    }
    TMailboxReceiver receiver(*pop3_, *ledger_);
    receiver.IsOwnMessageId = [](std::string_view id) { return IsMailgateMessageId(id); };
    receiver.Stopping = [this] { return Stopping(); };
    receiver.OnProgress = [this] { NoteProgress(); };
    receiver.MaxFailedInARow = MaxFailedInARow;
    // A message that cannot be taken apart or written stays on the server;
    // the others still come in.
    receiver.OnMessageFailed = [this](const std::exception& e) {
        cycleFailed_ = true;
        observer_.Caught(e);
        // A refused message has a line of its own once it is recorded.
        if (dynamic_cast<const EMessageRefused*>(&e) == nullptr) {
            LogError("receive", e);
        }
    };
    TExchangeLog& log = ExchangeLog();
    if (log.Enabled()) {
        receiver.OnReceived = [&log](const TReceivedEvent& event) {
            TExchangeLog::TFileFacts facts;
            if (!event.path.empty()) {
                facts = TExchangeLog::FactsOf(event.path);
            }
            log.Received(facts, event.id, event.messageId, event.from);
        };
        receiver.OnNotTaken = [&log](const TNotTakenEvent& event) {
            if (event.refused) {
                log.Refused(event.number, event.id, event.messageId, event.why);
            } else {
                log.Skipped(event.number, event.id, event.messageId, event.why);
            }
        };
    }
    receiver.OnFetched = [this](int read, int total, std::uint64_t bytes) {
        observer_.Progress({TExchangeProgress::TLeg::Receiving, read, total, bytes});
    };
    struct EndProgress {
        TCycleObserver& observer;
        ~EndProgress() { observer.ProgressEnded(); }
    } endProgress{observer_};
    try {
        if (!receiver.Run(pop3_->MailCount())) {
            // A server whose every message fails (or that claims far more
            // than it has) would otherwise hold the cycle for each of them.
            Status(FailedInARowText);
            Tray(TTrayImage::Error);
        }
    } catch (const std::exception& e) {
        // A lost connection ends the step.
        cycleFailed_ = true;
        LogError("receive", e);
        if (!pop3_->Connected()) {
            ShowIfTimedOut();
        }
        throw;
    } catch (...) {
        cycleFailed_ = true;
        if (!pop3_->Connected()) {
            ShowIfTimedOut();
        }
        throw;
    }
}
