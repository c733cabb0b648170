#include "tray/abctray.h"

#include <QApplication>
#include <QCursor>
#include <QShowEvent>
#include <QStyle>
#include <QWindowStateChangeEvent>

namespace {

QWidget* OwningForm(QObject* owner) {
    auto isForm = [](QObject* object) {
        auto* widget = qobject_cast<QWidget*>(object);
        return widget != nullptr && widget->isWindow() ? widget : nullptr;
    };
    if (owner == nullptr) {
        return nullptr;
    }
    if (QWidget* form = isForm(owner)) {
        return form;
    }
    return isForm(owner->parent());
}

} // namespace

// ---------------------------------------------------------------------------

TabcPopupMenu::TabcPopupMenu(QWidget* Owner) : QMenu(Owner) {}

QAction* TabcPopupMenu::AddItem(const std::string& Caption) {
    if (Caption == "-") {
        return addSeparator();
    }
    return addAction(QString::fromStdString(Caption));
}

void TabcPopupMenu::Popup(int X, int Y) {
    popup(QPoint(X, Y));
}

void TabcPopupMenu::showEvent(QShowEvent* event) {
    QMenu::showEvent(event);
    if (trayIconMenu_) {
        // A menu opened from the tray belongs to no active window; unless it
        // takes the activation, clicks elsewhere would not reach it.
        activateWindow();
        raise();
    }
}

void TabcPopupMenu::changeEvent(QEvent* event) {
    QMenu::changeEvent(event);
    if (trayIconMenu_ && event->type() == QEvent::ActivationChange && isVisible() &&
        !isActiveWindow()) {
        QAction* active = activeAction();
        bool submenuOpen =
            active != nullptr && active->menu() != nullptr && active->menu()->isVisible();
        if (!submenuOpen) {
            close();
        }
    }
}

// ---------------------------------------------------------------------------

class TabcFormHook::TApplicationFilter : public QObject {
public:
    explicit TApplicationFilter(TabcFormHook* hook) : hook_(hook) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        return hook_->ApplicationMessage(watched, event);
    }

private:
    TabcFormHook* hook_;
};

TabcFormHook::TabcFormHook(QObject* Owner) : QObject(Owner) {
    form_ = OwningForm(Owner);
    if (form_ == nullptr) {
        throw EComponentError("This component must be owned by a TForm");
    }
    formAlive_ = form_;
}

TabcFormHook::~TabcFormHook() {
    destroying_ = true;
    UnhookForm();
    delete applicationFilter_;
}

void TabcFormHook::Loaded() {
    loading_ = false;
    if (!hooked_) {
        HookForm();
    }
}

void TabcFormHook::HookForm() {
    if (destroying_ || hooked_ || formAlive_.isNull()) {
        return;
    }
    formHandle_ = static_cast<uintptr_t>(form_->internalWinId());
    form_->installEventFilter(this);
    hooked_ = true;
    if (!applicationHooked_) {
        if (applicationFilter_ == nullptr) {
            applicationFilter_ = new TApplicationFilter(this);
        }
        if (QCoreApplication::instance() != nullptr) {
            QCoreApplication::instance()->installEventFilter(applicationFilter_);
        }
        applicationHooked_ = true;
    }
    AfterHook();
}

void TabcFormHook::UnhookForm() {
    if (!hooked_ && !applicationHooked_) {
        return;
    }
    BeforeUnhook();
    if (applicationHooked_) {
        if (QCoreApplication::instance() != nullptr) {
            QCoreApplication::instance()->removeEventFilter(applicationFilter_);
        }
        applicationHooked_ = false;
    }
    if (hooked_ && !formAlive_.isNull()) {
        form_->removeEventFilter(this);
    }
    hooked_ = false;
}

bool TabcFormHook::ApplicationMessage(QObject* /*Receiver*/, QEvent* /*Event*/) {
    return false;
}

bool TabcFormHook::FormMessageBefore(QEvent* /*Event*/) {
    return false;
}

void TabcFormHook::FormMessageAfter(QEvent* /*Event*/) {}

