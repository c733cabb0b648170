// The tray icon against a notification area that the test controls: the
// fake records every shell command and can vanish, refuse or come back.
#include <QAction>
#include <QCloseEvent>
#include <QImage>
#include <QPointer>
#include <QWindow>
#include <QtTest/qtestspontaneevent.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "support/WaitFor.h"
#include "tray/abctray.h"

namespace {

class TFakeTrayIcon : public TabcTrayIcon {
public:
    using TabcTrayIcon::AnimateTick;
    using TabcTrayIcon::MonitorTick;
    using TabcTrayIcon::TabcTrayIcon;
    using TabcTrayIcon::TrayActivated;

    struct TCall {
        TShellCommand Command;
        TNotifyIconData Data;
    };

    bool TrayPresent = true;
    bool RefuseModify = false;
    std::vector<TCall> Calls;

    int CountOf(TShellCommand command) const {
        int n = 0;
        for (const TCall& call : Calls) {
            n += call.Command == command ? 1 : 0;
        }
        return n;
    }

protected:
    bool ShellNotifyIcon(TShellCommand Command, const TNotifyIconData& Data) override {
        Calls.push_back({Command, Data});
        if (!TrayPresent) {
            return false;
        }
        return !(Command == NIM_MODIFY && RefuseModify);
    }
    bool TrayAvailable() const override { return TrayPresent; }
};

TImageList* MakeList(int count, QObject* owner) {
    auto* list = new TImageList(16, 16, owner);
    for (int i = 0; i < count; ++i) {
        QPixmap pixmap(16, 16);
        pixmap.fill(QColor::fromHsv(i * 40, 255, 255));
        list->Add(QIcon(pixmap));
    }
    return list;
}

// The close box: the window system's close request, which reaches the
// form's native window as a spontaneous close event. (QWindow::close() from
// code would count as a close from code.)
void PressCloseBox(QWidget& form) {
    QCloseEvent close;
    QSpontaneKeyEvent::setSpontaneous(&close);
    QCoreApplication::instance()->notify(form.windowHandle(), &close);
}

TMessage TrayMessage(const TabcTrayIcon& icon, intptr_t mouseMessage) {
    TMessage message;
    message.Msg = WM_TRAYNOTIFY;
    message.WParam = icon.NotifyData().Identifier;
    message.LParam = mouseMessage;
    return message;
}

// The program's configuration of the icon, loaded the way its window does.
struct TrayFixture : ::testing::Test {
    std::unique_ptr<QWidget> form = std::make_unique<QWidget>();
    TFakeTrayIcon* tray = new TFakeTrayIcon(form.get());

    void LoadAsProgram() {
        tray->SetOptions(
            {atiShowOnDblClick, atiHideApp, atiHideOnClose, atiTerminateOnLogoff, atiMonitorTray});
        tray->SetVisible(false);
        tray->Loaded();
        tray->SetVisible(true);
    }
};

} // namespace

// --- construction and options -----------------------------------------------

TEST(TrayIconConstruction, OwnerMustBeAFormOrOwnedByOne) {
    QObject orphan;
    try {
        TabcTrayIcon icon(&orphan);
        FAIL() << "constructed without a form";
    } catch (const EComponentError& e) {
        EXPECT_EQ(e.Message(), "This component must be owned by a TForm");
    }
    QWidget form;
    auto* holder = new QObject(&form);
    TabcTrayIcon icon(holder);
    EXPECT_EQ(icon.Form(), &form);
    EXPECT_EQ(icon.Options().toInt(), 170);
    EXPECT_TRUE(icon.Visible());
    EXPECT_EQ(icon.AnimateInterval(), 700u);
    EXPECT_EQ(icon.MonitorInterval(), 5000u);
    EXPECT_EQ(icon.ImageIndex(), 0);
    EXPECT_FALSE(icon.IconAdded());
    EXPECT_FALSE(icon.MonitorTimerEnabled());
}

