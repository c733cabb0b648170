#pragma once
// TPowersock: a TCP client socket whose operations look blocking to the
// caller while the application's event loop keeps running underneath them.
// Timers, clicks, socket notifications and cancels are all handled inside a
// wait, so any handler may run in the middle of Connect or ReadLn.
//
// The original drove this with Winsock window messages. Here the socket is a
// non-blocking POSIX socket, its notifications come through QSocketNotifier,
// host lookups through QHostInfo, and a wait sleeps in the Qt event loop until
// something happens. errno values are translated to the Winsock numbers so
// the error texts stay the same.
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/ReceiveBuffer.h"
#include "platform/Component.h"
#include "platform/Exception.h"
#include "platform/StringList.h"

MAILGATE_EXCEPTION(ESockError, Exception);
MAILGATE_EXCEPTION(EAbortError, ESockError);
// A value that does not fit where it must go (a reply number above 32767, a
// text to send of 64 KiB or more).
MAILGATE_EXCEPTION(ERangeError, Exception);

class QTimer;
class QSocketNotifier;

// The N-th field (from 1) of S cut at every Separator; adjacent separators
// enclose an empty field; an empty S, N < 1 or a missing field give "".
std::string ExtractField(const std::string& S, char Separator, int N);

// The Winsock number for a POSIX errno value (EWOULDBLOCK and EINPROGRESS are
// 10035). errno values without a Winsock counterpart become 20000 + errno, so
// they still raise and read "Unknown Error No. ...".
int WinsockErrorFromErrno(int err);

// "<number>:<message>" for a number of the error table, "Unknown Error No. "
// + number otherwise, "" for 0.
std::string SocketErrorText(int number);

// A window-message timer in the original; here a QTimer on the same thread.
class TThreadTimer : public TObject {
public:
    TThreadTimer();
    ~TThreadTimer() override;
    TThreadTimer(const TThreadTimer&) = delete;
    TThreadTimer& operator=(const TThreadTimer&) = delete;

    bool Enabled() const noexcept { return enabled_; }
    void SetEnabled(bool value);
    unsigned Interval() const noexcept { return interval_; }
    void SetInterval(unsigned value);
    // OnTimer is a plain member; after assigning it call SetOnTimer or
    // UpdateTimer so that a timer without handler is not left running.
    void SetOnTimer(TNotifyEvent handler);
    TNotifyEvent OnTimer;

    void UpdateTimer();
    virtual void FireTimer();

private:
    bool enabled_ = true;
    unsigned interval_ = 1000;
    bool running_ = false;
    std::unique_ptr<QTimer> timer_;
};

using TSocketErrorEvent =
    std::function<void(TObject* Sender, std::uint16_t ErrorNo, const std::string& Message)>;

class TPowersock : public TObject {
public:
    TPowersock();
    ~TPowersock() override;
    TPowersock(const TPowersock&) = delete;
    TPowersock& operator=(const TPowersock&) = delete;

    // Published properties.
    const std::string& Host() const noexcept { return host_; }
    void SetHost(std::string value) { host_ = std::move(value); }
    int Port() const noexcept { return port_; }
    void SetPort(int value) { port_ = value; }
    int TimeOut() const noexcept { return timeOut_; }
    void SetTimeOut(int value) { timeOut_ = value; }
    int ReportLevel() const noexcept { return reportLevel_; }
    void SetReportLevel(int value) { reportLevel_ = value; }

    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    THandlerEvent OnConnectionRequired;
    TNotifyEvent OnReadReady;
    TNotifyEvent OnAcceptReady;
    TSocketErrorEvent OnSocketError;
    TNotifyEvent OnPacketRecvd;