bool TabcFormHook::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched != form_ || !hooked_) {
        return false;
    }
    // The form's own handling runs here, between the two steps, so the
    // after-step sees its result; the event is then consumed for Qt.
    // Either step may end the form and with it this component (a deferred
    // delete, a handler that closes for good): then nothing more is touched.
    QPointer<TabcFormHook> alive = this;
    if (!FormMessageBefore(Event)) {
        if (alive.isNull()) {
            return true;
        }
        static_cast<QObject*>(form_)->event(Event);
    }
    if (!alive.isNull() && !destroying_) {
        FormMessageAfter(Event);
        if (Event->type() == QEvent::WinIdChange && hooked_) {
            // The filter sits on the QWidget, which outlives its native
            // windows: following a new window only means taking its id, and
            // the form is never unobserved in between.
            BeforeUnhook();
            formHandle_ = static_cast<uintptr_t>(form_->internalWinId());
            AfterHook();
        }
    }
    return true;
}

// ---------------------------------------------------------------------------

TabcTrayIcon::TabcTrayIcon(QObject* Owner) : TabcFormHook(Owner) {
    monitorTimer_.setInterval(5000);
    connect(&monitorTimer_, &QTimer::timeout, this, [this] { MonitorTick(); });
    animateTimer_.setInterval(700);
    connect(&animateTimer_, &QTimer::timeout, this, [this] { AnimateTick(); });
    notifyData_.Identifier = reinterpret_cast<uintptr_t>(this);
}

TabcTrayIcon::~TabcTrayIcon() {
    SetDestroying();
    animateTimer_.stop();
    monitorTimer_.stop();
    RemoveIcon();
    waitingForTray_ = false;
    // Service-process registration does not exist on our platform: nothing
    // to undo.
    serviceRegistered_ = false;
    if (shellIcon_ != nullptr) {
        // We may be ending inside one of its own activation signals.
        shellIcon_->hide();
        shellIcon_->deleteLater();
        shellIcon_ = nullptr;
    }
}

void TabcTrayIcon::Loaded() {
    TabcFormHook::Loaded();
    if (visible_) {
        AddIcon();
    } else {
        RemoveIcon();
    }
    if (options_.testFlag(atiHideApp)) {
        // Hiding the only window where no notification area exists would
        // leave the user no way to reach or end the program.
        if (TrayAvailable()) {
            Form()->hide();
            showMainForm_ = false;
        }
    }
    if (options_.testFlag(atiWin95Service)) {
        // Registering as a service process has no counterpart here.
        serviceRegistered_ = true;
    }
}

void TabcTrayIcon::SetAnimated(bool Value) {
    if (Value == animated_) {
        return;
    }
    animated_ = Value;
    if (Value && !images_.isNull()) {
        animateTimer_.start();
    } else {
        animateTimer_.stop();
    }
}

void TabcTrayIcon::SetAnimateInterval(uint32_t Value) {
    animateTimer_.setInterval(static_cast<int>(std::min<uint32_t>(Value, INT32_MAX)));
}

void TabcTrayIcon::SetHint(const std::string& Value) {
    QString text = QString::fromStdString(Value);
    if (text.size() > MaxHintLength) {
        qsizetype keep = MaxHintLength;
        // Never split a character that needs two UTF-16 units.
        if (text.at(keep - 1).isHighSurrogate()) {
            --keep;
        }
        text.truncate(keep);
    }
    hint_ = text.toStdString();
    if (iconAdded_) {
        notifyData_.Tip = hint_;
        ShellNotifyIcon(NIM_MODIFY, notifyData_);
    }
}

void TabcTrayIcon::SetIcon(const QIcon& Value) {
    icon_ = Value;
    IconChanged();
}

void TabcTrayIcon::SetImages(TImageList* Value) {
    if (Value == images_.data()) {
        return;
    }
    if (!images_.isNull()) {
        disconnect(images_.data(), &QObject::destroyed, this, nullptr);
    }
    images_ = Value;
    if (Value == nullptr) {
        SetAnimated(false);
        return;
    }
    connect(Value, &QObject::destroyed, this, [this] {
        images_ = nullptr;
        SetAnimated(false);
    });
    if (imageIndex_ >= Value->Count()) {
        imageIndex_ = -1;
    } else if (imageIndex_ >= 0) {
        SetIcon(Value->Image(imageIndex_));
    }
    if (animated_) {
        animateTimer_.start();
    } else {
        animateTimer_.stop();
    }
}