TEST_F(TrayFixture, OptionsSetterKeepsOneShowTriggerAndOneLogoffMode) {
    // Program options: bit value 426.
    tray->SetOptions(
        {atiShowOnDblClick, atiHideApp, atiHideOnClose, atiTerminateOnLogoff, atiMonitorTray});
    EXPECT_EQ(tray->Options().toInt(), 426);

    const TabcTrayIconOptions both = {atiShowOnClick, atiShowOnDblClick, atiTerminateOnLogoff};
    tray->SetOptions(TabcTrayIconOptions::fromInt(170)); // holds atiShowOnDblClick
    tray->SetOptions(both);
    EXPECT_EQ(tray->Options(), TabcTrayIconOptions({atiShowOnClick, atiTerminateOnLogoff}));
    tray->SetOptions(both); // now lacks atiShowOnDblClick
    EXPECT_EQ(tray->Options(), TabcTrayIconOptions({atiShowOnDblClick, atiTerminateOnLogoff}));

    tray->SetOptions(TabcTrayIconOptions::fromInt(170));
    tray->SetOptions({});
    EXPECT_EQ(tray->Options(), TabcTrayIconOptions(atiWin95Service));
    tray->SetOptions({});
    EXPECT_EQ(tray->Options(), TabcTrayIconOptions(atiTerminateOnLogoff));

    tray->SetOptions({atiShowOnDblClick, atiTerminateOnLogoff});
    tray->SetOptions({atiShowOnDblClick, atiMenuDefaultOnDblClick, atiTerminateOnLogoff});
    EXPECT_EQ(tray->Options(),
              TabcTrayIconOptions({atiMenuDefaultOnDblClick, atiTerminateOnLogoff}));
}

TEST_F(TrayFixture, MonitorTimerFollowsOptionOnceTheIconIsAdded) {
    tray->SetOptions({atiTerminateOnLogoff, atiMonitorTray});
    EXPECT_FALSE(tray->MonitorTimerEnabled());
    tray->Loaded();
    EXPECT_TRUE(tray->IconAdded());
    EXPECT_TRUE(tray->MonitorTimerEnabled());
    tray->SetOptions({atiTerminateOnLogoff});
    EXPECT_FALSE(tray->MonitorTimerEnabled());
}

// --- hint, images, animation ----------------------------------------------------

TEST_F(TrayFixture, HintIsCutTo63CharactersAndSentWhenShown) {
    tray->Loaded();
    const std::string seventy(70, 'h');
    tray->SetHint(seventy);
    EXPECT_EQ(tray->Hint(), seventy.substr(0, 63));
    ASSERT_FALSE(tray->Calls.empty());
    EXPECT_EQ(tray->Calls.back().Command, NIM_MODIFY);
    EXPECT_EQ(tray->Calls.back().Data.Tip, seventy.substr(0, 63));

    // Characters, not bytes: a multi-byte text is never cut inside one.
    std::string umlauts;
    for (int i = 0; i < 70; ++i) {
        umlauts += "\xC3\xA4";
    }
    tray->SetHint(umlauts);
    EXPECT_EQ(tray->Hint(), umlauts.substr(0, 126));
}

TEST_F(TrayFixture, AnimationWrapsThroughTheListFromIndexZero) {
    tray->SetImages(MakeList(6, form.get()));
    tray->SetImageIndex(0);
    tray->SetAnimateInterval(5);
    tray->SetAnimated(true);
    EXPECT_TRUE(tray->AnimateTimerEnabled());
    tray->SetAnimated(false);
    std::vector<int> shown;
    for (int i = 0; i < 7; ++i) {
        tray->AnimateTick();
        shown.push_back(tray->ImageIndex());
    }
    EXPECT_EQ(shown, (std::vector<int>{1, 2, 3, 4, 5, 0, 1}));

    tray->SetAnimated(true);
    EXPECT_TRUE(WaitFor([&] { return tray->ImageIndex() == 4; }));
    tray->SetImages(nullptr);
    EXPECT_FALSE(tray->Animated());
    EXPECT_FALSE(tray->AnimateTimerEnabled());
}

TEST_F(TrayFixture, ImageIndexOutOfRangeAndImagesSameOrOtherList) {
    tray->Loaded();
    TImageList* six = MakeList(6, form.get());
    tray->SetImages(six);
    tray->SetImageIndex(2);
    EXPECT_EQ(tray->Icon().cacheKey(), six->Image(2).cacheKey());
    EXPECT_EQ(tray->Calls.back().Data.Icon.cacheKey(), six->Image(2).cacheKey());
    const size_t calls = tray->Calls.size();

    tray->SetImageIndex(7);
    EXPECT_EQ(tray->ImageIndex(), 7);
    EXPECT_EQ(tray->Icon().cacheKey(), six->Image(2).cacheKey());
    EXPECT_EQ(tray->Calls.size(), calls);

    tray->SetImages(six);
    EXPECT_EQ(tray->ImageIndex(), 7);
    tray->SetImages(MakeList(6, form.get()));
    EXPECT_EQ(tray->ImageIndex(), -1);
    EXPECT_EQ(tray->Icon().cacheKey(), six->Image(2).cacheKey());
}

