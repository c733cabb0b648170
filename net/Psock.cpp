#include "net/Psock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/GuardedApplication.h"

namespace {

int socketUsers = 0; // WinsockUsers

// Bytes taken from the socket per receive; also how much input the component
// keeps buffered while nobody reads before it stops listening for more.
constexpr std::size_t kChunk = 4 * 65536;
constexpr std::size_t kIdleBufferLimit = 4 * kChunk;

// The socket errors: the Winsock number, its text, and the POSIX errno
// values that stand for it here (0: none).
struct ErrorEntry {
    int number;
    const char* message;
    int errnos[2];
};

constexpr ErrorEntry kErrorTable[] = {
    {10004, "Interrupted system call", {EINTR, 0}},
    {10009, "Bad file number", {EBADF, 0}},
    {10013, "Permission denied", {EACCES, 0}},
    {10014, "Bad address", {EFAULT, 0}},
    {10022, "Invalid argument", {EINVAL, 0}},
    {10024, "Too many open files", {EMFILE, 0}},
    {10035, "Operation would block", {EWOULDBLOCK, EINPROGRESS}},
    {10036, "Operation now in progress", {0, 0}},
    {10037, "Operation already in progress", {EALREADY, 0}},
    {10038, "Socket operation on non-socket", {ENOTSOCK, 0}},
    {10039, "Destination address required", {EDESTADDRREQ, 0}},
    {10040, "Message too long", {EMSGSIZE, 0}},
    {10041, "Wrong protocol type for socket", {EPROTOTYPE, 0}},
    {10042, "Bad protocol option", {ENOPROTOOPT, 0}},
    {10043, "Protocol not supported", {EPROTONOSUPPORT, 0}},
    {10044, "Socket type not supported", {ESOCKTNOSUPPORT, 0}},
    {10045, "Operation not supported on socket", {EOPNOTSUPP, 0}},
    {10046, "Protocol family not supported", {EPFNOSUPPORT, 0}},
    {10047, "Address family not supported by protocol family", {EAFNOSUPPORT, 0}},
    {10048, "Address already in use", {EADDRINUSE, 0}},
    {10049, "Can't assign requested address", {EADDRNOTAVAIL, 0}},
    {10050, "Network is down", {ENETDOWN, 0}},
    {10051, "Network is unreachable", {ENETUNREACH, 0}},
    {10052, "Network dropped connection or reset", {ENETRESET, 0}},
    {10053, "Software caused connection abort", {ECONNABORTED, 0}},
    {10054, "Connection reset by peer", {ECONNRESET, 0}},
    {10055, "No buffer space available", {ENOBUFS, ENOMEM}},
    {10056, "Socket is already connected", {EISCONN, 0}},
    {10057, "Socket is not connected", {ENOTCONN, EPIPE}},
    {10058, "Can't send after socket shutdown", {ESHUTDOWN, 0}},
    {10059, "Too many references, can't splice", {ETOOMANYREFS, 0}},
    {10060, "Connection timed out", {ETIMEDOUT, 0}},
    {10061, "Connection refused", {ECONNREFUSED, 0}},
    {10062, "Too many levels of symbolic links", {ELOOP, 0}},
    {10063, "File name too long", {ENAMETOOLONG, 0}},
    {10064, "Host is down", {EHOSTDOWN, 0}},
    {10065, "No route to Host", {EHOSTUNREACH, 0}},
    {10066, "Directory not empty", {ENOTEMPTY, 0}},
    {10067, "Too many processes", {0, 0}},
    {10068, "Too many users", {EUSERS, 0}},
    {10069, "Disc quota exceeded", {EDQUOT, 0}},
    {10070, "Stale NFS file handle", {ESTALE, 0}},
    {10071, "Too many levels of remote in path", {EREMOTE, 0}},
    {10091, "Network subsystem is unavailable", {0, 0}},
    {10092, "Incompatible version of WINSOCK.DLL", {0, 0}},
    {10093, "Successful WSAStartup not yet performed", {0, 0}},
    {11001, "Host not found", {0, 0}},
    {11002, "Non-Authoritative Host not found", {0, 0}},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP", {0, 0}},
    {11004, "Valid name, no data record of requested type", {0, 0}},
};

// Errors by which a connect attempt itself fails. Winsock reports them through
// the connect notification; POSIX may report them at once from connect().
bool IsConnectOutcome(int err) {
    return err == ECONNREFUSED || err == ETIMEDOUT || err == ENETUNREACH || err == EHOSTUNREACH ||
           err == ECONNRESET || err == EHOSTDOWN;
}

} // namespace