void TabcTrayIcon::SetImageIndex(int Value) {
    if (Value == imageIndex_) {
        return;
    }
    imageIndex_ = Value;
    if (!images_.isNull() && Value >= 0 && Value < images_->Count()) {
        SetIcon(images_->Image(Value));
    }
}

void TabcTrayIcon::SetMonitorInterval(uint32_t Value) {
    monitorTimer_.setInterval(static_cast<int>(std::min<uint32_t>(Value, INT32_MAX)));
}

void TabcTrayIcon::SetOptions(TabcTrayIconOptions Value) {
    // Show and menu-default on double-click exclude each other, and so do
    // show on click and on double-click: the newly requested one wins.
    if (Value.testFlag(atiShowOnClick) && Value.testFlag(atiShowOnDblClick)) {
        Value &= options_.testFlag(atiShowOnDblClick) ? ~TabcTrayIconOptions(atiShowOnDblClick)
                                                      : ~TabcTrayIconOptions(atiShowOnClick);
    }
    if (Value.testFlag(atiShowOnDblClick) && Value.testFlag(atiMenuDefaultOnDblClick)) {
        Value &= options_.testFlag(atiShowOnDblClick)
                     ? ~TabcTrayIconOptions(atiShowOnDblClick)
                     : ~TabcTrayIconOptions(atiMenuDefaultOnDblClick);
    }
    if (options_.testFlag(atiWin95Service) && !Value.testFlag(atiWin95Service)) {
        Value |= atiTerminateOnLogoff;
    }
    if (!Value.testFlag(atiTerminateOnLogoff)) {
        Value |= atiWin95Service;
    }
    options_ = Value;
    if (iconAdded_) {
        UpdateMonitorTimer();
    }
}

void TabcTrayIcon::SetPopupMenu(TabcPopupMenu* Value) {
    popupMenu_ = Value;
}

void TabcTrayIcon::SetVisible(bool Value) {
    visible_ = Value;
    if (Loading()) {
        return;
    }
    if (Value) {
        AddIcon();
    } else {
        RemoveIcon();
    }
}

// ---------------------------------------------------------------------------

void TabcTrayIcon::FillNotifyData() {
    notifyData_.Size = 88;
    notifyData_.Window = FormHandle();
    notifyData_.Identifier = reinterpret_cast<uintptr_t>(this);
    notifyData_.Flags = 7;
    notifyData_.CallbackMessage = WM_TRAYNOTIFY;
    notifyData_.Icon = CurrentIcon();
    notifyData_.Tip = hint_;
}

void TabcTrayIcon::UpdateMonitorTimer() {
    if (options_.testFlag(atiMonitorTray)) {
        monitorTimer_.start();
    } else {
        monitorTimer_.stop();
    }
}

void TabcTrayIcon::AddIcon() {
    if (iconAdded_) {
        return;
    }
    if (!TrayAvailable()) {
        // No notification area yet: watch for one to appear.
        waitingForTray_ = true;
        monitorTimer_.start();
        return;
    }
    waitingForTray_ = false;
    FillNotifyData();
    // The shell's answer does not matter: the monitor repairs a lost icon.
    ShellNotifyIcon(NIM_ADD, notifyData_);
    iconAdded_ = true;
    UpdateMonitorTimer();
}

void TabcTrayIcon::RemoveIcon() {
    if (waitingForTray_) {
        waitingForTray_ = false;
        monitorTimer_.stop();
    }
    if (!iconAdded_) {
        return;
    }
    try {
        ShellNotifyIcon(NIM_DELETE, notifyData_);
    } catch (...) {
        // The icon is gone either way.
    }
    iconAdded_ = false;
}

QIcon TabcTrayIcon::CurrentIcon() const {
    if (!icon_.isNull()) {
        return icon_;
    }
    if (!Form()->windowIcon().isNull()) {
        return Form()->windowIcon();
    }
    if (!QApplication::windowIcon().isNull()) {
        return QApplication::windowIcon();
    }
    return QApplication::style()->standardIcon(QStyle::SP_DesktopIcon);
}

void TabcTrayIcon::IconChanged() {
    if (iconAdded_) {
        notifyData_.Icon = CurrentIcon();
        ShellNotifyIcon(NIM_MODIFY, notifyData_);
    }
}

