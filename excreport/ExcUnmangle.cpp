#include "excreport/ExcUnmangle.h"

#include <cstdlib>
#include <cstring>
#include <cxxabi.h>

namespace {

struct OperatorCode {
    const char* code;
    const char* text;
};

// Longer codes first where one code is the prefix of another ("rand"/"and",
// "subs"/"sub", "dele"/"dla" are distinct but "rsh"/"rrsh" are not).
constexpr OperatorCode operatorCodes[] = {
    {"add", "+"},       {"adr", "&"},     {"and", "&"},        {"asg", "="},    {"land", "&&"},
    {"lor", "||"},      {"call", "()"},   {"cmp", "~"},        {"fnc", "()"},   {"dec", "--"},
    {"dele", "delete"}, {"div", "/"},     {"eql", "=="},       {"geq", ">="},   {"gtr", ">"},
    {"inc", "++"},      {"ind", "*"},     {"leq", "<="},       {"lsh", "<<"},   {"lss", "<"},
    {"mod", "%"},       {"mul", "*"},     {"neq", "!="},       {"new", "new"},  {"not", "!"},
    {"or", "|"},        {"rand", "&="},   {"rdiv", "/="},      {"rlsh", "<<="}, {"rmin", "-="},
    {"rmod", "%="},     {"rmul", "*="},   {"ror", "|="},       {"rplu", "+="},  {"rrsh", ">>="},
    {"rsh", ">>"},      {"rxor", "^="},   {"subs", "[]"},      {"sub", "-"},    {"xor", "^"},
    {"arow", "->"},     {"nwa", "new[]"}, {"dla", "delete[]"},
};
static_assert(sizeof(operatorCodes) / sizeof(operatorCodes[0]) == 43);

// One decoding run. Every step checks `stopped` and returns at once after a
// failure; nothing is thrown (the reporter decodes while an exception is on
// its way).
class Decoder {
public:
    Decoder(const char* input, size_t outLimit, bool decodeArgs, bool dot)
        : in_(input), outLimit_(outLimit), decodeArgs_(decodeArgs), separator_(dot ? "." : "::") {}

    uint32_t Run() {
        Next(); // the leading at sign
        DecodeQualifiedName(nullptr);
        if (!stopped_ && Peek() == '$') {
            Next();
            if (decodeArgs_) {
                DecodeFunctionArgs(true);
            } else if (!modifiers_.empty()) {
                Put(" (");
                Put(modifiers_);
                Put(")");
            }
        }
        if (stopped_ && *in_ != '\0') {
            AppendEllipsis();
        }
        return result_;
    }

    const std::string& Output() const { return out_; }
    const std::string& Qualifier() const { return qualifier_; }
    const std::string& BaseName() const { return baseName_; }

private:
    // --- input -----------------------------------------------------------
    char Peek() const { return *in_; }
    char PeekAt(int n) const {
        for (int i = 0; i < n; ++i) {
            if (in_[i] == '\0') {
                return '\0';
            }
        }
        return in_[n];
    }
    char Next() {
        if (*in_ == '\0') {
            return '\0';
        }
        if (++consumed_ > umMaxInput) {
            Fail(umInputTooLong);
            return '\0';
        }
        return *in_++;
    }
    bool Accept(const char* text) {
        size_t n = std::strlen(text);
        if (std::strncmp(in_, text, n) != 0) {
            return false;
        }
        for (size_t i = 0; i < n && !stopped_; ++i) {
            Next();
        }
        return !stopped_;
    }

