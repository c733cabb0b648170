#pragma once
// A scripted fake server for protocol tests, on 127.0.0.1 with a port the
// system picks. Each accepted connection plays the next scenario, on the
// peer's own thread with blocking sockets, so the client under test can wait
// in the Qt event loop on the test thread.
//
//   ScriptedPeer peer;
//   peer.Add({"S: +OK ready",   // send the line, CR LF appended
//             "C: USER bob",    // expect exactly this line from the client
//             "S: +OK",
//             "C: *",           // expect any one line
//             "S: -ERR no"});
//   client.SetPort(peer.Port());
//   ... drive the client ...
//   ASSERT_TRUE(WaitFor([&] { return peer.Finished(); }));
//   EXPECT_EQ(peer.Received(0), "USER bob\r\nPASS x\r\n");
//   EXPECT_EQ(peer.Errors(), "");
//
// Script lines:
//   S: text      sends text and the line end
//   S~ text      sends text alone (a partial reply)
//   C: text      reads one client line, which must be exactly text
//   C: *         reads any one client line
//   C: <data>    reads a message body up to its "." line (SMTP DATA); every
//                line must end in CR LF and hold at most 998 characters.
//                The body, without the "." line, is kept: Messages()
//   C: <data N>  reads only the first N bytes of a body, for a fault that
//                follows in the middle of it
//   CLOSE        closes our side at once; the client sees the end of input
//   RESET        drops the connection with a reset, unread bytes and all
//   HANG         stops answering and only records until the client closes
// When the script has run out the peer records whatever else the client
// sends until the client closes. Faults per scenario: LF-only line ends,
// byte-at-a-time sends, one reply replaced, a close in the middle of one
// reply. Connections beyond the scenarios are accepted and closed at once.
//
// Scenario files (tests/data/<protocol>/*.txt) hold the scripts of one test
// and its expected outcome, a line each:
//   # text                a comment; blank lines are skipped
//   S: / S~ / C: / CLOSE / RESET / HANG
//                         script lines as above, for the current connection
//   ---                   the next connection's script begins
//   @lf-only              faults of the current connection: LF-only line
//   @byte-at-a-time       ends, every byte sent on its own, "S:" line N
//   @replace-reply N text (counted from 0) sent as text instead, "S:" line N
//   @close-in-reply N     cut in half and the connection closed
//   ! key: value          the outcome, read by the protocol's test runner in
//   ! key                 file order: client actions, settings and checks
//                         (the runners list their keys); "! wire: exact" says
//                         the client's bytes on every connection must be the
//                         C: lines with CR LF (a "C: <data>" step standing
//                         for the message that came), and nothing more
// In the text of S:, C:, @replace-reply and ! lines, a backslash before r, n,
// t, 0 or s stands for CR, LF, tab, NUL or a space (for a space at the end of
// a line, which editors take away), and a doubled backslash for one.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/NonCopyable.h"
#include "support/Loopback.h"

struct PeerScenario {
    std::vector<std::string> script;
    bool lfOnly = false;      // end sent lines with LF instead of CR LF
    bool byteAtATime = false; // send every byte on its own
    int replaceReply = -1;    // index (from 0) of the "S:" line to replace ...
    std::string replacement;  // ... by this text
    int closeInReply = -1;    // index of the "S:" line cut in half, then close

    PeerScenario() = default;
    PeerScenario(std::initializer_list<std::string> lines) : script(lines) {}
    PeerScenario(std::vector<std::string> lines) : script(std::move(lines)) {}
};

// A scenario file as read: a scenario per connection, and the "!" lines as
// (key, value) pairs in file order.
struct ScenarioFile {
    std::vector<PeerScenario> connections;
    std::vector<std::pair<std::string, std::string>> outcome;

    // Raises std::runtime_error naming the file and line of a line it does
    // not understand, or when the file cannot be read.
    static ScenarioFile Load(const std::string& path);
    // The *.txt files in `folder`, sorted.
    static std::vector<std::string> In(const std::string& folder);
    // A test name for `path`: its file name without ".txt", other characters
    // than letters and digits made "_".
    static std::string TestName(const std::string& path);
};

class ScriptedPeer : NonCopyable {
public:
    ScriptedPeer();
    ~ScriptedPeer();

    int Port() const noexcept { return listener_.Port(); }
    // Adds the scenario of the next connection (call before it connects).
    void Add(PeerScenario scenario);

    // Connections accepted so far.
    int Connections() const;
    // Every byte the client sent on connection `index` (from 0).
    std::string Received(int index = 0) const;
    // The message bodies read by "C: <data>" steps, in the order they came.
    std::vector<std::string> Messages() const;
    // Received(index) with each message body read by "C: <data>" and its
    // "." line cut to the line "<data>", short enough for a test to print.
    std::string ReceivedInShort(int index) const;
    // What ReceivedInShort(index) should be by the script: every C: line
    // with CR LF. Raises std::logic_error for a script that cannot tell
    // (with "C: *" or "C: <data N>").
    std::string ExpectedInShort(int index) const;
    // Whether every added scenario has ended (its client closed, or the
    // script closed it).
    bool Finished() const;
    // Script mismatches and time-outs, one per line; "" when all went well.
    std::string Errors() const;

    // How long the peer waits for one expected client line.
    static constexpr int LineTimeoutMs = 10000;

private:
    // What the client sent on one connection and the peer has yet to read.
    struct Input {
        int fd;
        int index;
        std::string pending;
    };

    void Run();
    void Play(Input& in, const PeerScenario& scenario);
    bool SendAll(int fd, const std::string& data, bool byteAtATime);
    // One line from the client with its line end; false when it closed or
    // timed out first.
    bool ReadLine(Input& in, std::string& line);
    // A message body for a "C: <data>" step (`limit` < 0) or its first
    // `limit` bytes; false after noting what went wrong.
    bool ReadBody(Input& in, long limit, const std::string& where);
    void Drain(Input& in);
    bool WaitReadable(int fd, int timeoutMs);
    void AddError(const std::string& text);

    LoopbackListener listener_;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<PeerScenario> scenarios_;
    std::vector<std::string> received_;
    // Per connection: where each body and its "." line begin in received_,
    // and how long they are.
    std::vector<std::vector<std::pair<std::size_t, std::size_t>>> bodySpans_;
    std::vector<std::string> messages_;
    int finished_ = 0;
    std::string errors_;
    std::atomic<bool> stopping_{false};
};
