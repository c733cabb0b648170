#pragma once
// The program's options. Without any, the program is the window program.
#include <string>
#include <vector>

struct TCommandLine {
    std::string ConfigPath; // empty: chosen by TConfigLocation
    bool Headless = false;
    bool Once = false;
    bool ShowCertificates = false;
    bool SignIn = false;
    std::string SignInLegs; // "in", "out" or "both"
    bool Help = false;
    bool Version = false;
    std::string Error; // set when the arguments could not be understood

    static TCommandLine Parse(const std::vector<std::string>& args);
    static const char* Usage();
    // "mailgate <version>\n", the version the build was made from.
    static const char* VersionText();
};