TEST_F(TrayFixture, ImagesGoingAwayLeaveNoDanglingList) {
    auto* list = MakeList(6, nullptr);
    tray->SetImages(list);
    tray->SetAnimated(true);
    delete list;
    EXPECT_EQ(tray->Images(), nullptr);
    EXPECT_FALSE(tray->Animated());
    tray->SetImageIndex(3); // must not touch the deleted list
    EXPECT_EQ(tray->ImageIndex(), 3);
}

TEST(TrayImageList1, SixDistinctImagesSharpAt16And32) {
    QObject owner;
    TImageList* list = CreateImageList1(&owner);
    ASSERT_EQ(list->Count(), 6);
    EXPECT_EQ(list->Width(), 16);
    std::vector<QImage> small;
    for (int i = 0; i < list->Count(); ++i) {
        const QIcon& icon = list->Image(i);
        ASSERT_FALSE(icon.isNull()) << i;
        for (int size : {16, 32}) {
            EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size))) << i << " " << size;
        }
        QImage image = icon.pixmap(16, 16).toImage();
        int opaque = 0;
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 16; ++x) {
                opaque += qAlpha(image.pixel(x, y)) > 128 ? 1 : 0;
            }
        }
        EXPECT_GT(opaque, 40) << "image " << i << " is nearly empty";
        small.push_back(image);
    }
    for (size_t a = 0; a < small.size(); ++a) {
        for (size_t b = a + 1; b < small.size(); ++b) {
            EXPECT_NE(small[a], small[b]) << a << " and " << b;
        }
    }
    EXPECT_THROW(list->Image(6), EListError);
}

// --- the tray callback -------------------------------------------------------------

TEST_F(TrayFixture, LeftDoubleClickShowsTheFormRightDoubleClickOnlyReports) {
    LoadAsProgram();
    form->showMinimized();
    form->hide();
    int doubleClicks = 0;
    tray->OnDblClick = [&](TObject* sender) {
        EXPECT_EQ(sender, tray);
        ++doubleClicks;
    };

    TMessage right = TrayMessage(*tray, WM_RBUTTONDBLCLK);
    tray->TrayNotify(right);
    EXPECT_EQ(doubleClicks, 1);
    EXPECT_TRUE(form->isHidden());

    TMessage left = TrayMessage(*tray, WM_LBUTTONDBLCLK);
    tray->TrayNotify(left);
    EXPECT_EQ(doubleClicks, 2);
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->windowState().testFlag(Qt::WindowMinimized));
}

TEST_F(TrayFixture, DoubleClickRunsTheDefaultItemWhenSoConfigured) {
    auto* menu = new TabcPopupMenu(form.get());
    QAction* properties = menu->AddItem("Properties");
    menu->AddItem("-");
    QAction* exitItem = menu->AddItem("Exit");
    menu->setDefaultAction(properties);
    int propertiesRuns = 0;
    QObject::connect(properties, &QAction::triggered, [&] { ++propertiesRuns; });
    QObject::connect(exitItem, &QAction::triggered, [&] { ADD_FAILURE() << "Exit ran"; });
    tray->SetPopupMenu(menu);
    tray->SetOptions({atiMenuDefaultOnDblClick, atiTerminateOnLogoff});
    tray->Loaded();
    TMessage left = TrayMessage(*tray, WM_LBUTTONDBLCLK);
    tray->TrayNotify(left);
    EXPECT_EQ(propertiesRuns, 1);
    EXPECT_TRUE(form->isHidden());
}

