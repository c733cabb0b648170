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
//
// Errors: an operation that fails raises ESockError (with a reason) or one of
// its kinds below; handlers it calls itself pass their failures through to its
// caller. Handlers called from a socket notification (OnConnect, OnReadReady,
// and OnDisconnect when the peer closes), from the time-out timer or from a
// status report cannot hand a failure to anyone who asked: it goes to
// ReportCallbackFailure (platform/GuardedApplication.h), and the socket and the
// operation in progress go on as if the handler had returned.
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/ReceiveBuffer.h"
#include "net/ThreadTimer.h"
#include "net/TlsSession.h"
#include "platform/Component.h"
#include "platform/Exception.h"
#include "platform/NonCopyable.h"
#include "platform/StringList.h"

// Why a socket operation failed. A caller that must tell failures apart
// looks at this, never at the text.
enum class TSockErrorReason {
    Unspecified,
    SocketError, // a system error: "<number>:<message>", the number in LastErrorNo
    StartUpFailed,
    AlreadyConnected,
    LookupTimedOut,
    LookupCanceled,
    LookupFailed,
    NullRemoteAddress,
    ConnectTimedOut,
    ConnectCanceled,
    ConnectFailed,
    AcceptCanceled,
    AcceptFailed,
    LineTooLong,
    Canceled, // EAbortError: a cancel ended the operation
    TimedOut, // EAbortError: the server was silent for TimeOut ms
};

class ESockError : public Exception {
public:
    explicit ESockError(std::string message,
                        TSockErrorReason reason = TSockErrorReason::Unspecified)
        : Exception(std::move(message)), reason_(reason) {}
    TSockErrorReason Reason() const noexcept { return reason_; }
    const char* ClassName() const noexcept override { return "ESockError"; }

private:
    TSockErrorReason reason_;
};
// A send or line read ended by a cancel or the time-out (reason Canceled or
// TimedOut).
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

using TSocketErrorEvent =
    std::function<void(TObject* Sender, std::uint16_t ErrorNo, const std::string& Message)>;

class TPowersock : public TObject, NonCopyable {
public:
    TPowersock();
    ~TPowersock() override;

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

    // Connection. Every wait on the server (host lookup, connect, reads,
    // sends on a full buffer) is bounded by TimeOut: for reads and sends it
    // counts from the last byte that moved, so only silence ends it. A
    // Cancel or Abort from any handler that runs inside a wait ends it too.

    // Waits for an incoming connection on a listening socket. Raises
    // ESockError "Accepting Canceled" (AcceptCanceled) on a cancel, "Error
    // creating Data Connection" (AcceptFailed) when accept fails.
    virtual void Accept();
    // Resolves Host and connects; returns connected (OnConnect has run).
    // Raises ESockError: "Already connected", "Host Lookup Timed Out",
    // "Host Lookup Canceled", "Null Remote Address", and after
    // OnConnectionFailed "Connection Timed out", "Connection Canceled",
    // "Connection Failed"; a socket error as "<number>:<message>". Failures
    // of OnInvalidHost, OnHostResolved and OnConnectionFailed pass through.
    virtual void Connect();
    // Closes the connection (if any) and makes a fresh socket; OnDisconnect
    // is called either way and its failures pass through. ESockError
    // (SocketError) when no fresh socket can be made.
    virtual void Disconnect();
    // Sends Command and a CR LF, reads the reply line (LastReply, returned
    // with its terminator) and its leading number (ReplyNumber). Raises as
    // Writeln and ReadLn do, and ERangeError for a number above 32767.
    virtual std::string Transaction(const std::string& Command);
    // Cancel, here; the time-out calls it. Raises nothing of its own.
    virtual void Abort();
    // Asks the running or the next wait to end with its cancel error.
    void Cancel();
    // Returns when connected, after one OnConnectionRequired retry at most;
    // raises Exception "Not Connected" otherwise.
    void CheckConnection();
    // Fills RemoteAddress from Host (0 when a name has no address). Raises
    // ESockError "Host Lookup Timed Out", "Host Lookup Canceled", "Host
    // Lookup Failed" (LookupTimedOut, LookupCanceled, LookupFailed).
    void ResolveHost();
    // As Disconnect, without its status line.
    void RequestCloseSocket();
    // Whether received bytes wait to be read. Raises nothing.
    bool DataAvailable();
    // Hands Text to OnStatus when Level <= ReportLevel; a failing handler
    // goes to ReportCallbackFailure. Raises nothing.
    void ReportStatus(int Level, const std::string& Text);
    // Raises ESockError "<number>:<message>" (SocketError), after
    // OnSocketError, for the current errno unless its Winsock number is
    // Tolerated or 10000 or below; otherwise clears Text.
    void CheckSocketError(int Tolerated, std::string& Text);
    // Text := SocketErrorText(Number). Raises nothing.
    void LookupErrorText(int Number, std::string& Text);

