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
// Script lines: "S: text" sends text and the line end; "S~ text" sends text
// alone (a partial reply); "C: text" / "C: *" reads one client line; "CLOSE"
// closes the connection at once; "HANG" stops answering and only records
// until the client closes. When the script has run out the peer records
// whatever else the client sends until the client closes. Faults per
// scenario: LF-only line ends, byte-at-a-time sends, one reply replaced, a
// close in the middle of one reply. Connections beyond the scenarios are
// accepted and closed at once.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

class ScriptedPeer {
public:
    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int Port() const noexcept { return port_; }
    // Adds the scenario of the next connection (call before it connects).
    void Add(PeerScenario scenario);

    // Connections accepted so far.
    int Connections() const;
    // Every byte the client sent on connection `index` (from 0).
    std::string Received(int index = 0) const;
    // Whether every added scenario has ended (its client closed, or the
    // script closed it).
    bool Finished() const;
    // Script mismatches and time-outs, one per line; "" when all went well.
    std::string Errors() const;

    // How long the peer waits for one expected client line.
    static constexpr int LineTimeoutMs = 10000;

private:
    void Run();
    void Play(int fd, int index, const PeerScenario& scenario);
    bool SendAll(int fd, const std::string& data, bool byteAtATime);
    // One line from the client, recorded; false when it closed or timed out.
    bool ReadLine(int fd, int index, std::string& line, int timeoutMs);
    void Drain(int fd, int index);
    bool WaitReadable(int fd, int timeoutMs);
    void AddError(const std::string& text);

    int listen_ = -1;
    int port_ = 0;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<PeerScenario> scenarios_;
    std::vector<std::string> received_;
    int finished_ = 0;
    std::string errors_;
    std::atomic<bool> stopping_{false};
};
