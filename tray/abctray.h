#pragma once
// The notification-area icon that makes its owning form tray-resident, the
// form hook it is built on, and the popup menu it opens.
//
// Our platform has no window procedures or shell notify calls: the form hook
// is a Qt event filter on the form plus one on the application, and the
// notification area is QSystemTrayIcon. The component keeps the shell's
// notify record as its own state, and every shell command goes through one
// virtual (ShellNotifyIcon) so that the notification area can be replaced.
#include <QEvent>
#include <QFlags>
#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Component.h"
#include "platform/Exception.h"
#include "tray/abctrayImageList.h"

MAILGATE_EXCEPTION(EComponentError, Exception);

// The framework's message record: number, word parameter, long parameter,
// result. TrayNotify takes the tray callback in this form.
struct TMessage {
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
    intptr_t Result = 0;
};

// Message numbers of the tray callback and of the mouse messages it carries.
constexpr uint32_t WM_TRAYNOTIFY = 0x7007;
constexpr intptr_t WM_MOUSEMOVE = 0x200;
constexpr intptr_t WM_LBUTTONDOWN = 0x201;
constexpr intptr_t WM_LBUTTONUP = 0x202;
constexpr intptr_t WM_LBUTTONDBLCLK = 0x203;
constexpr intptr_t WM_RBUTTONDOWN = 0x204;
constexpr intptr_t WM_RBUTTONUP = 0x205;
constexpr intptr_t WM_RBUTTONDBLCLK = 0x206;
constexpr intptr_t WM_MBUTTONDOWN = 0x207;
constexpr intptr_t WM_MBUTTONUP = 0x208;
constexpr intptr_t WM_MBUTTONDBLCLK = 0x209;

enum TMouseButton { mbLeft, mbRight, mbMiddle };
// The tray reports no modifier keys: always empty.
using TShiftState = uint32_t;

using TMouseEvent =
    std::function<void(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TObject* Sender, TShiftState Shift, int X, int Y)>;
using TContextPopupEvent = std::function<void(TObject* Sender, QPoint MousePos, bool& Handled)>;

// ---------------------------------------------------------------------------
// The popup menu of the tray. In tray-menu mode it makes itself the active
// window when shown and closes when it loses activation with no submenu open,
// so that a click anywhere outside dismisses it.
class TabcPopupMenu : public QMenu {
    Q_OBJECT
public:
    explicit TabcPopupMenu(QWidget* Owner = nullptr);

    bool TrayIconMenu() const { return trayIconMenu_; }
    void SetTrayIconMenu(bool Value) { trayIconMenu_ = Value; }
    int StatusBarIndex() const { return statusBarIndex_; }
    void SetStatusBarIndex(int Value) { statusBarIndex_ = Value; }
    bool AutoPopup() const { return autoPopup_; }
    void SetAutoPopup(bool Value) { autoPopup_ = Value; }
    // The component that popped the menu up last.
    QObject* PopupComponent() const { return popupComponent_; }
    void SetPopupComponent(QObject* Value) { popupComponent_ = Value; }

    // Adds an item with this caption; "-" adds a separator.
    QAction* AddItem(const std::string& Caption);
    // Shows the menu at screen position (X, Y) and returns at once.
    virtual void Popup(int X, int Y);

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    bool trayIconMenu_ = false;
    int statusBarIndex_ = 0;
    bool autoPopup_ = true;
    QPointer<QObject> popupComponent_;
};

// ---------------------------------------------------------------------------
// Sees the owning form's events before and after the form handles them, and
// every event of the application.
class TabcFormHook : public QObject, public TObject {
    Q_OBJECT
public:
    // Owner: the form (a top-level QWidget) or an object whose parent is one.
    // Raises EComponentError "This component must be owned by a TForm".
    explicit TabcFormHook(QObject* Owner);
    ~TabcFormHook() override;

    QWidget* Form() const { return form_; }
    // The form's native window id, taken at hook installation and again
    // whenever the form's native window is re-created (0: none yet).
    uintptr_t FormHandle() const { return formHandle_; }
    bool Hooked() const { return hooked_; }

    // The after-load step: run once the owner has set the stored properties.
    virtual void Loaded();
    bool Loading() const { return loading_; }
    void SetLoading(bool Value) { loading_ = Value; }
    bool Destroying() const { return destroying_; }

    void HookForm();
    void UnhookForm();

protected:
    virtual void AfterHook() {}
    virtual void BeforeUnhook() {}
    // Every event of every object of the application; true consumes it.
    virtual bool ApplicationMessage(QObject* Receiver, QEvent* Event);
    // The form's event before the form; true: the form does not see it.
    virtual bool FormMessageBefore(QEvent* Event);
    // The form's event after the form handled it (or after it was consumed).
    virtual void FormMessageAfter(QEvent* Event);

    bool eventFilter(QObject* Watched, QEvent* Event) override;
    // Set first thing in a descendant's destructor: no after-steps then.
    void SetDestroying() { destroying_ = true; }

private:
    class TApplicationFilter;

    QWidget* form_ = nullptr;
    QPointer<QWidget> formAlive_;
    uintptr_t formHandle_ = 0;
    bool hooked_ = false;
    bool applicationHooked_ = false;
    bool loading_ = false;
    bool destroying_ = false;
    TApplicationFilter* applicationFilter_ = nullptr;
};