TEST_F(TrayFixture, RightReleasePopsTheMenuUpAtTheCursorThenClicks) {
    auto* menu = new TabcPopupMenu(form.get());
    menu->SetTrayIconMenu(true);
    menu->AddItem("Properties");
    menu->AddItem("-");
    menu->AddItem("Exit");
    ASSERT_EQ(menu->actions().size(), 3);
    EXPECT_TRUE(menu->actions()[1]->isSeparator());
    tray->SetPopupMenu(menu);
    LoadAsProgram();

    std::vector<std::string> order;
    tray->OnMouseUp = [&](TObject*, TMouseButton button, TShiftState shift, int, int) {
        EXPECT_EQ(button, mbRight);
        EXPECT_EQ(shift, 0u);
        order.push_back("up");
    };
    tray->OnContextPopup = [&](TObject*, QPoint position, bool& handled) {
        EXPECT_FALSE(handled);
        EXPECT_EQ(position, tray->CursorPos());
        order.push_back("context");
    };
    tray->OnClick = [&](TObject*) {
        EXPECT_TRUE(menu->isVisible());
        order.push_back("click");
    };
    TMessage release = TrayMessage(*tray, WM_RBUTTONUP);
    tray->TrayNotify(release);
    EXPECT_EQ(order, (std::vector<std::string>{"up", "context", "click"}));
    EXPECT_TRUE(menu->isVisible());
    EXPECT_EQ(menu->PopupComponent(), tray);
    menu->close();

    // A handler that takes the popup over keeps the menu closed.
    tray->OnContextPopup = [&](TObject*, QPoint, bool& handled) { handled = true; };
    tray->OnClick = nullptr;
    tray->TrayNotify(release);
    EXPECT_FALSE(menu->isVisible());
}

TEST_F(TrayFixture, MouseMessagesMapOntoEvents) {
    LoadAsProgram();
    std::vector<std::string> seen;
    tray->OnMouseDown = [&](TObject*, TMouseButton b, TShiftState, int, int) {
        seen.push_back("down" + std::to_string(b));
    };
    tray->OnMouseUp = [&](TObject*, TMouseButton b, TShiftState, int, int) {
        seen.push_back("up" + std::to_string(b));
    };
    tray->OnMouseMove = [&](TObject*, TShiftState, int, int) { seen.push_back("move"); };
    tray->OnClick = [&](TObject*) { seen.push_back("click"); };
    tray->OnDblClick = [&](TObject*) { seen.push_back("dbl"); };
    for (intptr_t m : {WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_MBUTTONDOWN, WM_MBUTTONUP,
                       WM_MBUTTONDBLCLK, intptr_t(0x20A)}) {
        TMessage message = TrayMessage(*tray, m);
        tray->TrayNotify(message);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"move", "down0", "up0", "click", "down2", "up2",
                                              "click", "dbl"}));
    EXPECT_TRUE(form->isHidden()); // left click shows only with atiShowOnClick
}

