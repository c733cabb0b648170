// The form hook: each event of the form passes the before-step, the form and
// the after-step in this order, and the hook follows a re-created window
// without a gap.
#include <QWidget>
#include <QWindow>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/WaitFor.h"
#include "tray/abctray.h"

namespace {

const QEvent::Type ProbeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type SwallowedEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type AppProbeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class TRecordingForm : public QWidget {
public:
    std::vector<std::string>* Log = nullptr;

protected:
    bool event(QEvent* e) override {
        if (e->type() == ProbeEvent || e->type() == SwallowedEvent) {
            Log->push_back("form");
            return true;
        }
        return QWidget::event(e);
    }
};

class TRecordingHook : public TabcFormHook {
public:
    using TabcFormHook::TabcFormHook;
    std::vector<std::string>* Log = nullptr;
    int AfterHooks = 0;
    int BeforeUnhooks = 0;
    int ApplicationProbes = 0;

protected:
    void AfterHook() override { ++AfterHooks; }
    void BeforeUnhook() override { ++BeforeUnhooks; }
    bool FormMessageBefore(QEvent* e) override {
        if (e->type() == ProbeEvent || e->type() == SwallowedEvent) {
            Log->push_back("before");
        }
        return e->type() == SwallowedEvent;
    }
    void FormMessageAfter(QEvent* e) override {
        if (e->type() == ProbeEvent || e->type() == SwallowedEvent) {
            Log->push_back("after");
        }
    }
    bool ApplicationMessage(QObject*, QEvent* e) override {
        if (e->type() == AppProbeEvent) {
            ++ApplicationProbes;
            return true;
        }
        return false;
    }
};

} // namespace

TEST(FormHook, BeforeFormAfterAndConsumedEventsSkipTheForm) {
    std::vector<std::string> log;
    TRecordingForm form;
    form.Log = &log;
    auto* hook = new TRecordingHook(&form);
    hook->Log = &log;

    QEvent unhooked(ProbeEvent);
    QCoreApplication::sendEvent(&form, &unhooked);
    EXPECT_EQ(log, (std::vector<std::string>{"form"}));
    log.clear();

    hook->Loaded();
    EXPECT_TRUE(hook->Hooked());
    EXPECT_EQ(hook->AfterHooks, 1);
    QEvent probe(ProbeEvent);
    QCoreApplication::sendEvent(&form, &probe);
    EXPECT_EQ(log, (std::vector<std::string>{"before", "form", "after"}));
    log.clear();

    QEvent swallowed(SwallowedEvent);
    QCoreApplication::sendEvent(&form, &swallowed);
    EXPECT_EQ(log, (std::vector<std::string>{"before", "after"}));

    QEvent appProbe(AppProbeEvent);
    QObject other;
    QCoreApplication::sendEvent(&other, &appProbe);
    EXPECT_EQ(hook->ApplicationProbes, 1);

    delete hook;
    log.clear();
    QCoreApplication::sendEvent(&form, &probe);
    EXPECT_EQ(log, (std::vector<std::string>{"form"}));
}

TEST(FormHook, FollowsTheFormWhenItsNativeWindowIsRecreated) {
    std::vector<std::string> log;
    TRecordingForm form;
    form.Log = &log;
    form.show();
    auto* hook = new TRecordingHook(&form);
    hook->Log = &log;
    hook->Loaded();
    EXPECT_NE(hook->FormHandle(), 0u);

    // Changing the window flags of a shown window makes a new native window.
    form.setWindowFlags(form.windowFlags() | Qt::FramelessWindowHint);
    form.show();
    EXPECT_TRUE(hook->Hooked());
    EXPECT_GE(hook->BeforeUnhooks, 1);
    EXPECT_GE(hook->AfterHooks, 2);
    EXPECT_NE(hook->FormHandle(), 0u);
    EXPECT_EQ(hook->FormHandle(), static_cast<uintptr_t>(form.internalWinId()));

    log.clear();
    QEvent probe(ProbeEvent);
    QCoreApplication::sendEvent(&form, &probe);
    EXPECT_EQ(log, (std::vector<std::string>{"before", "form", "after"}));
    QEvent appProbe(AppProbeEvent);
    QObject other;
    QCoreApplication::sendEvent(&other, &appProbe);
    EXPECT_EQ(hook->ApplicationProbes, 1);
}
