#include "app/Outbox.h"

#include <QElapsedTimer>
#include <algorithm>

#include "net/Psock.h"
#include "platform/EventLoopWait.h"
#include "platform/StringList.h"

namespace {

constexpr int RecipientField = 29;

} // namespace

void TOutbox::List() {
    files_.SetDirectory(folder_);
}

std::string TOutbox::FullName(int index) const {
    return folder_ + "/" + files_.Item(index);
}

TOutboxSettle::TState TOutbox::Look(const std::string& fullName) {
    return settle_.Look(fullName, SettleMs);
}

void TOutbox::WaitToSettle(const std::function<bool()>& stop) {
    int waitMs = 0;
    for (int i = 0; i < Count(); ++i) {
        std::string fullName = FullName(i);
        if (Look(fullName) == TOutboxSettle::TState::Changing) {
            waitMs = std::max(waitMs, settle_.RemainingMs(fullName, SettleMs));
        }
    }
    settle_.ForgetUnseen();
    QElapsedTimer waited;
    waited.start();
    // The timer may wake us a little early; the settle time must really pass.
    while (waited.elapsed() < waitMs && !stop()) {
        ProcessMessagesFor(static_cast<int>(waitMs - waited.elapsed()));
    }
}

std::string TOutbox::FindRecipient(const std::string& fileName) {
    TStringList lines;
    lines.LoadFromFile(fileName);
    std::string result;
    for (const std::string& line : lines) {
        if (line.find("HDR") == std::string::npos) {
            break;
        }
        // The field counts only when a tab ends it: what follows the last tab
        // may be cut short.
        std::string field;
        if (std::count(line.begin(), line.end(), '\t') >= RecipientField) {
            field = ExtractField(line, '\t', RecipientField);
        }
        result = field.substr(0, field.find('|'));
    }
    return result;
}