std::string ExtractField(const std::string& S, char Separator, int N) {
    std::string field;
    if (N < 1) {
        return field;
    }
    int count = 0;
    for (char c : S) {
        if (c == Separator) {
            if (++count >= N) {
                break;
            }
        } else if (count == N - 1) {
            field += c;
        }
    }
    return field;
}

int WinsockErrorFromErrno(int err) {
    if (err == 0) {
        return 0;
    }
    for (const auto& entry : kErrorTable) {
        if (entry.errnos[0] == err || entry.errnos[1] == err) {
            return entry.number;
        }
    }
    return 20000 + err;
}

std::string SocketErrorText(int number) {
    if (number == 0) {
        return "";
    }
    for (const auto& entry : kErrorTable) {
        if (entry.number == number) {
            return std::to_string(number) + ":" + entry.message;
        }
    }
    return "Unknown Error No. " + std::to_string(number);
}

// ---------------------------------------------------------------------------
// TPowersock: construction and the socket

TPowersock::TPowersock() : context_(std::make_unique<QObject>()) {
    timer_.SetEnabled(false);
    timer_.SetOnTimer([this](TObject*) { TimerTriggered(); });
    InitWinsock();
}

TPowersock::~TPowersock() {
    destroying_ = true;
    try {
        TPowersock::Abort();
        Cancel();
        DropLookup();
        shuttingDown_ = true;
        RequestCloseSocket();
    } catch (...) {
        // Destruction must finish; the socket is gone either way. No handler
        // runs any more at this point (destroying_), so what is dropped here
        // can only be a failure of our own clean-up.
    }
    --socketUsers;
}

int TPowersock::SocketUsers() noexcept {
    return socketUsers;
}

void TPowersock::InitWinsock() {
    if (++socketUsers == 1) {
        // There is no start-up record here; describe the socket layer we use.
        winsockInfo_.Add("Version= 1.1");
        winsockInfo_.Add("High Version= 1.1");
        winsockInfo_.Add("Description= POSIX sockets with Qt event notification");
        winsockInfo_.Add("System= Running");
        winsockInfo_.Add("Max Sockets= " + std::to_string(sysconf(_SC_OPEN_MAX)));
        winsockInfo_.Add("Max Udp pack size= 65507");
    }
    try {
        MakeSocket(true);
    } catch (...) {
        --socketUsers;
        throw ESockError("Initializaton of windows sockets failed",
                         TSockErrorReason::StartUpFailed);
    }
}

void TPowersock::MakeSocket(bool withLinger) {
    int fd =
        ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, withLinger ? IPPROTO_TCP : 0);
    if (fd < 0) {
        std::string text;
        CheckSocketError(10035, text);
        return;
    }
    if (withLinger) {
        // A close resets the connection instead of lingering.
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    socket_ = fd;
    input_.Clear();
    scanned_ = 0;
    skippingLongLine_ = false;
    peerClosed_ = false;
    WatchSocket();
}

void TPowersock::WatchSocket() {
    readNotifier_ = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Read);
    readNotifier_->setEnabled(false);
    QObject::connect(readNotifier_.get(), &QSocketNotifier::activated, context_.get(),
                     [this] { OnSocketReadable(); });
    writeNotifier_ = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Write);
    writeNotifier_->setEnabled(false);
    QObject::connect(writeNotifier_.get(), &QSocketNotifier::activated, context_.get(),
                     [this] { OnSocketWritable(); });
}

// Closes the descriptor without events; the notifiers may be the very
// objects whose signal is running, so they are deleted later.
void TPowersock::DropSocketQuietly() {
    for (auto* n : {&readNotifier_, &writeNotifier_}) {
        if (*n) {
            (*n)->setEnabled(false);
            QObject::disconnect(n->get(), nullptr, context_.get(), nullptr);
            if (destroying_) {
                n->reset();
            } else {
                n->release()->deleteLater();
            }
        }
    }
    if (tls_) {
        // After a time-out the server is not waiting for a TLS close, and
        // a handshake cut short has nothing to close.
        if (!timedOut_ && !handshaking_) {
            tls_->Shutdown();
        }
        tls_.reset();
    }
    handshaking_ = false;
    tlsWantsWrite_ = false;
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
    input_.Clear();
    scanned_ = 0;
    skippingLongLine_ = false;
    peerClosed_ = false;
    connecting_ = false;
}