    // --- output ----------------------------------------------------------
    void Put(const std::string& s) { Put(s.c_str()); }
    void Put(const char* s) {
        for (; *s != '\0' && !stopped_; ++s) {
            PutChar(*s);
        }
    }
    void PutChar(char c) {
        if (stopped_) {
            return;
        }
        if (out_.size() >= outLimit_) {
            Fail(umOutputFull);
            return;
        }
        // Two closing or opening brackets in a row would read as a shift.
        if ((c == '<' || c == '>') && !out_.empty() && out_.back() == c) {
            if (out_.size() + 1 >= outLimit_) {
                Fail(umOutputFull);
                return;
            }
            out_ += ' ';
        }
        out_ += c;
    }
    void Fail(uint32_t flag = 0) {
        result_ |= flag;
        stopped_ = true;
    }
    void AppendEllipsis() {
        if (out_.size() + 3 <= outLimit_) {
            out_ += "...";
        } else {
            size_t n = out_.size() < 3 ? out_.size() : 3;
            for (size_t i = out_.size() - n; i < out_.size(); ++i) {
                out_[i] = '.';
            }
        }
    }

    // --- names -----------------------------------------------------------
    // Decodes parts separated by '@' up to '$' (an argument list) or the
    // end. `limit`, when set, stops at that input position (a class name
    // of known length inside a type).
    void DecodeQualifiedName(const char* limit) {
        bool first = true;
        while (!stopped_ && Peek() != '\0' && (limit == nullptr || in_ < limit)) {
            if (!first) {
                if (Peek() != '@') {
                    break;
                }
                Next();
                if (Peek() == '\0' || (limit != nullptr && in_ >= limit)) {
                    break;
                }
                Put(separator_);
            }
            DecodePart(limit, first);
            first = false;
            if (Peek() == '$') {
                break;
            }
        }
    }

    void DecodePart(const char* limit, bool first) {
        size_t partStart = out_.size();
        if (limit == nullptr) {
            result_ &= ~umTemplate;
        }
        char c = Peek();
        if (c >= '0' && c <= '9' && limit == nullptr) {
            AddModifiers(c - '0' + 1);
            Next();
            c = Peek();
        }
        if (c == '$') {
            Next();
            DecodeSpecial();
        } else if (c == '%') {
            DecodeTemplate();
            if (limit == nullptr) {
                result_ |= umTemplate;
            }
        } else if (c == '@' && first) {
            Next();
            if (Peek() == '$') {
                result_ |= umVdflg;
                Put("__vdflg__ ");
            } else {
                result_ |= umLinkproc;
                Put("__linkproc__ ");
            }
            DecodeQualifiedName(limit);
            return;
        } else if (c == '_' && PeekAt(1) == '$') {
            DecodeTableName();
        } else {
            CopyIdentifier(limit);
        }
        if (!stopped_) {
            qualifier_ = out_.substr(0, partStart);
            if (qualifier_.size() >= separator_.size() &&
                qualifier_.compare(qualifier_.size() - separator_.size(), separator_.size(),
                                   separator_) == 0) {
                qualifier_.erase(qualifier_.size() - separator_.size());
            }
            baseName_ = out_.substr(partStart);
            previousPart_ = baseName_;
        }
    }

    void CopyIdentifier(const char* limit) {
        while (!stopped_ && Peek() != '\0' && Peek() != '@' && Peek() != '$' &&
               (limit == nullptr || in_ < limit)) {
            PutChar(Next());
        }
    }

    void AddModifiers(int m) {
        static const char* names[] = {"huge", "fastthis", "rtti"};
        for (int bit = 0; bit < 3; ++bit) {
            if ((m & (1 << bit)) != 0) {
                if (!modifiers_.empty()) {
                    modifiers_ += ", ";
                }
                modifiers_ += names[bit];
            }
        }
    }

    uint32_t kind() const { return result_ & 0xFF; }
    void SetKind(uint32_t k) { result_ = (result_ & ~0xFFu) | k; }

