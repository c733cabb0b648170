#pragma once
// The folder chooser: a non-visual component whose Execute shows a modal
// folder-selection dialog (TabcsfDirectoryDialog, AbcfdirForm.h) and leaves the
// confirmed folder in Directory().
#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/Component.h"
#include "platform/StringList.h"

class QWidget;

enum TabcDirButtonStyle { dbsButton, dbsBitBtn };
enum TabcDirDialogStyle { ddsBtnBottom, ddsBtnRight };
enum TabcDirEditStyle { desLabel, desEdit, desCombo };
enum TabcDirLabelStyle { dlsFolder, dlsDirectory };

// Bit of each option = 1 << ordinal.
enum TabcDirectoryOption {
    adrCreate,
    adrCreatePrompt,
    adrExistPrompt,
    adrNoChangeDrive,
    adrHideDrive,
    adrHideNetConnect,
    adrNoValidate,
    adrPathMustExist,
    adrPathNotExist,
    adrShowHelp,
    adrUpdateHistory,
};

// A set of TabcDirectoryOption stored in 16 bits.
class TabcDirectoryOptions {
public:
    static constexpr std::uint16_t AllBits = 0x07FF;

    constexpr TabcDirectoryOptions() = default;
    constexpr TabcDirectoryOptions(std::initializer_list<TabcDirectoryOption> options) {
        for (TabcDirectoryOption o : options) {
            Include(o);
        }
    }
    static constexpr TabcDirectoryOptions FromBits(std::uint16_t bits) {
        TabcDirectoryOptions set;
        set.bits_ = static_cast<std::uint16_t>(bits & AllBits);
        return set;
    }

    constexpr std::uint16_t Bits() const noexcept { return bits_; }
    constexpr bool Contains(TabcDirectoryOption o) const noexcept { return (bits_ & Bit(o)) != 0; }
    constexpr void Include(TabcDirectoryOption o) noexcept {
        bits_ = static_cast<std::uint16_t>(bits_ | Bit(o));
    }
    constexpr void Exclude(TabcDirectoryOption o) noexcept {
        bits_ = static_cast<std::uint16_t>(bits_ & ~Bit(o));
    }
    // Members of this set that are not in `other`.
    constexpr TabcDirectoryOptions Minus(TabcDirectoryOptions other) const noexcept {
        return FromBits(static_cast<std::uint16_t>(bits_ & ~other.bits_));
    }
    constexpr bool operator==(const TabcDirectoryOptions&) const = default;

private:
    static constexpr std::uint16_t Bit(TabcDirectoryOption o) noexcept {
        return static_cast<std::uint16_t>(1u << static_cast<unsigned>(o));
    }
    std::uint16_t bits_ = 0;
};

// [adrPathMustExist, adrUpdateHistory] = 1152.
inline constexpr TabcDirectoryOptions DefaultDirectoryOptions{adrPathMustExist, adrUpdateHistory};

class TabcDirectoryDialog : public TObject {
public:
    // `owner` becomes the parent window of the modal dialog; it may be null.
    explicit TabcDirectoryDialog(QWidget* owner = nullptr);
    ~TabcDirectoryDialog() override;
    TabcDirectoryDialog(const TabcDirectoryDialog&) = delete;
    TabcDirectoryDialog& operator=(const TabcDirectoryDialog&) = delete;

    // Shows the dialog modally; true when the user confirmed a folder, which
    // is then in Directory(). Any other end leaves Directory() unchanged.
    virtual bool Execute();

    bool Ctl3D() const noexcept { return ctl3D_; }
    void SetCtl3D(bool value) noexcept { ctl3D_ = value; }

    TabcDirButtonStyle DirButtonStyle() const noexcept { return buttonStyle_; }
    void SetDirButtonStyle(TabcDirButtonStyle value) noexcept { buttonStyle_ = value; }

    TabcDirDialogStyle DirDialogStyle() const noexcept { return dialogStyle_; }
    void SetDirDialogStyle(TabcDirDialogStyle value) noexcept { dialogStyle_ = value; }

    std::string Directory() const { return directory_; }
    void SetDirectory(const std::string& value) { directory_ = value; }

    TabcDirEditStyle DirEditStyle() const noexcept { return editStyle_; }
    // desLabel can only show an existing folder, so it brings adrPathMustExist
    // in through SetOptions.
    void SetDirEditStyle(TabcDirEditStyle value);

    TabcDirLabelStyle DirLabelStyle() const noexcept { return labelStyle_; }
    void SetDirLabelStyle(TabcDirLabelStyle value) noexcept { labelStyle_ = value; }

    int HelpContext() const noexcept { return helpContext_; }
    void SetHelpContext(int value) noexcept { helpContext_ = value; }

    // Recent folders, newest first; owned by the component.
    TStringList& HistoryList() noexcept { return history_; }
    const TStringList& HistoryList() const noexcept { return history_; }
    void SetHistoryList(const TStringList& value) { history_.Assign(value); }

    TabcDirectoryOptions Options() const noexcept { return options_; }
    // Keeps the set consistent: the newest wish wins over the options it
    // contradicts (see Abcfdir.cpp).
    void SetOptions(TabcDirectoryOptions value);

    std::string Title() const { return title_; }
    void SetTitle(const std::string& value) { title_ = value; }

private:
    void UpdateHistory(const std::string& path);

    QWidget* owner_;
    bool ctl3D_ = true;
    TabcDirButtonStyle buttonStyle_ = dbsButton;
    TabcDirDialogStyle dialogStyle_ = ddsBtnBottom;
    std::string directory_;
    TabcDirEditStyle editStyle_ = desLabel;
    TabcDirLabelStyle labelStyle_ = dlsFolder;
    int helpContext_ = 0;
    TStringList history_;
    TabcDirectoryOptions options_ = DefaultDirectoryOptions;
    std::string title_;
};
