// Reading lines of any length in pieces, against scripted peers on loopback.
#include <QTimer>
#include <gtest/gtest.h>

#include "NetTestHelpers.h"
#include "net/Psock.h"
#include "support/ScriptedPeer.h"
#include "support/WaitFor.h"

namespace {

struct Piece {
    std::string bytes;
    bool endsLine;
};

// Pieces up to and including the one that ends the line (or the empty one
// that says the connection ended).
std::vector<Piece> PiecesOfOneLine(TPowersock& sock, std::size_t maxPiece) {
    std::vector<Piece> pieces;
    for (;;) {
        Piece p;
        p.endsLine = sock.ReadLnPiece(p.bytes, maxPiece);
        pieces.push_back(p);
        if (p.endsLine || p.bytes.empty()) {
            return pieces;
        }
    }
}

std::string Joined(const std::vector<Piece>& pieces) {
    std::string all;
    for (const Piece& p : pieces) {
        all += p.bytes;
    }
    return all;
}

// A base64-looking line, so that a misplaced or repeated piece shows.
std::string LongLine(std::size_t length) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string line(length, ' ');
    for (std::size_t i = 0; i < length; ++i) {
        line[i] = alphabet[(i * 7 + i / 64) % 64];
    }
    return line;
}

} // namespace

TEST(ReadLnPiece, LongLineComesInPiecesThatMakeUpItsExactBytes) {
    ScriptedPeer peer;
    const std::string body = LongLine(70000);
    peer.Add({"S: " + body, "S: next"});
    TPowersock sock;
    ConnectTo(sock, peer);
    std::vector<Piece> pieces = PiecesOfOneLine(sock, 4096);
    ASSERT_GT(pieces.size(), 1u);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        EXPECT_LE(pieces[i].bytes.size(), 4096u) << "piece " << i;
        EXPECT_FALSE(pieces[i].bytes.empty()) << "piece " << i;
        EXPECT_EQ(pieces[i].endsLine, i + 1 == pieces.size()) << "piece " << i;
    }
    EXPECT_EQ(Joined(pieces), body + "\r\n");
    std::string piece;
    EXPECT_TRUE(sock.ReadLnPiece(piece, 4096));
    EXPECT_EQ(piece, "next\r\n");
}

TEST(ReadLnPiece, CrStaysWithItsLfAtEveryPieceBorder) {
    // Lines of every length around the piece size, arriving byte by byte, so
    // that a CR lands on the border of a piece in every position.
    const std::size_t maxPiece = 8;
    std::vector<std::string> bodies;
    PeerScenario lines;
    for (std::size_t length = 0; length <= 3 * maxPiece; ++length) {
        bodies.push_back(LongLine(length));
        lines.script.push_back("S: " + bodies.back());
    }
    lines.byteAtATime = true;
    ScriptedPeer peer;
    peer.Add(lines);
    TPowersock sock;
    ConnectTo(sock, peer);
    for (const std::string& body : bodies) {
        std::vector<Piece> pieces = PiecesOfOneLine(sock, maxPiece);
        for (const Piece& p : pieces) {
            ASSERT_FALSE(p.bytes.empty()) << "line of " << body.size();
            EXPECT_LE(p.bytes.size(), maxPiece);
            EXPECT_NE(p.bytes.back(), '\r') << "line of " << body.size();
        }
        EXPECT_EQ(Joined(pieces), body + "\r\n");
    }
}

TEST(ReadLnPiece, ShortLinesComeWholeAndEndTheLine) {
    ScriptedPeer peer;
    PeerScenario mixed{"S: +OK 2 messages", "S: ", "S: ."};
    peer.Add(mixed);
    TPowersock sock;
    ConnectTo(sock, peer);
    std::string piece = "left over from the caller";
    EXPECT_TRUE(sock.ReadLnPiece(piece, 4096));
    EXPECT_EQ(piece, "+OK 2 messages\r\n");
    EXPECT_TRUE(sock.ReadLnPiece(piece, 4096));
    EXPECT_EQ(piece, "\r\n");
    // A line that just fits the piece is whole too.
    EXPECT_TRUE(sock.ReadLnPiece(piece, 3));
    EXPECT_EQ(piece, ".\r\n");
}