    void DecodeSpecial() {
        char c = Next();
        if (c == 'b') {
            if (Accept("ctr")) {
                SetKind(umKindConstructor);
                Put(previousPart_);
            } else if (Accept("dtr")) {
                SetKind(umKindDestructor);
                Put("~");
                Put(previousPart_);
            } else {
                SetKind(umKindOperator);
                Put("operator ");
                for (const OperatorCode& op : operatorCodes) {
                    size_t n = std::strlen(op.code);
                    // The code must end where the part ends.
                    if (std::strncmp(in_, op.code, n) == 0 &&
                        (in_[n] == '\0' || in_[n] == '$' || in_[n] == '@')) {
                        Accept(op.code);
                        Put(op.text);
                        return;
                    }
                }
                Fail();
            }
        } else if (c == 'o') {
            SetKind(umKindConversion);
            Put("operator ");
            DecodeType();
        } else if (c == 'v') {
            char v = Next();
            if (v == 's') {
                SetKind(umKindVirtualThunk);
                Put("__vdthk__");
            } else if (v == 'c') {
                SetKind(umKindThunk);
                Put("__thunk__ [");
                for (int i = 0; i < 3 && !stopped_; ++i) {
                    if (i > 0) {
                        Put(",");
                    }
                    if (Peek() == '$') {
                        Next();
                    }
                    if (!(Peek() >= '0' && Peek() <= '9')) {
                        Fail();
                        return;
                    }
                    while (!stopped_ && Peek() >= '0' && Peek() <= '9') {
                        PutChar(Next());
                    }
                }
                Put("]");
            } else {
                Fail(); // Unknown special name
            }
        } else if (c == 'x') {
            char x = Next();
            if (x == 'p' || x == 't') {
                SetKind(umKindTypeDescriptor);
                Put("__tpdsc__ ");
                if (Peek() == '$') {
                    Next();
                }
                DecodeType();
            } else {
                Fail(); // What happened?
            }
        } else {
            Fail(); // Unknown special name
        }
    }

    void DecodeTableName() {
        Next(); // '_'
        Next(); // '$'
        static const struct {
            const char* code;
            const char* name;
            uint32_t flag;
        } tables[] = {{"FL", "frndl", umFriendList},
                      {"CH", "chtbl", umCatchTable},
                      {"DC", "odtbl", umDestructorTable},
                      {"EC", "ectbl", umExceptionTable},
                      {"TL", "thrwl", umThrowList}};
        for (const auto& t : tables) {
            if (std::strncmp(in_, t.code, 2) == 0) {
                result_ |= t.flag;
                Put("__");
                Put(t.name);
                Put("__ ");
                while (!stopped_ && Peek() >= 'A' && Peek() <= 'Z') {
                    Next();
                }
                DecodeQualifiedName(nullptr);
                return;
            }
        }
        Fail();
    }

    // "%Name$args%": the name, "<", the arguments, ">".
    void DecodeTemplate() {
        Next(); // '%'
        const char* nameStart = in_;
        while (!stopped_ && Peek() != '\0' && Peek() != '$' && Peek() != '%') {
            PutChar(Next());
        }
        std::string name(nameStart, static_cast<size_t>(in_ - nameStart));
        bool delphiStyle = name == "Set" || name == "DynamicArray" || name == "SmallString" ||
                           name == "DelphiInterface";
        PutChar('<');
        bool firstArg = true;
        while (!stopped_ && Peek() == '$') {
            Next();
            if (!firstArg) {
                Put(", ");
            }
            firstArg = false;
            DecodeTemplateArg(delphiStyle);
        }
        if (stopped_) {
            return;
        }
        if (Peek() != '%') {
            Fail();
            return;
        }
        Next();
        PutChar('>');
    }

    // 't' type: a type argument; 'v' type value: a value argument (a bool
    // value reads false/true); Delphi-compatible templates (Set, DynamicArray,
    // SmallString, DelphiInterface) also take a bare number, their bounds.
    void DecodeTemplateArg(bool delphiStyle) {
        char c = Peek();
        if (c == 't') {
            Next();
            DecodeType();
        } else if (c == 'v') {
            Next();
            bool isBool = Peek() == 'o';
            if (isBool) {
                Next();
            } else {
                DecodeType();
                Put(" ");
            }
            std::string value;
            while (!stopped_ && Peek() != '\0' && Peek() != '$' && Peek() != '%') {
                value += Next();
            }
            if (isBool) {
                Put(value == "0" ? "false" : "true");
            } else {
                Put(value);
            }
        } else if (delphiStyle && ((c >= '0' && c <= '9') || c == '-')) {
            while (!stopped_ && (Peek() == '-' || (Peek() >= '0' && Peek() <= '9'))) {
                PutChar(Next());
            }
        } else {
            Fail(); // Unknown template arg kind
        }
    }