// ---------------------------------------------------------------------------
// Notifications (HandleSocketMessage)

void TPowersock::OnSocketReadable() {
    if (!connected_ || handshaking_) {
        // During the handshake the waiting StartTls does all the reading.
        if (readNotifier_) {
            readNotifier_->setEnabled(false);
        }
        return;
    }
    succeeded_ = true;
    try {
        if (!peerClosed_) {
            int err = 0;
            long n;
            try {
                n = Fill(kChunk, err);
            } catch (const ETlsError&) {
                // A broken TLS stream ends the connection as a socket
                // error would; nobody waits here to be told why.
                n = -1;
                err = ECONNABORTED;
            }
            if (n > 0) {
                if (input_.Available() >= kIdleBufferLimit && readNotifier_) {
                    readNotifier_->setEnabled(false);
                }
                if (OnReadReady) {
                    OnReadReady(this);
                }
                return;
            }
            if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)) {
                return;
            }
            succeeded_ = n == 0;
            if (n < 0) {
                lastErrorNo_ = WinsockErrorFromErrno(err);
            }
            peerClosed_ = true;
        }
        HandleClose();
    } catch (...) {
        // Nothing may pass the event loop, and the wait this notification
        // may have come in must go on: the reporter hears of it instead.
        ReportCallbackFailure(std::current_exception());
    }
}

void TPowersock::HandleClose() {
    if (readNotifier_) {
        readNotifier_->setEnabled(false);
    }
    if (!DataAvailable()) {
        RequestCloseSocket();
    }
}

void TPowersock::OnSocketWritable() {
    if (writeNotifier_) {
        writeNotifier_->setEnabled(false);
    }
    if (!connecting_) {
        return;
    }
    connecting_ = false;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &err, &len) < 0) {
        err = errno;
    }
    succeeded_ = err == 0;
    if (!succeeded_) {
        lastErrorNo_ = WinsockErrorFromErrno(err);
        return;
    }
    connected_ = true;
    if (readNotifier_) {
        readNotifier_->setEnabled(true);
    }
    try {
        if (OnConnect) {
            OnConnect(this);
        }
    } catch (...) {
        // The connection stands whatever the handler did; the reporter
        // hears of its failure.
        ReportCallbackFailure(std::current_exception());
    }
}

long TPowersock::Fill(std::size_t maxBytes, int& err) {
    char* room = input_.Tail(maxBytes);
    long n;
    if (tls_) {
        n = FillTls(room, maxBytes, err);
    } else {
        do {
            n = ::recv(socket_, room, maxBytes, 0);
        } while (n < 0 && errno == EINTR);
        err = n < 0 ? errno : 0;
    }
    if (n > 0) {
        input_.Commit(static_cast<std::size_t>(n));
        bytesMoved_ += static_cast<std::size_t>(n);
    }
    return n;
}

// Fill's TLS half, with recv's results: bytes, 0 at the end, -1 with EAGAIN
// when the socket must be waited on (tlsWantsWrite_ says which way). Raises
// ETlsError for a broken TLS stream.
long TPowersock::FillTls(char* room, std::size_t maxBytes, int& err) {
    tlsWantsWrite_ = false;
    err = 0;
    TTlsResult r = tls_->Read(room, maxBytes);
    switch (r.status) {
    case TTlsStatus::Done:
        return static_cast<long>(r.bytes);
    case TTlsStatus::Closed:
        return 0;
    case TTlsStatus::WantWrite:
        tlsWantsWrite_ = true;
        err = EAGAIN;
        return -1;
    case TTlsStatus::WantRead:
        err = EAGAIN;
        return -1;
    case TTlsStatus::SocketError:
        break;
    }
    err = r.error != 0 ? r.error : ECONNABORTED;
    return -1;
}

// One sleep until the socket can do what the TLS session asked for.
void TPowersock::AwaitTls(TTlsStatus want) {
    QSocketNotifier* notifier =
        want == TTlsStatus::WantWrite ? writeNotifier_.get() : readNotifier_.get();
    if (notifier) {
        notifier->setEnabled(true);
    }
    AwaitServer();
}