// ---------------------------------------------------------------------------
// Options of the tray icon; each value is its bit in the option set.
enum TabcTrayIconOption : uint16_t {
    atiShowOnClick = 1,
    atiShowOnDblClick = 2,
    atiMenuDefaultOnDblClick = 4,
    atiHideApp = 8,
    atiHideOnMinimize = 16,
    atiHideOnClose = 32,
    atiWin95Service = 64,
    atiTerminateOnLogoff = 128,
    atiMonitorTray = 256,
};
Q_DECLARE_FLAGS(TabcTrayIconOptions, TabcTrayIconOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(TabcTrayIconOptions)

// The shell's notify record, kept as the component's own state.
struct TNotifyIconData {
    uint32_t Size = 88;
    uintptr_t Window = 0;
    uintptr_t Identifier = 0;
    uint32_t Flags = 7;
    uint32_t CallbackMessage = WM_TRAYNOTIFY;
    QIcon Icon;
    std::string Tip; // at most 63 characters
};

enum TShellCommand { NIM_ADD, NIM_MODIFY, NIM_DELETE };

class TabcTrayIcon : public TabcFormHook {
    Q_OBJECT
public:
    static constexpr int MaxHintLength = 63;

    explicit TabcTrayIcon(QObject* Owner);
    ~TabcTrayIcon() override;

    bool Animated() const { return animated_; }
    void SetAnimated(bool Value);
    uint32_t AnimateInterval() const { return static_cast<uint32_t>(animateTimer_.interval()); }
    void SetAnimateInterval(uint32_t Value);
    const std::string& Hint() const { return hint_; }
    void SetHint(const std::string& Value);
    const QIcon& Icon() const { return icon_; }
    void SetIcon(const QIcon& Value);
    TImageList* Images() const { return images_; }
    void SetImages(TImageList* Value);
    int ImageIndex() const { return imageIndex_; }
    void SetImageIndex(int Value);
    uint32_t MonitorInterval() const { return static_cast<uint32_t>(monitorTimer_.interval()); }
    void SetMonitorInterval(uint32_t Value);
    TabcTrayIconOptions Options() const { return options_; }
    void SetOptions(TabcTrayIconOptions Value);
    TabcPopupMenu* PopupMenu() const { return popupMenu_; }
    void SetPopupMenu(TabcPopupMenu* Value);
    bool Visible() const { return visible_; }
    void SetVisible(bool Value);

    TNotifyEvent OnClick;
    TContextPopupEvent OnContextPopup;
    TNotifyEvent OnDblClick;
    TMouseEvent OnMouseDown;
    TMouseMoveEvent OnMouseMove;
    TMouseEvent OnMouseUp;

    // The icon is in the notification area.
    bool IconAdded() const { return iconAdded_; }
    // Visible, but no notification area to put the icon in: the icon is
    // added as soon as one appears.
    bool WaitingForTray() const { return waitingForTray_; }
    // False once the after-load step has hidden the form at start: the
    // program then does not show its main form.
    bool ShowMainForm() const { return showMainForm_; }
    const TNotifyIconData& NotifyData() const { return notifyData_; }
    QPoint CursorPos() const { return cursorPos_; }
    bool MonitorTimerEnabled() const { return monitorTimer_.isActive(); }
    bool AnimateTimerEnabled() const { return animateTimer_.isActive(); }

    void Loaded() override;

    virtual void TrayNotify(TMessage& Message);
    virtual void ContextPopup(QPoint Position);
    virtual void Click(TMouseButton Button);
    virtual void DblClick(TMouseButton Button);
    virtual void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void MouseMove(TShiftState Shift, int X, int Y);
    virtual void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void AddIcon();
    virtual void RemoveIcon();
    virtual void ShowOwnerForm();
    virtual void ClickDefaultMenuItem();

protected:
    bool ApplicationMessage(QObject* Receiver, QEvent* Event) override;
    bool FormMessageBefore(QEvent* Event) override;
    void FormMessageAfter(QEvent* Event) override;

    // The notification area. Returns whether it carried out the command.
    virtual bool ShellNotifyIcon(TShellCommand Command, const TNotifyIconData& Data);
    // Whether the platform has a notification area now.
    virtual bool TrayAvailable() const;

    // What the notification area reports of the user's mouse: the same
    // handlers, in the same order, as the tray callback messages that make
    // up the activation.
    void TrayActivated(QSystemTrayIcon::ActivationReason Reason);
    void MonitorTick();
    void AnimateTick();
    QIcon CurrentIcon() const;
    void IconChanged();

private:
    void FillNotifyData();
    void UpdateMonitorTimer();
    // One button's event: the cursor position is taken, then the handlers run.
    void ButtonPressed(TMouseButton Button);
    void ButtonReleased(TMouseButton Button);
    void ButtonDoubleClicked(TMouseButton Button);
    // The icon is in a notification area that exists now.
    bool IconReachable() const;
    void CloseBox(QEvent* Event);

    bool animated_ = false;
    QTimer animateTimer_;
    QPoint cursorPos_;
    std::string hint_;
    TNotifyIconData notifyData_;
    QIcon icon_;
    QPointer<TImageList> images_;
    int imageIndex_ = 0;
    QTimer monitorTimer_;
    TabcTrayIconOptions options_ = TabcTrayIconOptions::fromInt(170);
    QPointer<TabcPopupMenu> popupMenu_;
    bool serviceRegistered_ = false;
    bool iconAdded_ = false;
    bool visible_ = true;
    bool waitingForTray_ = false;
    bool showMainForm_ = true;
    QSystemTrayIcon* shellIcon_ = nullptr;
};
