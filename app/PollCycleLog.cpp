// The exchange log of the poll cycle (see app/ExchangeLog.h).
#include "app/PollCycle.h"
#include "platform/Exception.h"

TExchangeLog& TPollCycle::ExchangeLog() {
    const std::string target = settings_.LogTarget(configPath_);
    if (!exchangeLog_ || exchangeLog_->Target() != target) {
        exchangeLog_ = std::make_unique<TExchangeLog>(target);
        exchangeLog_->OnWriteFailed = [this](const std::string& text) {
            // Raised, so that the exception log holds it as well as the output.
            try {
                throw EInOutError(text);
            } catch (const std::exception& e) {
                observer_.Caught(e);
            }
        };
    }
    return *exchangeLog_;
}

void TPollCycle::LogError(const std::string& what, const std::exception& e) {
    ExchangeLog().Error(what, e.what());
}
