#include <gtest/gtest.h>
#include <string>

#include "excreport/ExcUnmangle.h"

namespace {

struct UnmangleCase {
    const char* label;
    std::string name;
    bool dot;
    bool args;
    std::string expected;
    uint32_t result; // kind and flags
};

class UnmangleTable : public ::testing::TestWithParam<UnmangleCase> {};

TEST_P(UnmangleTable, Decodes) {
    const UnmangleCase& c = GetParam();
    char buffer[2049];
    uint32_t result =
        Unmangle(c.name.c_str(), buffer, sizeof buffer, c.args, nullptr, nullptr, c.dot);
    EXPECT_EQ(buffer, c.expected);
    EXPECT_EQ(result, c.result) << std::hex << result;
}

const std::string tooLong = "@" + std::string(300, 'a');

INSTANTIATE_TEST_SUITE_P(
    Names, UnmangleTable,
    ::testing::Values(
        UnmangleCase{"NotEncoded", "plain_c_name", false, false, "plain_c_name", umNotMangled},
        UnmangleCase{"Qualified", "@Forms@TApplication@HandleException$qqrp14System@TObject", false,
                     false, "Forms::TApplication::HandleException", 0},
        UnmangleCase{"QualifiedDot", "@Forms@TApplication@HandleException$qqrp14System@TObject",
                     true, false, "Forms.TApplication.HandleException", 0},
        UnmangleCase{"WithArguments", "@Forms@TApplication@HandleException$qqrp14System@TObject",
                     false, true, "Forms::TApplication::HandleException(System::TObject *)", 0},
        UnmangleCase{"ArgumentTypes", "@Calc@Sum$qqrpxcrui", false, true,
                     "Calc::Sum(const char *, unsigned int &)", 0},
        UnmangleCase{"Constructor", "@Classes@TList@$bctr$qqrv", false, false,
                     "Classes::TList::TList", umKindConstructor},
        UnmangleCase{"Destructor", "@Classes@TList@$bdtr$qqrv", false, false,
                     "Classes::TList::~TList", umKindDestructor},
        UnmangleCase{"Operator", "@Money@TMoney@$badd$qqrxrx6TMoney", false, false,
                     "Money::TMoney::operator +", umKindOperator},
        UnmangleCase{"OperatorArrayDelete", "@TPool@$bdla$qqrpv", false, false,
                     "TPool::operator delete[]", umKindOperator},
        UnmangleCase{"OperatorNotInTable", "@TFoo@$bzzz$qqrv", false, false, "TFoo::operator ...",
                     umKindOperator},
        UnmangleCase{"Conversion", "@TFoo@$oo$qqrv", false, false, "TFoo::operator bool",
                     umKindConversion},
        UnmangleCase{"TemplateQualifier", "@%TVector$ti%@Add$qqri", false, false,
                     "TVector<int>::Add", 0},
        UnmangleCase{"TemplateLastPart", "@Ns@%TPair$ti$tpc%", false, false,
                     "Ns::TPair<int, char *>", umTemplate},
        UnmangleCase{"NestedTemplate", "@%TOuter$t11%TInner$ti%%@Get$qqrv", false, false,
                     "TOuter<TInner<int> >::Get", 0},
        UnmangleCase{"TemplateValues", "@%TArr$vi5$vo1%@Size$qqrv", false, false,
                     "TArr<int 5, true>::Size", 0},
        UnmangleCase{"DelphiTemplateBounds", "@%Set$tc$0$255%@Clear$qqrv", false, false,
                     "Set<char, 0, 255>::Clear", 0},
        UnmangleCase{"GeneralTemplateRejectsBareNumber", "@%TFoo$5%@Bar", false, false, "TFoo<...",
                     umTemplate},
        UnmangleCase{"ConstPointer", "@Calc@Set$qqrxpc", false, true, "Calc::Set(char * const)", 0},
        UnmangleCase{"ModifierRtti", "@TFoo@3Bar$qqrv", false, false, "TFoo::Bar (rtti)", 0},
        UnmangleCase{"ModifiersHugeFastthis", "@TFoo@2Bar$qqrv", false, false,
                     "TFoo::Bar (huge, fastthis)", 0},
        UnmangleCase{"Thunk", "@TFoo@$vc1$2$3", false, false, "TFoo::__thunk__ [1,2,3]",
                     umKindThunk},
        UnmangleCase{"VirtualThunk", "@TFoo@$vs", false, false, "TFoo::__vdthk__",
                     umKindVirtualThunk},
        UnmangleCase{"TypeDescriptor", "@$xp$14System@TObject", false, false,
                     "__tpdsc__ System::TObject", umKindTypeDescriptor},
        UnmangleCase{"TypeDescriptorBadLetter", "@$xq$4TFoo", false, false, "...", 0},
        UnmangleCase{"Linkproc", "@@Forms@Initialization$qqrv", false, false,
                     "__linkproc__ Forms::Initialization", umLinkproc},
        UnmangleCase{"ExceptionTable", "@_$ECfoo@bar", false, false, "__ectbl__ foo::bar",
                     umExceptionTable},
        UnmangleCase{"UnknownSpecial", "@TFoo@$zz$qqrv", false, false, "TFoo::...", 0},
        UnmangleCase{"UnknownType", "@Calc@Sum$qqrkv", false, true, "Calc::Sum(...", 0},
        UnmangleCase{"OverLongInput", tooLong, false, false, std::string(249, 'a') + "...",
                     umInputTooLong},
        UnmangleCase{"ItaniumNameOnly", "_ZN2ns3Cls3RunEi", false, false, "ns::Cls::Run", 0},
        UnmangleCase{"ItaniumWithArguments", "_ZNK2ns3Cls3RunEi", false, true,
                     "ns::Cls::Run(int) const", 0}),
    [](const ::testing::TestParamInfo<UnmangleCase>& info) { return info.param.label; });

TEST(Unmangle, FullBufferKeepsWhatFittedAndMarksTheCut) {
    char buffer[10];
    uint32_t result = Unmangle("@Forms@TApplication@Run$qqrv", buffer, sizeof buffer, false);
    EXPECT_STREQ(buffer, "Forms:...");
    EXPECT_NE(result & umOutputFull, 0u);
}

TEST(Unmangle, MissingNameOrBuffer) {
    char buffer[8];
    EXPECT_EQ(Unmangle(nullptr, buffer, sizeof buffer, false), umNotMangled);
    EXPECT_EQ(Unmangle("@A@B", nullptr, 0, false), umNoBuffer);
}

TEST(Unmangle, QualifierAndBaseName) {
    char buffer[64];
    std::string qualifier;
    std::string base;
    Unmangle("@Forms@TApplication@Run$qqrv", buffer, sizeof buffer, false, &qualifier, &base);
    EXPECT_EQ(qualifier, "Forms::TApplication");
    EXPECT_EQ(base, "Run");
}

TEST(Unmangle, StripArgumentListKeepsOperatorsAndLambdas) {
    EXPECT_EQ(StripArgumentList("ns::Cls::operator()(int) const"), "ns::Cls::operator()");
    EXPECT_EQ(StripArgumentList("f(std::function<void (int)>)"), "f");
    EXPECT_EQ(StripArgumentList("main"), "main");
}

} // namespace
