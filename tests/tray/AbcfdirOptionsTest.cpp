// The folder chooser's published properties: defaults, option bits and the
// rules that keep the option set consistent.
#include <gtest/gtest.h>

#include "tray/Abcfdir.h"

namespace {

TabcDirectoryOptions Set(std::initializer_list<TabcDirectoryOption> o) {
    return TabcDirectoryOptions(o);
}

TEST(AbcfdirProperties, DefaultsAreThoseTheProgramRunsWith) {
    TabcDirectoryDialog d;
    EXPECT_TRUE(d.Ctl3D());
    EXPECT_EQ(d.DirButtonStyle(), dbsButton);
    EXPECT_EQ(d.DirDialogStyle(), ddsBtnBottom);
    EXPECT_EQ(d.Directory(), "");
    EXPECT_EQ(d.DirEditStyle(), desLabel);
    EXPECT_EQ(d.DirLabelStyle(), dlsFolder);
    EXPECT_EQ(d.HelpContext(), 0);
    EXPECT_EQ(d.HistoryList().Count(), 0);
    EXPECT_EQ(d.Options().Bits(), 1152);
    EXPECT_EQ(d.Options(), Set({adrPathMustExist, adrUpdateHistory}));
    EXPECT_EQ(d.Title(), "");
}

TEST(AbcfdirProperties, OptionBitIsOneShiftedByOrdinal) {
    const std::pair<TabcDirectoryOption, int> bits[] = {
        {adrCreate, 1},        {adrCreatePrompt, 2},    {adrExistPrompt, 4},
        {adrNoChangeDrive, 8}, {adrHideDrive, 16},      {adrHideNetConnect, 32},
        {adrNoValidate, 64},   {adrPathMustExist, 128}, {adrPathNotExist, 256},
        {adrShowHelp, 512},    {adrUpdateHistory, 1024}};
    for (auto [option, bit] : bits) {
        EXPECT_EQ(Set({option}).Bits(), bit) << option;
    }
    EXPECT_EQ(TabcDirectoryOptions::FromBits(0xFFFF).Bits(), 0x07FF);
}

TEST(AbcfdirOptions, CreateOnTheDefaultSetDropsPathMustExist) {
    TabcDirectoryDialog d;
    d.SetOptions(Set({adrCreate, adrPathMustExist}));
    EXPECT_EQ(d.Options(), Set({adrCreate}));
}

TEST(AbcfdirOptions, NewlyAddedPathMustExistDropsCreateAndPathNotExist) {
    TabcDirectoryDialog d;
    d.SetOptions(Set({adrCreate, adrCreatePrompt}));
    d.SetOptions(Set({adrCreate, adrCreatePrompt, adrPathNotExist, adrPathMustExist}));
    EXPECT_EQ(d.Options(), Set({adrPathMustExist}));
}

TEST(AbcfdirOptions, EachOfCreatePromptAndPathNotExistDropsPathMustExist) {
    for (TabcDirectoryOption o : {adrCreate, adrCreatePrompt, adrPathNotExist}) {
        TabcDirectoryDialog d;
        TabcDirectoryOptions wanted = d.Options();
        wanted.Include(o);
        d.SetOptions(wanted);
        EXPECT_FALSE(d.Options().Contains(adrPathMustExist)) << o;
        EXPECT_TRUE(d.Options().Contains(o)) << o;
    }
}

TEST(AbcfdirOptions, PathNotExistDropsExistPromptAndLeavesTheLabelStyle) {
    TabcDirectoryDialog d;
    d.SetOptions(Set({adrExistPrompt}));
    d.SetOptions(Set({adrExistPrompt, adrPathNotExist}));
    EXPECT_EQ(d.Options(), Set({adrPathNotExist}));
    EXPECT_EQ(d.DirEditStyle(), desEdit);

    TabcDirectoryDialog combo;
    combo.SetDirEditStyle(desCombo);
    combo.SetOptions(Set({adrPathNotExist}));
    EXPECT_EQ(combo.DirEditStyle(), desCombo);
}

TEST(AbcfdirOptions, NewlyAddedExistPromptWinsOverPathNotExist) {
    TabcDirectoryDialog d;
    d.SetOptions(Set({adrPathNotExist}));
    d.SetOptions(Set({adrPathNotExist, adrExistPrompt}));
    EXPECT_EQ(d.Options(), Set({adrExistPrompt}));
}

TEST(AbcfdirOptions, HideDriveAlsoHidesTheNetworkButton) {
    TabcDirectoryDialog d;
    d.SetOptions(Set({adrHideDrive}));
    EXPECT_EQ(d.Options(), Set({adrHideDrive, adrHideNetConnect}));
}

TEST(AbcfdirOptions, LabelStyleBringsPathMustExistBack) {
    TabcDirectoryDialog d;
    d.SetDirEditStyle(desEdit);
    d.SetOptions(Set({adrCreate, adrUpdateHistory}));
    d.SetDirEditStyle(desLabel);
    EXPECT_EQ(d.DirEditStyle(), desLabel);
    EXPECT_EQ(d.Options(), Set({adrPathMustExist, adrUpdateHistory}));
}

} // namespace