// Drops the connection after a failure that left it unusable, and raises
// that failure again.
void TPowersock::DropAndRethrow() {
    std::exception_ptr failure = std::current_exception();
    if (connected_ || tls_) {
        try {
            RequestCloseSocket();
        } catch (...) {
            // The failure in hand is what the caller must hear of.
            ReportCallbackFailure(std::current_exception());
        }
    }
    std::rethrow_exception(failure);
}

void TPowersock::WaitForEvents() {
    // Sleeps until at least one event (a notification, a timer, a posted
    // call) has been handled; the caller then checks its condition again.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// ---------------------------------------------------------------------------
// Status, errors and the time-out timer

void TPowersock::ReportStatus(int Level, const std::string& Text) {
    if (Level > reportLevel_) {
        return;
    }
    try {
        lastStatus_ = Text;
        if (!destroying_ && OnStatus) {
            OnStatus(this, lastStatus_);
        }
    } catch (...) {
        // A status report never disturbs the operation that made it; the
        // handler's failure goes to the reporter.
        ReportCallbackFailure(std::current_exception());
    }
}

void TPowersock::CheckSocketError(int Tolerated, std::string& Text) {
    int err = WinsockErrorFromErrno(errno);
    lastErrorNo_ = err;
    if (err != Tolerated && err > 10000) {
        LookupErrorText(err, Text);
        if (OnSocketError) {
            OnSocketError(this, static_cast<std::uint16_t>(err), Text);
        }
        throw ESockError(Text, TSockErrorReason::SocketError);
    }
    Text.clear();
}

void TPowersock::LookupErrorText(int Number, std::string& Text) {
    ReportStatus(8, "Looking Up Error Message" + Text);
    Text = SocketErrorText(Number);
}

void TPowersock::TimerOn() {
    Report(8, "Timer On");
    timedOut_ = false;
    if (timeOut_ < 0) {
        throw ERangeError("Range check error");
    }
    if (timeOut_ == 0 && !timer_.Enabled()) {
        return; // no limit: the timer stays off, as it would never fire
    }
    timer_.SetInterval(static_cast<unsigned>(timeOut_));
    if (timer_.Enabled()) {
        timer_.UpdateTimer(); // counts again from now
    } else {
        timer_.SetEnabled(true);
    }
}

void TPowersock::TimerOff() {
    Report(8, "Timer Off");
    timer_.SetEnabled(false);
}

void TPowersock::TimerTriggered() {
    ReportStatus(8, "Timer Triggered");
    TimerOff();
    timedOut_ = true;
    waitDone_ = true;
    Abort();
}

// ---------------------------------------------------------------------------
// Connection

void TPowersock::ResolveHost() {
    ReportStatus(8, "Resolve Host");
    in_addr_t address = ::inet_addr(host_.c_str());
    if (address != INADDR_NONE) {
        remoteAddress_ = address;
        return;
    }
    remoteAddress_ = 0;
    TimerOn();
    waitDone_ = false;
    unsigned generation = ++lookupGeneration_;
    lookupId_ = QHostInfo::lookupHost(
        QString::fromStdString(host_), context_.get(), [this, generation](const QHostInfo& info) {
            if (generation != lookupGeneration_) {
                return; // an abandoned lookup
            }
            lookupId_ = -1;
            lookupAddress_ = 0;
            for (const QHostAddress& a : info.addresses()) {
                if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                    lookupAddress_ = htonl(a.toIPv4Address());
                    break;
                }
            }
            // A name with no IPv4 address is as good as an unknown one here.
            succeeded_ = info.error() == QHostInfo::NoError && lookupAddress_ != 0;
            waitDone_ = true;
        });
    try {
        while (!(waitDone_ || timedOut_ || canceled_)) {
            WaitForEvents();
        }
    } catch (...) {
        DropLookup();
        TimerOff();
        throw;
    }
    DropLookup();
    TimerOff();
    if (timedOut_) {
        throw ESockError("Host Lookup Timed Out", TSockErrorReason::LookupTimedOut);
    }
    if (canceled_) {
        throw ESockError("Host Lookup Canceled", TSockErrorReason::LookupCanceled);
    }
    if (!succeeded_) {
        throw ESockError("Host Lookup Failed", TSockErrorReason::LookupFailed);
    }
    remoteAddress_ = lookupAddress_;
    if (OnHostResolved) {
        OnHostResolved(this);
    }
}

void TPowersock::DropLookup() {
    if (lookupId_ >= 0) {
        QHostInfo::abortHostLookup(lookupId_);
        lookupId_ = -1;
    }
    ++lookupGeneration_;
}

