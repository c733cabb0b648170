#include "app/Progress.h"

#include <cstdio>

#include "app/ConsoleLog.h"

std::string ProgressText(const TExchangeProgress& progress) {
    const bool receiving = progress.leg == TExchangeProgress::TLeg::Receiving;
    std::string text = std::string(receiving ? "Receiving " : "Sending ") +
                       std::to_string(progress.done) + " of " + std::to_string(progress.total);
    if (receiving) {
        char size[32];
        std::snprintf(size, sizeof size, " (%.1f MiB)",
                      static_cast<double>(progress.bytes) / (1024.0 * 1024.0));
        text += size;
    }
    return text;
}

void TProgressLines::Progress(const TExchangeProgress& progress) {
    const auto now = clock_();
    if (!running_) {
        running_ = true;
        last_ = now;
        return;
    }
    if (now - last_ < interval_) {
        return;
    }
    last_ = now;
    console_.Progress(ProgressText(progress));
}
