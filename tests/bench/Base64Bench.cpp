// Decodes 100 MB of 76-character base64 lines (CR LF ended, as a part file
// holds them) through TNMUUProcessor and through coreutils `base64 -d` on the
// same file, and prints both rates and their ratio.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/FileStream.h"
#include "pop3/NMUUE.h"

namespace {

constexpr size_t kEncodedBytes = 100u * 1000u * 1000u;

std::string MakeInput() {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string data;
    data.reserve(kEncodedBytes + 100);
    uint32_t x = 12345;
    while (data.size() < kEncodedBytes) {
        for (int i = 0; i < 76; ++i) {
            x = x * 1103515245u + 12345u;
            data += kAlphabet[(x >> 16) & 63];
        }
        data += "\r\n";
    }
    return data;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

int main() {
    const auto folder = std::filesystem::temp_directory_path() / "mailgate-bench-base64";
    std::filesystem::create_directories(folder);
    const std::string in = (folder / "in.b64").string();
    const std::string out = (folder / "out.bin").string();
    {
        TFileStream file(in, TFileStream::fmCreate);
        file.WriteString(MakeInput());
    }
    const double mb = static_cast<double>(std::filesystem::file_size(in)) / 1e6;

    // Warm the page cache for both contenders alike.
    std::system(("cat '" + in + "' > /dev/null").c_str());

    auto start = std::chrono::steady_clock::now();
    {
        TFileStream input(in, TFileStream::fmOpenRead);
        TFileStream output(out, TFileStream::fmCreate);
        TNMUUProcessor processor;
        processor.InputStream = &input;
        processor.OutputStream = &output;
        processor.Decode();
    }
    const double ours = Seconds(start);
    const auto decodedBytes = std::filesystem::file_size(out);

    start = std::chrono::steady_clock::now();
    const std::string command = "base64 -d -i '" + in + "' > '" + out + ".ref'";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "base64 -d failed\n");
        return 1;
    }
    const double theirs = Seconds(start);
    const bool same = decodedBytes == std::filesystem::file_size(out + ".ref") &&
                      ReadWholeFile(out) == ReadWholeFile(out + ".ref");

    std::printf("input            %.1f MB of base64 lines\n", mb);
    std::printf("TNMUUProcessor   %.3f s  %.0f MB/s\n", ours, mb / ours);
    std::printf("base64 -d        %.3f s  %.0f MB/s\n", theirs, mb / theirs);
    std::printf("ratio            %.2fx (goal: at least 2x)\n", theirs / ours);
    std::printf("outputs equal    %s\n", same ? "yes" : "NO");
    std::filesystem::remove_all(folder);
    return same ? 0 : 1;
}