void TabcTrayIcon::MonitorTick() {
    if (iconAdded_) {
        if (!ShellNotifyIcon(NIM_MODIFY, notifyData_)) {
            monitorTimer_.stop();
            RemoveIcon();
            AddIcon();
            monitorTimer_.start();
            if (waitingForTray_ && Form()->isHidden()) {
                // The notification area went away with the only way back
                // to the window: give the user the window instead.
                Form()->showMinimized();
            }
        }
    } else if (waitingForTray_ && TrayAvailable()) {
        AddIcon();
    }
}

void TabcTrayIcon::AnimateTick() {
    if (images_.isNull()) {
        return;
    }
    SetImageIndex(imageIndex_ < images_->Count() - 1 ? imageIndex_ + 1 : 0);
}

// ---------------------------------------------------------------------------

void TabcTrayIcon::TrayNotify(TMessage& Message) {
    if (Message.WParam != notifyData_.Identifier) {
        return;
    }
    switch (Message.LParam) {
    case WM_MOUSEMOVE:
        cursorPos_ = QCursor::pos();
        MouseMove(0, cursorPos_.x(), cursorPos_.y());
        break;
    case WM_LBUTTONDOWN:
        ButtonPressed(mbLeft);
        break;
    case WM_RBUTTONDOWN:
        ButtonPressed(mbRight);
        break;
    case WM_MBUTTONDOWN:
        ButtonPressed(mbMiddle);
        break;
    case WM_LBUTTONUP:
        ButtonReleased(mbLeft);
        break;
    case WM_RBUTTONUP:
        ButtonReleased(mbRight);
        break;
    case WM_MBUTTONUP:
        ButtonReleased(mbMiddle);
        break;
    case WM_LBUTTONDBLCLK:
        ButtonDoubleClicked(mbLeft);
        break;
    case WM_RBUTTONDBLCLK:
        ButtonDoubleClicked(mbRight);
        break;
    case WM_MBUTTONDBLCLK:
        ButtonDoubleClicked(mbMiddle);
        break;
    default:
        break;
    }
}

void TabcTrayIcon::ButtonPressed(TMouseButton Button) {
    cursorPos_ = QCursor::pos();
    MouseDown(Button, 0, cursorPos_.x(), cursorPos_.y());
}

void TabcTrayIcon::ButtonReleased(TMouseButton Button) {
    cursorPos_ = QCursor::pos();
    MouseUp(Button, 0, cursorPos_.x(), cursorPos_.y());
    Click(Button);
}

void TabcTrayIcon::ButtonDoubleClicked(TMouseButton Button) {
    cursorPos_ = QCursor::pos();
    DblClick(Button);
}

void TabcTrayIcon::ContextPopup(QPoint Position) {
    bool handled = false;
    if (OnContextPopup) {
        OnContextPopup(this, Position, handled);
    }
    if (!handled && !popupMenu_.isNull() && popupMenu_->AutoPopup()) {
        popupMenu_->SetPopupComponent(this);
        popupMenu_->Popup(Position.x(), Position.y());
    }
}

void TabcTrayIcon::Click(TMouseButton Button) {
    if (Button == mbLeft) {
        if (options_.testFlag(atiShowOnClick)) {
            ShowOwnerForm();
        }
    } else if (Button == mbRight) {
        ContextPopup(cursorPos_);
    }
    if (OnClick) {
        OnClick(this);
    }
}

void TabcTrayIcon::DblClick(TMouseButton Button) {
    if (Button == mbLeft) {
        if (options_.testFlag(atiShowOnDblClick)) {
            ShowOwnerForm();
        } else if (options_.testFlag(atiMenuDefaultOnDblClick)) {
            ClickDefaultMenuItem();
        }
    }
    if (OnDblClick) {
        OnDblClick(this);
    }
}

void TabcTrayIcon::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) {
    if (OnMouseDown) {
        OnMouseDown(this, Button, Shift, X, Y);
    }
}

void TabcTrayIcon::MouseMove(TShiftState Shift, int X, int Y) {
    if (OnMouseMove) {
        OnMouseMove(this, Shift, X, Y);
    }
}

void TabcTrayIcon::MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y) {
    if (OnMouseUp) {
        OnMouseUp(this, Button, Shift, X, Y);
    }
}

void TabcTrayIcon::ShowOwnerForm() {
    QWidget* form = Form();
    form->show();
    form->raise();
    form->activateWindow();
    if (form->windowState().testFlag(Qt::WindowMinimized)) {
        form->setWindowState(form->windowState() & ~Qt::WindowMinimized);
    }
}

