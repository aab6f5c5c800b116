#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "service/HttpAnswerReader.h"

namespace tallowmer {
namespace {

enum class Ending { None, Clean, Unclean };

struct ReaderCase {
  const char* name;
  std::string bytes;
  Ending ending;
  int32_t status;
  std::string body;
  TransportFailure failure = TransportFailure::None;
};

std::string Repeat(const std::string& text, size_t times) {
  std::string result;
  for (size_t i = 0; i < times; ++i) result += text;
  return result;
}

// Feeds the bytes in pieces of `piece` bytes (all at once when 0), as a connection might hand them.
HttpAnswer Read(const std::string& bytes, Ending ending, size_t piece, IHttpEvents* events = nullptr) {
  HttpAnswerReader reader(events);
  for (size_t at = 0; at < bytes.size() && !reader.Finished();) {
    const size_t size = piece == 0 ? bytes.size() : std::min(piece, bytes.size() - at);
    const size_t taken = reader.Feed(std::string_view(bytes).substr(at, size));
    if (taken < size) break;
    at += taken;
  }
  if (ending != Ending::None) reader.End(ending == Ending::Clean);
  return reader.Answer();
}

const std::string kOk = "HTTP/1.1 200 OK\r\n";

std::vector<ReaderCase> Cases() {
  const std::string megabyte(kAnswerBodyLimit, 'x');
  return {
      {"a body of its length", kOk + "Content-Length: 5\r\n\r\nhello", Ending::None, 200, "hello"},
      {"bytes after the length are not the answer's", kOk + "Content-Length: 2\r\n\r\nokNEXT", Ending::None,
       200, "ok"},
      {"line ends of LF alone", "HTTP/1.1 200 OK\nContent-Length: 2\n\nok", Ending::None, 200, "ok"},
      {"a status line without a reason", "HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n", Ending::None, 200, ""},
      {"an HTTP/1.0 answer until close", "HTTP/1.0 200 OK\r\n\r\nold", Ending::Clean, 200, "old"},
      {"a chunked body with an extension and a trailer",
       kOk + "Transfer-Encoding: chunked\r\n\r\n5;name=value\r\nhello\r\n1\r\n!\r\n0\r\nX-Sum: 6\r\n\r\n",
       Ending::None, 200, "hello!"},
      {"upper-case chunk sizes and coding name",
       kOk + "Transfer-Encoding: Chunked\r\n\r\nA\r\n0123456789\r\n0\r\n\r\n", Ending::None, 200,
       "0123456789"},
      {"100 Continue is passed over", "HTTP/1.1 100 Continue\r\n\r\n" + kOk + "Content-Length: 2\r\n\r\nok",
       Ending::None, 200, "ok"},
      {"103 Early Hints then a refusal keeps the refusal",
       "HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\nContent-Length: 9\r\n\r\n"
       "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 18\r\n\r\n{\"error\":\"denied\"}",
       Ending::None, 500, "{\"error\":\"denied\"}"},
      {"several 102 Processing",
       Repeat("HTTP/1.1 102 Processing\r\n\r\n", 5) + kOk + "Content-Length: 1\r\n\r\n1", Ending::None, 200,
       "1"},
      {"204 has no body whatever its length says", "HTTP/1.1 204 No Content\r\nContent-Length: 38\r\n\r\n",
       Ending::None, 204, ""},
      {"304 has no body whatever its length says", "HTTP/1.1 304 Not Modified\r\nContent-Length: 38\r\n\r\n",
       Ending::None, 304, ""},
      {"the same length twice", kOk + "Content-Length: 2\r\nContent-Length: 2\r\n\r\nok", Ending::None, 200,
       "ok"},
      {"the same length listed twice", kOk + "Content-Length: 2, 2\r\n\r\nok", Ending::None, 200, "ok"},
      {"a body until a clean close", kOk + "\r\nall of it", Ending::Clean, 200, "all of it"},
      {"a body of exactly the limit",
       kOk + "Content-Length: " + std::to_string(megabyte.size()) + "\r\n\r\n" + megabyte, Ending::None, 200,
       megabyte},

      {"101 nobody asked for", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\n", Ending::Clean, -1,
       "", TransportFailure::ProtocolError},
      {"a length in hexadecimal", kOk + "Content-Length: 0x27\r\n\r\n" + std::string(39, 'a'), Ending::Clean,
       -1, "", TransportFailure::ProtocolError},
      {"a negative length", kOk + "Content-Length: -1\r\n\r\n", Ending::Clean, -1, "",
       TransportFailure::ProtocolError},
      {"an empty length", kOk + "Content-Length:\r\n\r\n", Ending::Clean, -1, "",
       TransportFailure::ProtocolError},
      {"two different lengths", kOk + "Content-Length: 2\r\nContent-Length: 5\r\n\r\nhello", Ending::Clean,
       -1, "", TransportFailure::ProtocolError},
      {"two different lengths in one field", kOk + "Content-Length: 2, 5\r\n\r\nhello", Ending::Clean, -1, "",
       TransportFailure::ProtocolError},
      {"a length and chunks", kOk + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       Ending::Clean, -1, "", TransportFailure::ProtocolError},
      {"a transfer coding other than chunked", kOk + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
       Ending::Clean, -1, "", TransportFailure::ProtocolError},
      {"a chunk size that is no number",
       kOk + "Transfer-Encoding: chunked\r\n\r\nzz\r\n{\"ok\":1}\r\n0\r\n\r\n", Ending::Clean, -1, "",
       TransportFailure::ProtocolError},
      {"a chunk size that wraps at 2^64",
       kOk + "Transfer-Encoding: chunked\r\n\r\n10000000000000005\r\nhello\r\n0\r\n\r\n", Ending::Clean, -1,
       "", TransportFailure::ProtocolError},
      {"a chunk longer than its size", kOk + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcd\r\n0\r\n\r\n",
       Ending::Clean, -1, "", TransportFailure::ProtocolError},
      {"an endless chunk extension", kOk + "Transfer-Encoding: chunked\r\n\r\n1;" + std::string(5000, 'e'),
       Ending::Clean, -1, "", TransportFailure::ProtocolError},
      {"a status line that is no HTTP", "ICY 200 OK\r\n\r\n", Ending::Clean, -1, "",
       TransportFailure::ProtocolError},
      {"HTTP/2 in a text head", "HTTP/2 200\r\n\r\n", Ending::Clean, -1, "", TransportFailure::ProtocolError},
      {"a header without a colon", kOk + "Content-Length 2\r\n\r\nok", Ending::Clean, -1, "",
       TransportFailure::ProtocolError},
      {"a blank before the colon", kOk + "Content-Length : 2\r\n\r\nok", Ending::Clean, -1, "",
       TransportFailure::ProtocolError},
      {"a folded header", kOk + "X-Note: one\r\n two\r\nContent-Length: 2\r\n\r\nok", Ending::Clean, -1, "",
       TransportFailure::ProtocolError},
      {"a bare CR in a header", kOk + "X-Note: a\rContent-Length: 1\r\nContent-Length: 2\r\n\r\nok",
       Ending::Clean, -1, "", TransportFailure::ProtocolError},

      {"a head over its limit", kOk + "X-Filler: " + std::string(kAnswerHeadLimit, 'f') + "\r\n\r\n",
       Ending::Clean, -1, "", TransportFailure::AnswerTooLarge},
      {"interim answers over the head limit",
       Repeat("HTTP/1.1 102 Processing\r\nX-Filler: " + std::string(1000, 'f') + "\r\n\r\n", 70),
       Ending::Clean, -1, "", TransportFailure::AnswerTooLarge},
      {"a declared length over the limit", kOk + "Content-Length: 104857600\r\n\r\n", Ending::Clean, -1, "",
       TransportFailure::AnswerTooLarge},
      {"a length beyond 64 bits", kOk + "Content-Length: 123456789012345678901234567890\r\n\r\n",
       Ending::Clean, -1, "", TransportFailure::AnswerTooLarge},
      {"chunks over the limit",
       kOk + "Transfer-Encoding: chunked\r\n\r\n" +
           Repeat("80000\r\n" + std::string(0x80000, 'c') + "\r\n", 3),
       Ending::Clean, -1, "", TransportFailure::AnswerTooLarge},
      {"a body until close over the limit", kOk + "\r\n" + megabyte + "x", Ending::Clean, -1, "",
       TransportFailure::AnswerTooLarge},

      {"nothing at all", "", Ending::Clean, -1, "", TransportFailure::ConnectionLost},
      {"a head cut short", kOk + "Content-Len", Ending::Clean, -1, "", TransportFailure::ConnectionLost},
      {"a body cut short of its length", kOk + "Content-Length: 10\r\n\r\nhello", Ending::Clean, -1, "",
       TransportFailure::ConnectionLost},
      {"chunks cut short", kOk + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", Ending::Clean, -1, "",
       TransportFailure::ConnectionLost},
      {"a chunk cut in its data", kOk + "Transfer-Encoding: chunked\r\n\r\n5\r\nhel", Ending::Clean, -1, "",
       TransportFailure::ConnectionLost},
      {"a trailer cut short", kOk + "Transfer-Encoding: chunked\r\n\r\n0\r\nX-Sum: 1\r\n", Ending::Clean, -1,
       "", TransportFailure::ConnectionLost},
      {"a body until a close without close_notify", kOk + "\r\n{\"bonusBalance\":5", Ending::Unclean, -1, "",
       TransportFailure::ConnectionLost},
  };
}

TEST(HttpAnswerReaderTest, ReadsAnswersAsHttp11FramesThemWhateverPiecesTheyComeIn) {
  for (const ReaderCase& c : Cases()) {
    // Whole, in pieces of three bytes, byte by byte: the answer does not depend on the pieces.
    for (const size_t piece : {size_t{0}, size_t{3}, size_t{1}}) {
      if (piece == 1 && c.bytes.size() > 100'000) continue;
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      const HttpAnswer answer = Read(c.bytes, c.ending, piece);
      EXPECT_EQ(answer.failure, c.failure) << answer.error;
      EXPECT_EQ(answer.status, c.status);
      EXPECT_TRUE(answer.body == c.body) << "body of " << answer.body.size() << " bytes";
      EXPECT_EQ(answer.error.empty(), c.failure == TransportFailure::None) << answer.error;
    }
  }
}

TEST(HttpAnswerReaderTest, ACompleteAnswerIsFinishedBeforeTheConnectionEnds) {
  HttpAnswerReader reader(nullptr);
  reader.Feed(kOk + "Content-Length: 2\r\n\r\no");
  EXPECT_FALSE(reader.Finished());
  reader.Feed("k");
  EXPECT_TRUE(reader.Finished());
  EXPECT_EQ(reader.Answer().body, "ok");

  HttpAnswerReader chunked(nullptr);
  chunked.Feed(kOk + "Transfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n");
  EXPECT_FALSE(chunked.Finished()) << "the trailer's empty line is still to come";
  chunked.Feed("\r\n");
  EXPECT_TRUE(chunked.Finished());
}

class Recorder final : public IHttpEvents {
 public:
  void OnConnected(std::string_view) noexcept override {}
  void OnSent(std::string_view) noexcept override {}
  void OnReceived(std::string_view bytes) noexcept override { received.emplace_back(bytes); }
  void OnDisconnected() noexcept override {}
  std::vector<std::string> received;
};

TEST(HttpAnswerReaderTest, TheLogHearsEachHeadAsOneBlockAndTheBodyAsItCame) {
  const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
  const std::string head = kOk + "Transfer-Encoding: chunked\r\n\r\n";
  const std::string body = "2\r\nok\r\n0\r\n\r\n";
  Recorder recorder;
  const HttpAnswer answer = Read(interim + head + body, Ending::None, 0, &recorder);
  ASSERT_EQ(answer.status, 200);
  EXPECT_EQ(recorder.received, (std::vector<std::string>{interim, head, body}));

  Recorder pieces;
  Read(interim + head + body, Ending::None, 4, &pieces);
  ASSERT_GE(pieces.received.size(), 3u);
  EXPECT_EQ(pieces.received[0], interim);
  EXPECT_EQ(pieces.received[1], head);
  std::string logged;
  for (size_t i = 2; i < pieces.received.size(); ++i) logged += pieces.received[i];
  EXPECT_EQ(logged, body);
}

TEST(HttpAnswerReaderTest, AnEndlessHeadIsLoggedNoFurtherThanItsLimit) {
  Recorder recorder;
  const std::string endless = kOk + "X-Filler: " + std::string(10 * kAnswerHeadLimit, 'f');
  const HttpAnswer answer = Read(endless, Ending::None, 4096, &recorder);
  EXPECT_EQ(answer.failure, TransportFailure::AnswerTooLarge);
  size_t logged = 0;
  for (const std::string& block : recorder.received) logged += block.size();
  EXPECT_LE(logged, kAnswerHeadLimit);
  EXPECT_GT(logged, kAnswerHeadLimit / 2);
}

TEST(AnswerHeadRulesTest, TakesTheFinalHeadsFieldsAndCountsTheTrailerAgainstTheLimit) {
  AnswerHeadRules rules;
  for (const char* line :
       {"HTTP/1.1 103 Early Hints\r\n", "Content-Type: text/plain\r\n", "\r\n", "HTTP/1.1 200 OK\r\n",
        "Content-Type: application/json; charset=utf-8\r\n", "Transfer-Encoding: chunked\r\n", "\r\n"}) {
    ASSERT_TRUE(rules.Line(line)) << line;
  }
  EXPECT_TRUE(rules.FinalHeadComplete());
  EXPECT_EQ(rules.Status(), 200);
  EXPECT_EQ(rules.Framing(), BodyFraming::Chunked);
  EXPECT_EQ(rules.ContentType(), "application/json; charset=utf-8");

  const std::string big = "X-Big: " + std::string(rules.BytesLeft(), 'b') + "\r\n";
  EXPECT_FALSE(rules.Line(big));
  ASSERT_TRUE(rules.Fault());
  EXPECT_EQ(rules.Fault()->kind, TransportFailure::AnswerTooLarge);
}

}  // namespace
}  // namespace tallowmer
