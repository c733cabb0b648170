#include "app/InstanceClaim.h"

#include "platform/Exception.h"

#include <QMessageBox>
#include <cstdio>

namespace {

void Tell(const std::string& text, bool inWindow) {
    if (inWindow) {
        QMessageBox::critical(nullptr, QStringLiteral("mailgate"), QString::fromStdString(text));
    } else {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
}

} // namespace

int ClaimInstance(TInstanceLock& lock, const std::string& settingsPath, bool inWindow) {
    try {
        if (lock.TryAcquire()) {
            return 0;
        }
    } catch (const Exception& e) {
        Tell(e.Message(), inWindow);
        return ExitLockUnusable;
    }
    Tell(TInstanceLock::RefusalText(settingsPath), inWindow);
    return ExitAnotherInstance;
}