    // Transfer. A read or send cut short raises EAbortError "Socket readln
    // aborted" / "Socket send aborted", with reason TimedOut (TimedOut() is
    // then true and the connection has been dropped: a late reply would put
    // later commands out of step; a failing OnDisconnect there goes to
    // ReportCallbackFailure, the caller hears of the time-out) or Canceled
    // (the connection stays; the cancel is used up). Other socket errors
    // raise ESockError (SocketError); a send on a connection that has ended
    // is "10057:Socket is not connected". A negative TimeOut raises
    // ERangeError.

    // Sends Text up to its first zero byte. ERangeError for 64 KiB or more.
    void Write(const std::string& Text);
    // Write(Text + CR LF).
    void Writeln(const std::string& Text);
    // Sends Length bytes (0: a zero-terminated text), all of them.
    void SendBuffer(const char* Buffer, std::uint16_t Length);
    // The next line with its terminator (every byte up to and including the
    // LF); "" when the connection has ended (a partial line is dropped) or is
    // not connected. A line longer than MaxLineLength raises ESockError "Line
    // too long" (LineTooLong) and is dropped up to and including its LF, so
    // the next read returns the line after it.
    std::string ReadLn();
    // The same into the caller's string, whose room is reused: a reader
    // of many lines saves an allocation per line. Empty at the end.
    void ReadLn(std::string& Line);
    // The next piece of the current line, for lines of any length: at most
    // MaxPiece bytes (at least 2), replacing Piece's content. Returns true when
    // Piece ends the line (its last byte is the LF), false when more of the
    // same line follows. A CR is never split from the LF that follows it.
    // Piece is empty (and the result false) when the connection has ended or
    // is not connected; raises as ReadLn does (aborted, time-out, socket error).
    // Pieces are never longer than MaxLineLength, whatever MaxPiece says.
    bool ReadLnPiece(std::string& Piece, std::size_t MaxPiece);
    // Drops the received bytes that wait to be read. Raises nothing.
    void ClearInput();

    // TLS on the connected socket, from now on: the handshake runs in the
    // same wait as a read (bounded by TimeOut, ended by a cancel), and every
    // read and send after it goes through the session. Bytes received before
    // the handshake are dropped: they were not protected. On any failure
    // the connection is dropped, and the call raises ETlsError (a refused
    // certificate, a failed handshake, unusable settings), EAbortError "TLS
    // handshake aborted" (TimedOut or Canceled), ESockError (SocketError)
    // for a socket error, "10057:Socket is not connected" when there is no
    // connection and "TLS already started" (Unspecified) when it is
    // already secured. Later a broken TLS stream raises ETlsError
    // (ConnectionFailed) from the read or send that meets it, and the
    // connection is dropped.
    void StartTls(const TTlsSettings& Settings);
    // Whether the connection is carried by TLS.
    bool TlsActive() const noexcept { return tls_ != nullptr; }
    // The server's certificate and the connection's protocol and cipher;
    // raises ETlsError (HandshakeFailed) without a finished handshake.
    TTlsCertificateFacts TlsCertificateFacts() const;

    // Longest line ReadLn accepts, terminator included.
    static constexpr std::size_t MaxLineLength = 65536;

protected:
    // Starts the time-out (again from now); nothing with TimeOut 0. A
    // negative TimeOut raises ERangeError.
    void TimerOn();
    void TimerOff();
    // The time-out: TimedOut, WaitDone, then Abort.
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
    long FillTls(char* room, std::size_t maxBytes, int& err);
    void AwaitTls(TTlsStatus want);
    [[noreturn]] void DropAndRethrow();
    void WaitForEvents();
    void DropLookup();
    // The wait shared by ReadLn and ReadLnPiece, see the .cpp.
    std::size_t AwaitLine(std::size_t limit);
    void SkipLongLine();
    void CloseAfterPeer();
    void AwaitServer();
    void RaiseIfAborted(const char* text);
    template <class Wait> void TimedWait(const char* abortText, Wait wait);

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
    // The TLS session over socket_ once StartTls has begun; freed before
    // the socket is closed.
    std::unique_ptr<TTlsSession> tls_;
    bool handshaking_ = false;
    // The last TLS read needs the socket writable (a key update), not readable.
    bool tlsWantsWrite_ = false;
    // Received bytes not yet returned by ReadLn.
    TReceiveBuffer input_;
    std::size_t scanned_ = 0; // unread bytes known to hold no LF
    // The rest of a line refused as too long is still to be dropped.
    bool skippingLongLine_ = false;
    // Bytes received or sent so far, and their count when the time-out was
    // last started: any byte that moves restarts it.
    std::uint64_t bytesMoved_ = 0;
    std::uint64_t bytesMovedAtTimerStart_ = 0;
};