    // Public state.
    bool Connected() const noexcept { return connected_; }
    bool Canceled() const noexcept { return canceled_; }
    bool TimedOut() const noexcept { return timedOut_; }
    bool Succeeded() const noexcept { return succeeded_; }
    bool WaitDone() const noexcept { return waitDone_; }
    int LastErrorNo() const noexcept { return lastErrorNo_; }
    const std::string& LastStatus() const noexcept { return lastStatus_; }
    const std::string& LastReply() const noexcept { return lastReply_; }
    int ReplyNumber() const noexcept { return replyNumber_; }
    int SocketHandle() const noexcept { return socket_; } // -1: no socket
    const TStringList& WinsockInfo() const noexcept { return winsockInfo_; }
    // The peer's IPv4 address in network byte order (0 when none).
    std::uint32_t RemoteAddress() const noexcept { return remoteAddress_; }
    int BytesTotal() const noexcept { return bytesTotal_; }
    int BytesRecvd() const noexcept { return bytesRecvd_; }
    // Instances holding the socket layer started (WinsockUsers).
    static int SocketUsers() noexcept;

    // Connection.
    virtual void Accept();
    virtual void Connect();
    virtual void Disconnect();
    virtual std::string Transaction(const std::string& Command);
    virtual void Abort();
    void Cancel();
    void CheckConnection();
    void ResolveHost();
    void RequestCloseSocket();
    bool DataAvailable();
    void ReportStatus(int Level, const std::string& Text);
    void CheckSocketError(int Tolerated, std::string& Text);
    void LookupErrorText(int Number, std::string& Text);

    // Transfer.
    void Write(const std::string& Text);
    void Writeln(const std::string& Text);
    void SendBuffer(const char* Buffer, std::uint16_t Length);
    std::string ReadLn();
    // The same into the caller's string, whose room is reused: a reader
    // of many lines saves an allocation per line. Empty at the end.
    void ReadLn(std::string& Line);
    void ClearInput();

    // Longest line ReadLn accepts, terminator included.
    static constexpr std::size_t MaxLineLength = 65536;

protected:
    void TimerOn();
    void TimerOff();
    void TimerTriggered();
    // ReportStatus without building the text when the level filters it out
    // (ReadLn runs once per line).
    void Report(int Level, const char* Text) {
        if (Level <= reportLevel_) {
            ReportStatus(Level, Text);
        }
    }

    int bytesTotal_ = 0;
    int bytesRecvd_ = 0;

private:
    void InitWinsock();
    void MakeSocket(bool withLinger);
    void DropSocketQuietly();
    void WatchSocket();
    void OnSocketReadable();
    void OnSocketWritable();
    void HandleClose();
    long Fill(std::size_t maxBytes, int& err);
    void WaitForEvents();
    void DropLookup();

    std::string host_;
    int port_ = 0;
    int timeOut_ = 0;
    int reportLevel_ = 0;
    bool connected_ = false;
    bool canceled_ = false;
    bool shuttingDown_ = false;
    bool destroying_ = false;
    bool timedOut_ = false;
    bool succeeded_ = true;
    bool waitDone_ = false;
    bool connecting_ = false;
    bool peerClosed_ = false;
    std::uint32_t lookupAddress_ = 0;
    int lookupId_ = -1;
    unsigned lookupGeneration_ = 0;
    int lastErrorNo_ = 0;
    std::string lastStatus_;
    std::string lastReply_;
    int replyNumber_ = 0;
    std::uint32_t remoteAddress_ = 0;
    int socket_ = -1;
    TStringList winsockInfo_;
    TThreadTimer timer_;
    std::unique_ptr<QObject> context_;
    std::unique_ptr<QSocketNotifier> readNotifier_;
    std::unique_ptr<QSocketNotifier> writeNotifier_;
    // Expires with the component, so that calls it posted to the event loop
    // can tell whether it still exists.
    std::shared_ptr<int> lifeToken_ = std::make_shared<int>(0);
    // Received bytes not yet returned by ReadLn.
    TReceiveBuffer input_;
    std::size_t scanned_ = 0; // unread bytes known to hold no LF
};