void TPowersock::Connect() {
    ReportStatus(8, "Connecting");
    canceled_ = false;
    if (connected_) {
        throw ESockError("Already connected", TSockErrorReason::AlreadyConnected);
    }
    int retries = 0;
    for (;;) {
        try {
            ResolveHost();
        } catch (const ESockError& e) {
            if (e.Reason() == TSockErrorReason::LookupTimedOut ||
                e.Reason() == TSockErrorReason::LookupCanceled) {
                throw;
            }
        }
        if (remoteAddress_ != 0) {
            break;
        }
        if (retries > 0 || !OnInvalidHost) {
            throw ESockError("Null Remote Address", TSockErrorReason::NullRemoteAddress);
        }
        bool handled = false;
        OnInvalidHost(handled);
        if (!handled) {
            throw ESockError("Null Remote Address", TSockErrorReason::NullRemoteAddress);
        }
        ++retries;
    }
    if (socket_ < 0) {
        MakeSocket(false);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_ & 0xFFFF));
    address.sin_addr.s_addr = remoteAddress_;
    waitDone_ = false;
    succeeded_ = true;
    if (::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        int err = errno;
        if (IsConnectOutcome(err)) {
            // Winsock would report this through the connect notification.
            succeeded_ = false;
            lastErrorNo_ = WinsockErrorFromErrno(err);
        } else if (err != EINPROGRESS) {
            std::string text;
            CheckSocketError(10035, text);
        }
    }
    connecting_ = succeeded_;
    if (writeNotifier_ && connecting_) {
        writeNotifier_->setEnabled(true);
    }
    TimerOn();
    try {
        while (!(connected_ || timedOut_ || canceled_ || !succeeded_)) {
            WaitForEvents();
        }
    } catch (...) {
        TimerOff();
        throw;
    }
    TimerOff();
    if (!timedOut_ && !canceled_ && succeeded_) {
        return;
    }
    if (!connected_) {
        // A POSIX socket cannot connect again after a failed or abandoned
        // attempt, so it is replaced here (silently: nothing was open).
        DropSocketQuietly();
        MakeSocket(false);
    }
    if (OnConnectionFailed) {
        OnConnectionFailed(this);
    }
    if (timedOut_) {
        throw ESockError("Connection Timed out", TSockErrorReason::ConnectTimedOut);
    }
    if (canceled_) {
        throw ESockError("Connection Canceled", TSockErrorReason::ConnectCanceled);
    }
    throw ESockError("Connection Failed", TSockErrorReason::ConnectFailed);
}

void TPowersock::Accept() {
    ReportStatus(4, "Accepting");
    for (;;) {
        if (canceled_) {
            canceled_ = false;
            throw ESockError("Accepting Canceled", TSockErrorReason::AcceptCanceled);
        }
        int fd = ::accept4(socket_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            DropSocketQuietly();
            socket_ = fd;
            WatchSocket();
            connected_ = true;
            readNotifier_->setEnabled(true);
            if (OnAcceptReady) {
                OnAcceptReady(this);
            }
            return;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            throw ESockError("Error creating Data Connection", TSockErrorReason::AcceptFailed);
        }
        if (readNotifier_) {
            readNotifier_->setEnabled(true);
        }
        WaitForEvents();
    }
}

void TPowersock::Disconnect() {
    ReportStatus(8, "Disconnecting");
    RequestCloseSocket();
}

void TPowersock::Abort() {
    ReportStatus(8, "Abort");
    Cancel();
}

void TPowersock::Cancel() {
    ReportStatus(8, "Canceling");
    canceled_ = true;
}

void TPowersock::CheckConnection() {
    ReportStatus(8, "Checking Connection");
    int retries = 0;
    while (!connected_) {
        if (retries > 0 || !OnConnectionRequired) {
            throw Exception("Not Connected");
        }
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled) {
            throw Exception("Not Connected");
        }
        ++retries;
    }
}

void TPowersock::RequestCloseSocket() {
    ReportStatus(4, "Request Close Socket");
    connected_ = false;
    if (socket_ < 0) {
        return;
    }
    DropSocketQuietly();
    if (!destroying_ && OnDisconnect) {
        OnDisconnect(this);
    }
    if (!shuttingDown_ && socket_ < 0) {
        MakeSocket(false);
    }
}