    // --- types -----------------------------------------------------------
    void DecodeType() { Put(TypeText()); }

    // The readable text of the type at the cursor (empty after a failure).
    std::string TypeText() {
        std::string prefix;
        bool isConst = false;
        bool isVolatile = false;
        for (;;) {
            char c = Peek();
            if (c == 'u') {
                prefix += "unsigned ";
            } else if (c == 'z') {
                prefix += "signed ";
            } else if (c == 'x') {
                isConst = true;
            } else if (c == 'w') {
                isVolatile = true;
            } else {
                break;
            }
            Next();
        }
        std::string cv = std::string(isConst ? "const " : "") + (isVolatile ? "volatile " : "");
        char c = Next();
        if (stopped_) {
            return {};
        }
        static const struct {
            char letter;
            const char* name;
        } basic[] = {{'b', "wchar_t"},  {'c', "char"},        {'d', "double"}, {'e', "..."},
                     {'f', "float"},    {'g', "long double"}, {'i', "int"},    {'j', "__int64"},
                     {'l', "long"},     {'o', "bool"},        {'s', "short"},  {'v', "void"},
                     {'y', "__closure"}};
        for (const auto& b : basic) {
            if (b.letter == c) {
                return cv + prefix + b.name;
            }
        }
        std::string pointerCv =
            std::string(isConst ? " const" : "") + (isVolatile ? " volatile" : "");
        switch (c) {
        case 'p':
            return TypeText() + " *" + pointerCv;
        case 'r':
            return TypeText() + " &" + pointerCv;
        case 'M': {
            std::string cls = TypeText();
            std::string member = TypeText();
            return member + " " + cls + separator_ + "*";
        }
        case 'a': {
            std::string dims;
            for (;;) {
                std::string size;
                while (!stopped_ && Peek() >= '0' && Peek() <= '9') {
                    size += Next();
                }
                if (Peek() != '$') {
                    Fail();
                    return {};
                }
                Next();
                dims += "[" + size + "]";
                if (Peek() != 'a') {
                    break;
                }
                Next();
            }
            return TypeText() + dims;
        }
        case 'q': {
            std::string conv = CallingConvention();
            std::string args = FunctionArgsText();
            std::string ret;
            if (Peek() == '$') {
                Next();
                ret = TypeText() + " ";
            }
            return ret + "(" + conv + "*)" + args;
        }
        default:
            break;
        }
        if (c >= '1' && c <= '9') {
            size_t n = static_cast<size_t>(c - '0');
            while (Peek() >= '0' && Peek() <= '9') {
                n = n * 10 + static_cast<size_t>(Next() - '0');
                if (n > umMaxInput) {
                    Fail();
                    return {};
                }
            }
            if (std::strlen(in_) < n) {
                Fail();
                return {};
            }
            // The class name is decoded into a scratch output so that its
            // separators and templates come out as in a name.
            std::string saved = std::move(out_);
            out_.clear();
            uint32_t savedResult = result_;
            std::string savedPrev = previousPart_;
            DecodeQualifiedName(in_ + n);
            std::string cls = std::move(out_);
            out_ = std::move(saved);
            result_ = (result_ & (umOutputFull | umInputTooLong)) | savedResult;
            previousPart_ = savedPrev;
            return cv + prefix + cls;
        }
        Fail(); // Unknown type
        return {};
    }

    std::string CallingConvention() {
        if (Peek() != 'q') {
            return {};
        }
        static const struct {
            char letter;
            const char* text;
        } conventions[] = {{'c', "__cdecl "},     {'f', "__fortran "}, {'g', "__saveregs "},
                           {'i', "__interrupt "}, {'p', "__pascal "},  {'r', "__fastcall "},
                           {'s', "__stdcall "},   {'y', "__syscall "}};
        char letter = PeekAt(1);
        for (const auto& cc : conventions) {
            if (cc.letter == letter) {
                Next();
                Next();
                return cc.text;
            }
        }
        return {};
    }