TEST_F(TrayFixture, ActivationsReachTheIconThroughTheFormHook) {
    auto* menu = new TabcPopupMenu(form.get());
    menu->AddItem("Exit");
    tray->SetPopupMenu(menu);
    std::vector<std::string> seen;
    tray->OnClick = [&](TObject*) { seen.push_back("click"); };
    tray->OnDblClick = [&](TObject*) { seen.push_back("dbl"); };
    tray->OnMouseDown = [&](TObject*, TMouseButton, TShiftState, int, int) {
        seen.push_back("down");
    };

    tray->TrayActivated(QSystemTrayIcon::Context);
    EXPECT_TRUE(seen.empty()) << "not hooked before the after-load step";

    LoadAsProgram();
    tray->TrayActivated(QSystemTrayIcon::Context);
    EXPECT_EQ(seen, (std::vector<std::string>{"down", "click"}));
    EXPECT_TRUE(menu->isVisible());
    menu->close();
    seen.clear();
    tray->TrayActivated(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(seen, (std::vector<std::string>{"dbl"}));
    EXPECT_TRUE(form->isVisible());
}

TEST_F(TrayFixture, AHandlerMayEndTheFormInsideAnActivation) {
    LoadAsProgram();
    QPointer<TFakeTrayIcon> alive = tray;
    tray->OnMouseDown = [&](TObject*, TMouseButton, TShiftState, int, int) { form.reset(); };
    tray->OnClick = [&](TObject*) { ADD_FAILURE() << "ran after the form ended"; };
    tray->TrayActivated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(alive.isNull());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST_F(TrayFixture, CallbackWithAForeignIdentifierDoesNothing) {
    LoadAsProgram();
    form->hide();
    int events = 0;
    tray->OnClick = [&](TObject*) { ++events; };
    tray->OnDblClick = [&](TObject*) { ++events; };
    tray->OnMouseUp = [&](TObject*, TMouseButton, TShiftState, int, int) { ++events; };
    for (intptr_t m : {WM_LBUTTONDBLCLK, WM_RBUTTONUP, WM_LBUTTONUP}) {
        TMessage message = TrayMessage(*tray, m);
        message.WParam += 1;
        tray->TrayNotify(message);
    }
    EXPECT_EQ(events, 0);
    EXPECT_TRUE(form->isHidden());
}

// --- the form: close box, start-up hiding, no notification area --------------------

TEST_F(TrayFixture, CloseBoxHidesTheFormWithoutClosingIt) {
    form->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<QWidget> alive = form.release();
    LoadAsProgram();
    EXPECT_FALSE(tray->ShowMainForm());
    alive->show();
    ASSERT_TRUE(alive->windowHandle() != nullptr);

    PressCloseBox(*alive);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(alive.isNull());
    EXPECT_TRUE(alive->isHidden());
    EXPECT_TRUE(tray->IconAdded());

    // Closing from code (the menu's Exit) is not caught.
    alive->show();
    EXPECT_TRUE(alive->close());
    EXPECT_TRUE(WaitFor([&] { return alive.isNull(); }));
}

TEST_F(TrayFixture, WithoutNotificationAreaTheFormStaysReachable) {
    tray->TrayPresent = false;
    tray->SetMonitorInterval(10);
    form->show();
    LoadAsProgram();
    EXPECT_TRUE(tray->ShowMainForm());
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(tray->IconAdded());
    EXPECT_TRUE(tray->WaitingForTray());

    PressCloseBox(*form);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(form->windowState().testFlag(Qt::WindowMinimized));

    // A notification area appears: the icon goes in, the usual rules apply.
    tray->TrayPresent = true;
    ASSERT_TRUE(WaitFor([&] { return tray->IconAdded(); }));
    EXPECT_FALSE(tray->WaitingForTray());
    EXPECT_EQ(tray->CountOf(NIM_ADD), 1);
    tray->ShowOwnerForm();
    PressCloseBox(*form);
    EXPECT_TRUE(form->isHidden());
}

TEST_F(TrayFixture, LosingTheNotificationAreaWhileHiddenBringsTheFormBack) {
    LoadAsProgram();
    ASSERT_TRUE(form->isHidden());
    tray->TrayPresent = false;
    tray->MonitorTick();
    EXPECT_FALSE(tray->IconAdded());
    EXPECT_TRUE(tray->WaitingForTray());
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(form->windowState().testFlag(Qt::WindowMinimized));
}

TEST_F(TrayFixture, IconComesBackWithItsImageAndTipAfterTheShellLostIt) {
    tray->SetImages(MakeList(6, form.get()));
    tray->SetImageIndex(1);
    LoadAsProgram();
    tray->SetHint("mailgate");
    tray->SetImageIndex(5);
    tray->RefuseModify = true;
    tray->Calls.clear();
    tray->MonitorTick();
    EXPECT_EQ(tray->CountOf(NIM_DELETE), 1);
    ASSERT_EQ(tray->CountOf(NIM_ADD), 1);
    const TNotifyIconData& added = tray->Calls.back().Data;
    EXPECT_EQ(tray->Calls.back().Command, NIM_ADD);
    EXPECT_EQ(added.Icon.cacheKey(), tray->Images()->Image(5).cacheKey());
    EXPECT_EQ(added.Tip, "mailgate");
    EXPECT_EQ(added.CallbackMessage, 0x7007u);
    EXPECT_EQ(added.Size, 88u);
    EXPECT_TRUE(tray->MonitorTimerEnabled());
}

TEST_F(TrayFixture, VisibleAddsAndRemovesAndDestructionRemoves) {
    LoadAsProgram();
    EXPECT_EQ(tray->CountOf(NIM_ADD), 1);
    tray->SetVisible(false);
    EXPECT_FALSE(tray->IconAdded());
    EXPECT_EQ(tray->CountOf(NIM_DELETE), 1);
    tray->SetVisible(true);
    EXPECT_EQ(tray->CountOf(NIM_ADD), 2);
}

TEST(TrayIconPlatform, OffscreenHasNoTrayAndTheFormIsNotHidden) {
    QWidget form;
    form.show();
    TabcTrayIcon tray(&form);
    tray.SetOptions(
        {atiShowOnDblClick, atiHideApp, atiHideOnClose, atiTerminateOnLogoff, atiMonitorTray});
    tray.Loaded();
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        GTEST_SKIP() << "this display has a notification area";
    }
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(tray.ShowMainForm());
    EXPECT_FALSE(tray.IconAdded());
    EXPECT_TRUE(tray.WaitingForTray());
}