bool TPowersock::DataAvailable() {
    ReportStatus(8, "Data Available");
    if (input_.Available() > 0) {
        return true;
    }
    if (socket_ < 0 || peerClosed_ || handshaking_) {
        return false;
    }
    if (tls_) {
        // Only the session knows whether a record holds application data.
        int err = 0;
        try {
            long n = Fill(kChunk, err);
            if (n == 0) {
                peerClosed_ = true;
            }
            return n > 0;
        } catch (const ETlsError&) {
            return false; // the read that follows meets the failure
        }
    }
    char byte;
    return ::recv(socket_, &byte, 1, MSG_PEEK) >= 1;
}

// ---------------------------------------------------------------------------
// Transfer

void TPowersock::Write(const std::string& Text) {
    ReportStatus(8, "Write");
    // The text goes out up to its first zero byte, as a zero-terminated
    // buffer would carry it; its length must fit the 16-bit send length.
    std::size_t length = std::strlen(Text.c_str());
    if (length >= 65536) {
        throw ERangeError("Range check error");
    }
    SendBuffer(Text.c_str(), static_cast<std::uint16_t>(length));
}

void TPowersock::Writeln(const std::string& Text) {
    ReportStatus(8, "Writeln");
    Write(Text + "\r\n");
}

// Runs a wait of a transfer under the time-out, which is off again on every
// way out. `wait` returns true when it stopped for its answer, a cancel or
// the time-out (the latter two then raise EAbortError with `abortText`), false
// when the connection has ended. A broken TLS stream drops the connection.
template <class Wait> void TPowersock::TimedWait(const char* abortText, Wait wait) {
    if (timeOut_ < 0) {
        throw ERangeError("Range check error");
    }
    timedOut_ = false;
    try {
        if (wait()) {
            RaiseIfAborted(abortText);
        }
    } catch (const ETlsError&) {
        TimerOff();
        DropAndRethrow();
    } catch (...) {
        TimerOff();
        throw;
    }
    TimerOff();
}

void TPowersock::SendBuffer(const char* Buffer, std::uint16_t Length) {
    ReportStatus(4, "Sending Buffer");
    TimedWait("Socket send aborted", [&] {
        if (!canceled_) {
            std::size_t length = Length != 0 ? Length : std::strlen(Buffer);
            if (length >= 65536) {
                throw ERangeError("Range check error");
            }
            std::size_t sent = 0;
            while (sent < length && !canceled_ && !timedOut_) {
                if (tls_) {
                    TTlsResult r = tls_->Write(Buffer + sent, length - sent);
                    if (r.status == TTlsStatus::Done) {
                        sent += r.bytes;
                        bytesMoved_ += r.bytes;
                    } else if (r.status == TTlsStatus::WantRead ||
                               r.status == TTlsStatus::WantWrite) {
                        AwaitTls(r.status);
                    } else {
                        errno = r.status == TTlsStatus::Closed || r.error == 0 ? ENOTCONN : r.error;
                        const int err = errno;
                        std::string text;
                        CheckSocketError(10035, text);
                        throw ESockError(SocketErrorText(WinsockErrorFromErrno(err)),
                                         TSockErrorReason::SocketError);
                    }
                    continue;
                }
                long n = ::send(socket_, Buffer + sent, length - sent, MSG_NOSIGNAL);
                if (n > 0) {
                    sent += static_cast<std::size_t>(n);
                    bytesMoved_ += static_cast<std::size_t>(n);
                } else if (n == 0) {
                    break;
                } else if (errno == EINTR) {
                    continue;
                } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    // A full send buffer: the server is not reading.
                    if (writeNotifier_) {
                        writeNotifier_->setEnabled(true);
                    }
                    AwaitServer();
                } else {
                    std::string text;
                    CheckSocketError(10035, text);
                }
            }
        }
        return true;
    });
}

std::string TPowersock::ReadLn() {
    std::string line;
    ReadLn(line);
    return line;
}

void TPowersock::ReadLn(std::string& Line) {
    Report(8, "ReadLn");
    std::size_t length = AwaitLine(MaxLineLength);
    if (length == 0) {
        Line.clear();
        return;
    }
    if (input_.Data()[length - 1] != '\n') {
        skippingLongLine_ = true;
        SkipLongLine();
        throw ESockError("Line too long", TSockErrorReason::LineTooLong);
    }
    Line.assign(input_.Data(), length);
    input_.Consume(length);
    scanned_ = 0;
}