TEST(ReadLnPiece, LfOnlyLinesAndTheSmallestPiece) {
    ScriptedPeer peer;
    PeerScenario lf{"S: abc", "S: z"};
    lf.lfOnly = true;
    peer.Add(lf);
    TPowersock sock;
    ConnectTo(sock, peer);
    // A MaxPiece below 2 counts as 2.
    std::vector<Piece> pieces = PiecesOfOneLine(sock, 0);
    EXPECT_EQ(Joined(pieces), "abc\n");
    for (const Piece& p : pieces) {
        EXPECT_LE(p.bytes.size(), 2u);
    }
    std::string piece;
    EXPECT_TRUE(sock.ReadLnPiece(piece, 2));
    EXPECT_EQ(piece, "z\n");
}

TEST(ReadLnPiece, HugeMaxPieceStillGivesPiecesWithinTheLineCap) {
    ScriptedPeer peer;
    const std::string body = LongLine(3 * TPowersock::MaxLineLength);
    peer.Add({"S: " + body});
    TPowersock sock;
    ConnectTo(sock, peer);
    std::vector<Piece> pieces = PiecesOfOneLine(sock, std::size_t(1) << 40);
    for (const Piece& p : pieces) {
        EXPECT_LE(p.bytes.size(), TPowersock::MaxLineLength);
    }
    EXPECT_EQ(Joined(pieces), body + "\r\n");
}

TEST(ReadLnPiece, PeerClosingMidLineGivesAnEmptyPiece) {
    ScriptedPeer peer;
    peer.Add({"S~ " + LongLine(10000), "CLOSE"});
    TPowersock sock;
    int disconnects = 0;
    sock.OnDisconnect = [&](TObject*) { ++disconnects; };
    ConnectTo(sock, peer);
    std::vector<Piece> pieces = PiecesOfOneLine(sock, 4096);
    ASSERT_FALSE(pieces.empty());
    EXPECT_EQ(pieces.back().bytes, "");
    EXPECT_FALSE(pieces.back().endsLine);
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
        EXPECT_EQ(pieces[i].bytes.size(), 4096u);
    }
    std::string piece = "x";
    EXPECT_FALSE(sock.ReadLnPiece(piece, 4096));
    EXPECT_EQ(piece, "");
    ASSERT_TRUE(WaitFor([&] { return !sock.Connected(); }));
    EXPECT_EQ(disconnects, 1);
}

TEST(ReadLnPiece, NotConnectedGivesAnEmptyPiece) {
    TPowersock sock;
    std::string piece = "x";
    EXPECT_FALSE(sock.ReadLnPiece(piece, 4096));
    EXPECT_EQ(piece, "");
}

TEST(ReadLnPiece, CancelAndTimeOutRaiseAsReadLnDoes) {
    ScriptedPeer peer;
    peer.Add({"S: waiting", "HANG"});
    TPowersock sock;
    ConnectTo(sock, peer);
    std::string piece;
    ASSERT_TRUE(WaitFor([&] { return sock.DataAvailable(); }));
    // A cancel wins even over a line that is waiting.
    sock.Cancel();
    EXPECT_EQ(FailureOf<EAbortError>([&] { sock.ReadLnPiece(piece, 4096); }),
              "Socket readln aborted");
    EXPECT_FALSE(sock.Canceled());
    EXPECT_TRUE(sock.ReadLnPiece(piece, 4096));
    EXPECT_EQ(piece, "waiting\r\n");
    // A cancel from a handler that runs inside the wait.
    QTimer::singleShot(100, [&] { sock.Cancel(); });
    EXPECT_EQ(FailureOf<EAbortError>([&] { sock.ReadLnPiece(piece, 4096); }),
              "Socket readln aborted");
    EXPECT_FALSE(sock.TimedOut());
    EXPECT_TRUE(sock.Connected());
    sock.SetTimeOut(300);
    EXPECT_EQ(FailureOf<EAbortError>([&] { sock.ReadLnPiece(piece, 4096); }),
              "Socket readln aborted");
    EXPECT_TRUE(sock.TimedOut());
    EXPECT_FALSE(sock.Connected());
}