    // "(" types ")" up to '$' or the end.
    std::string FunctionArgsText() {
        std::string args = "(";
        bool first = true;
        while (!stopped_ && Peek() != '\0' && Peek() != '$') {
            if (!first) {
                args += ", ";
            }
            first = false;
            args += TypeText();
        }
        return args + ")";
    }

    void DecodeFunctionArgs(bool topLevel) {
        if (Peek() == 'q') {
            Next();
            std::string conv = CallingConvention();
            (void)conv;
        }
        std::string args = FunctionArgsText();
        // After a failure the types decoded so far are kept, without the
        // closing parenthesis.
        bool failed = stopped_;
        stopped_ = false;
        if (failed) {
            args.pop_back();
        }
        if (!failed || topLevel) {
            Put(args);
        }
        stopped_ = stopped_ || failed;
    }

    const char* in_;
    int consumed_ = 0;
    std::string out_;
    size_t outLimit_;
    bool decodeArgs_;
    std::string separator_;
    std::string modifiers_;
    std::string qualifier_;
    std::string baseName_;
    std::string previousPart_;
    bool stopped_ = false;
    uint32_t result_ = 0;
};

void CopyOut(const std::string& text, char* buffer, size_t bufferSize) {
    size_t n = text.size() < bufferSize - 1 ? text.size() : bufferSize - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

} // namespace

std::string StripArgumentList(const std::string& readable) {
    std::string s = readable;
    // Trailing qualifiers of a member function.
    static const char* suffixes[] = {" const", " volatile", " &&", " &", " noexcept"};
    for (bool changed = true; changed;) {
        changed = false;
        for (const char* suffix : suffixes) {
            size_t n = std::strlen(suffix);
            if (s.size() > n && s.compare(s.size() - n, n, suffix) == 0) {
                s.erase(s.size() - n);
                changed = true;
            }
        }
    }
    if (s.empty() || s.back() != ')') {
        return readable;
    }
    int depth = 0;
    for (size_t i = s.size(); i-- > 0;) {
        if (s[i] == ')') {
            ++depth;
        } else if (s[i] == '(') {
            if (--depth == 0) {
                return i == 0 ? readable : s.substr(0, i);
            }
        }
    }
    return readable;
}

uint32_t Unmangle(const char* name, char* buffer, size_t bufferSize, bool decodeArgs,
                  std::string* qualifier, std::string* baseName, bool dotSeparator) noexcept {
    if (name == nullptr) {
        return umNotMangled;
    }
    if (buffer == nullptr || bufferSize == 0) {
        return umNoBuffer;
    }
    try {
        if (name[0] == '_' && name[1] == 'Z') {
            int status = 0;
            char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
            if (status == 0 && readable != nullptr) {
                std::string text = decodeArgs ? std::string(readable) : StripArgumentList(readable);
                std::free(readable);
                CopyOut(text, buffer, bufferSize);
                if (baseName != nullptr) {
                    *baseName = text;
                }
                return text.size() < bufferSize ? 0 : umOutputFull;
            }
            std::free(readable);
        }
        if (name[0] != '@') {
            CopyOut(name, buffer, bufferSize);
            return umNotMangled;
        }
        Decoder decoder(name, bufferSize - 1, decodeArgs, dotSeparator);
        uint32_t result = decoder.Run();
        CopyOut(decoder.Output(), buffer, bufferSize);
        if (qualifier != nullptr) {
            *qualifier = decoder.Qualifier();
        }
        if (baseName != nullptr) {
            *baseName = decoder.BaseName();
        }
        return result;
    } catch (...) {
        // Only an allocation can fail here; the name stays undecoded.
        buffer[0] = '\0';
        return umOutputFull;
    }
}

std::string UnmangleName(const std::string& name, bool dotSeparator) {
    char buffer[2049];
    Unmangle(name.c_str(), buffer, sizeof buffer, false, nullptr, nullptr, dotSeparator);
    return buffer;
}