bool TPowersock::ReadLnPiece(std::string& Piece, std::size_t MaxPiece) {
    Report(8, "ReadLn");
    // Pieces stay within the line cap, so a caller's large MaxPiece does not
    // make the input buffer grow with what the server sends.
    std::size_t length = AwaitLine(std::clamp<std::size_t>(MaxPiece, 2, MaxLineLength));
    if (length == 0) {
        Piece.clear();
        return false;
    }
    const char* data = input_.Data();
    bool lineEnds = data[length - 1] == '\n';
    if (!lineEnds && data[length - 1] == '\r') {
        --length; // the CR goes out with its LF
    }
    Piece.assign(data, length);
    input_.Consume(length);
    scanned_ = 0;
    return lineEnds;
}

// The line reader's wait. Returns the length of the next piece of the unread
// input: up to and including the first LF among its first `limit` bytes, or
// `limit` bytes holding no LF; 0 when the connection has ended or is not
// connected (10057: nothing will come). A cancel or the time-out raises
// EAbortError, even when a line is waiting; other socket errors ESockError.
std::size_t TPowersock::AwaitLine(std::size_t limit) {
    std::size_t length = 0;
    TimedWait("Socket readln aborted", [&] {
        for (;;) {
            if (skippingLongLine_) {
                SkipLongLine();
            }
            std::size_t avail = input_.Available();
            std::size_t window = std::min(avail, limit);
            if (scanned_ < window) {
                const char* base = input_.Data();
                const void* lf = std::memchr(base + scanned_, '\n', window - scanned_);
                if (lf != nullptr) {
                    length = static_cast<std::size_t>(static_cast<const char*>(lf) - base) + 1;
                    return true;
                }
                scanned_ = window;
            }
            if (avail >= limit) {
                length = limit;
                return true;
            }
            if (canceled_ || timedOut_) {
                return true;
            }
            if (peerClosed_) {
                // A partial line is dropped.
                CloseAfterPeer();
                return false;
            }
            if (!connected_ || socket_ < 0) {
                return false;
            }
            int err = 0;
            long n = Fill(kChunk, err);
            if (n > 0) {
                // Keep the application alive during a long transfer too.
                QCoreApplication::processEvents();
                continue;
            }
            if (n == 0) {
                peerClosed_ = true; // the close itself is handled on its notification
                continue;
            }
            if (err == EAGAIN || err == EWOULDBLOCK) {
                AwaitTls(tlsWantsWrite_ ? TTlsStatus::WantWrite : TTlsStatus::WantRead);
                continue;
            }
            if (err == ENOTCONN) {
                return false;
            }
            errno = err;
            std::string text;
            CheckSocketError(10035, text);
        }
    });
    return length;
}

// Drops the buffered part of a line refused as too long, up to and including
// its LF once that has come; until then every byte received is dropped.
void TPowersock::SkipLongLine() {
    const char* base = input_.Data();
    const void* lf = std::memchr(base, '\n', input_.Available());
    if (lf != nullptr) {
        input_.Consume(static_cast<std::size_t>(static_cast<const char*>(lf) - base) + 1);
        skippingLongLine_ = false;
    } else {
        input_.Clear();
    }
    scanned_ = 0;
}

// The peer has closed and the caller was told so: what is left of a partial
// line goes. The close notification may have come while that line was still
// buffered and been put off; with the buffer empty now, the close is carried
// out from the event loop.
void TPowersock::CloseAfterPeer() {
    input_.Clear();
    scanned_ = 0;
    QTimer::singleShot(0, QCoreApplication::instance(),
                       [this, alive = std::weak_ptr<int>(lifeToken_)] {
                           if (!alive.expired() && connected_ && peerClosed_) {
                               HandleClose();
                           }
                       });
}

// One sleep of a read or send wait on the server. The time-out is started
// only here, so an operation that need not wait costs no timer; it counts
// from the last byte that moved, so a long reply that keeps coming is not
// cut, while a server that goes silent is.
void TPowersock::AwaitServer() {
    if (timeOut_ > 0 && (!timer_.Enabled() || bytesMoved_ != bytesMovedAtTimerStart_)) {
        bytesMovedAtTimerStart_ = bytesMoved_;
        TimerOn();
    }
    WaitForEvents();
}