void TabcTrayIcon::ClickDefaultMenuItem() {
    if (popupMenu_.isNull()) {
        return;
    }
    QAction* defaultItem = popupMenu_->defaultAction();
    for (QAction* item : popupMenu_->actions()) {
        if (item == defaultItem) {
            item->trigger();
        }
    }
}

// ---------------------------------------------------------------------------

bool TabcTrayIcon::IconReachable() const {
    return iconAdded_ && TrayAvailable();
}

void TabcTrayIcon::CloseBox(QEvent* Event) {
    Event->ignore();
    if (IconReachable()) {
        Form()->hide();
    } else {
        // Hidden without a tray icon, the window could not be brought back.
        Form()->showMinimized();
    }
}

bool TabcTrayIcon::FormMessageBefore(QEvent* Event) {
    // Only the window system's close (the close box) is caught; a close
    // from code is spontaneous == false and goes through.
    if (Event->type() == QEvent::Close && Event->spontaneous() &&
        options_.testFlag(atiHideOnClose)) {
        CloseBox(Event);
        return true;
    }
    return false;
}

void TabcTrayIcon::FormMessageAfter(QEvent* Event) {
    TabcFormHook::FormMessageAfter(Event);
    // Qt reports a minimise after the fact, so the form is hidden right
    // after it was minimised rather than instead of it.
    if (Event->type() == QEvent::WindowStateChange && options_.testFlag(atiHideOnMinimize) &&
        Form()->windowState().testFlag(Qt::WindowMinimized) && IconReachable()) {
        QWidget* form = Form();
        QTimer::singleShot(0, form, [form] { form->hide(); });
    }
}

bool TabcTrayIcon::ApplicationMessage(QObject* Receiver, QEvent* Event) {
    if (Receiver == QCoreApplication::instance() && Event->type() == QEvent::Quit) {
        RemoveIcon();
    }
    // Logoff and user change have no per-application messages here; the
    // application ends with the session as with atiTerminateOnLogoff.
    return false;
}

// ---------------------------------------------------------------------------

bool TabcTrayIcon::TrayAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

bool TabcTrayIcon::ShellNotifyIcon(TShellCommand Command, const TNotifyIconData& Data) {
    switch (Command) {
    case NIM_ADD:
        if (shellIcon_ == nullptr) {
            shellIcon_ = new QSystemTrayIcon();
            connect(shellIcon_, &QSystemTrayIcon::activated, this,
                    [this](QSystemTrayIcon::ActivationReason reason) { TrayActivated(reason); });
        }
        shellIcon_->setIcon(Data.Icon);
        shellIcon_->setToolTip(QString::fromStdString(Data.Tip));
        shellIcon_->show();
        return TrayAvailable();
    case NIM_MODIFY:
        if (shellIcon_ == nullptr || !shellIcon_->isVisible() || !TrayAvailable()) {
            return false;
        }
        shellIcon_->setIcon(Data.Icon);
        shellIcon_->setToolTip(QString::fromStdString(Data.Tip));
        return true;
    case NIM_DELETE:
        if (shellIcon_ == nullptr) {
            return false;
        }
        shellIcon_->hide();
        return true;
    }
    return false;
}

void TabcTrayIcon::TrayActivated(QSystemTrayIcon::ActivationReason Reason) {
    // The form listens only once the icon is hooked to it (after loading).
    if (!Hooked() || Destroying()) {
        return;
    }
    // Qt reports what the user did, not the single button events; a click
    // is a press and a release. A handler may end the form, and this
    // component with it: then the release is not delivered.
    QPointer<TabcTrayIcon> alive = this;
    auto click = [&](TMouseButton button) {
        ButtonPressed(button);
        if (!alive.isNull()) {
            ButtonReleased(button);
        }
    };
    switch (Reason) {
    case QSystemTrayIcon::Trigger:
        click(mbLeft);
        break;
    case QSystemTrayIcon::DoubleClick:
        ButtonDoubleClicked(mbLeft);
        break;
    case QSystemTrayIcon::Context:
        click(mbRight);
        break;
    case QSystemTrayIcon::MiddleClick:
        click(mbMiddle);
        break;
    case QSystemTrayIcon::Unknown:
        break;
    }
}