// Ends an operation whose wait a cancel or the time-out cut short. After a
// time-out the connection is dropped: the late reply would put every later
// command out of step.
void TPowersock::RaiseIfAborted(const char* text) {
    if (!canceled_ && !timedOut_) {
        return;
    }
    canceled_ = false;
    if (timedOut_ && connected_) {
        try {
            RequestCloseSocket();
        } catch (...) {
            // The time-out is what the caller must hear of; a failing
            // OnDisconnect goes to the reporter.
            ReportCallbackFailure(std::current_exception());
        }
    }
    throw EAbortError(text, timedOut_ ? TSockErrorReason::TimedOut : TSockErrorReason::Canceled);
}

std::string TPowersock::Transaction(const std::string& Command) {
    ReportStatus(8, "Transaction");
    replyNumber_ = 0;
    Writeln(Command);
    lastReply_ = ReadLn();
    if (!lastReply_.empty()) {
        ReportStatus(1, lastReply_);
        std::size_t digits = 0;
        while (digits < lastReply_.size() && digits < 10 && lastReply_[digits] >= '0' &&
               lastReply_[digits] <= '9') {
            ++digits;
        }
        if (digits > 0) {
            long long value = std::stoll(lastReply_.substr(0, digits));
            if (value > INT32_MAX) {
                value = 0;
            }
            if (value > 32767) {
                throw ERangeError("Range check error");
            }
            replyNumber_ = static_cast<int>(value);
        }
    }
    return lastReply_;
}

void TPowersock::ClearInput() {
    ReportStatus(8, "Clearing Input");
    input_.Clear();
    scanned_ = 0;
    if (tls_) {
        // Raw bytes taken from under the session would break its stream.
        if (!handshaking_ && !peerClosed_) {
            int err = 0;
            try {
                (void)Fill(kChunk, err);
            } catch (const ETlsError&) {
                // The next read meets the failure again.
            }
            input_.Clear();
        }
        return;
    }
    if (socket_ >= 0 && !peerClosed_) {
        static thread_local char scratch[65536];
        (void)::recv(socket_, scratch, sizeof scratch, 0);
    }
}

// ---------------------------------------------------------------------------
// TLS

void TPowersock::StartTls(const TTlsSettings& Settings) {
    ReportStatus(4, "Starting TLS");
    if (!connected_ || socket_ < 0) {
        throw ESockError(SocketErrorText(10057), TSockErrorReason::SocketError);
    }
    if (tls_) {
        throw ESockError("TLS already started");
    }
    if (timeOut_ < 0) {
        throw ERangeError("Range check error");
    }
    // What came before the handshake was not protected; it must not be
    // read as if it had been (a command injected in front of it).
    input_.Clear();
    scanned_ = 0;
    skippingLongLine_ = false;
    timedOut_ = false;
    try {
        tls_ = std::make_unique<TTlsSession>(socket_, Settings);
        handshaking_ = true;
        while (!canceled_ && !timedOut_) {
            if (!tls_) {
                // Dropped from a handler inside the wait.
                throw ESockError(SocketErrorText(10057), TSockErrorReason::SocketError);
            }
            TTlsResult r = tls_->Handshake();
            if (r.status == TTlsStatus::Done) {
                break;
            }
            if (r.status == TTlsStatus::WantRead || r.status == TTlsStatus::WantWrite) {
                AwaitTls(r.status);
                continue;
            }
            const int err = r.status == TTlsStatus::Closed || r.error == 0 ? ENOTCONN : r.error;
            errno = err;
            std::string text;
            CheckSocketError(10035, text);
            throw ESockError(SocketErrorText(WinsockErrorFromErrno(err)),
                             TSockErrorReason::SocketError);
        }
        handshaking_ = false;
    } catch (...) {
        TimerOff();
        DropAndRethrow();
    }
    TimerOff();
    if (canceled_ || timedOut_) {
        const bool timed = timedOut_;
        canceled_ = false;
        if (connected_ || tls_) {
            try {
                RequestCloseSocket(); // half a handshake cannot be resumed
            } catch (...) {
                ReportCallbackFailure(std::current_exception());
            }
        }
        throw EAbortError("TLS handshake aborted",
                          timed ? TSockErrorReason::TimedOut : TSockErrorReason::Canceled);
    }
}

TTlsCertificateFacts TPowersock::TlsCertificateFacts() const {
    if (!tls_) {
        throw ETlsError("TLS: the handshake with " + host_ + ":" + std::to_string(port_) +
                            " has not finished",
                        TTlsFailure::HandshakeFailed);
    }
    return tls_->CertificateFacts();
}
