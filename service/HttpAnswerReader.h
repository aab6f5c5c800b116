#pragma once

// How an answer is read off an HTTP/1.1 connection (RFC 9112), apart from any library. The libcurl
// transport holds the lines of each head that libcurl hands over to AnswerHeadRules; the Windows
// transport reads the whole answer with HttpAnswerReader. So both refuse the same answers, with the
// same kinds: a length or chunk size that is no number, two lengths that disagree, an interim 101,
// heads and bodies over the limits, and a body that the connection's end cuts short.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/HttpTransport.h"

namespace tallowmer {

// Why an answer cannot be taken: the kind, and the words for the log and the description.
struct AnswerFault {
  TransportFailure kind = TransportFailure::None;
  std::string detail;
};

// How the final answer's body ends.
enum class BodyFraming {
  // No body: 204, 304.
  None,
  // After Content-Length bytes.
  Length,
  // With the last chunk and the trailer after it.
  Chunked,
  // When the connection ends, cleanly.
  UntilClose,
};

// The heads of one answer, line by line: the interim answers (100, 102, 103 ... are passed over as
// HTTP says), the final head, and the trailer of a chunked body. Every head line counts against
// kAnswerHeadLimit.
class AnswerHeadRules {
 public:
  // One line as received, with its line end ("HTTP/1.1 200 OK\r\n", "Content-Length: 2\r\n", "\r\n").
  // False when the line breaks a rule, now or before; Fault() says which.
  bool Line(std::string_view line);

  // Whether the final answer's head has ended with its empty line.
  bool FinalHeadComplete() const { return stage_ == Stage::Trailer || stage_ == Stage::Done; }
  // Whether the trailer after a chunked body has ended with its empty line.
  bool TrailerComplete() const { return stage_ == Stage::Done; }
  // What a head line still being received may grow to before the heads break their limit.
  size_t BytesLeft() const { return kAnswerHeadLimit - used_; }

  int32_t Status() const { return status_; }
  BodyFraming Framing() const { return framing_; }
  // The body's declared length, for BodyFraming::Length.
  uint64_t Length() const { return length_; }
  // The Content-Type of the final head; empty when it names none.
  const std::string& ContentType() const { return contentType_; }
  const std::optional<AnswerFault>& Fault() const { return fault_; }

 private:
  enum class Stage { StatusLine, InterimFields, Fields, Trailer, Done };

  bool Fail(TransportFailure kind, std::string detail);
  bool StatusLine(std::string_view line);
  bool Field(std::string_view line);
  bool DecideFraming();

  Stage stage_ = Stage::StatusLine;
  size_t used_ = 0;
  int32_t status_ = -1;
  BodyFraming framing_ = BodyFraming::UntilClose;
  uint64_t length_ = 0;
  // Every value of the final head's Content-Length and Transfer-Encoding fields, joined by commas.
  std::optional<std::string> contentLengths_;
  std::optional<std::string> transferCodings_;
  std::string contentType_;
  std::optional<AnswerFault> fault_;
};

// One answer read off a connection from its first byte: heads, body and trailer.
class HttpAnswerReader {
 public:
  // `events`, when given, hears each head as one block and the body's bytes as they came, chunk
  // sizes included.
  explicit HttpAnswerReader(IHttpEvents* events) : events_(events) {}

  // Takes bytes as they came off the connection; returns how many of them belong to the answer.
  size_t Feed(std::string_view bytes);
  // The connection ended: `clean` when it ended as its protocol says (over TLS: with close_notify).
  void End(bool clean);
  // Whether the answer is complete or has failed: nothing more is to be read.
  bool Finished() const { return stage_ == Stage::Complete || stage_ == Stage::Failed; }
  // The complete answer, or the failure; a reader that is not finished has failed.
  HttpAnswer Answer();

 private:
  enum class Stage { Head, Body, ChunkSize, ChunkData, ChunkDataEnd, Trailer, Complete, Failed };

  size_t TakeHeadLine(std::string_view bytes);
  size_t TakeBody(std::string_view bytes);
  size_t TakeChunkSize(std::string_view bytes);
  size_t TakeChunkDataEnd(std::string_view bytes);
  size_t TakeTrailerLine(std::string_view bytes);
  void StartBody();
  void Fail(TransportFailure kind, std::string detail);
  void FailOnRules();
  void FlushHead();

  IHttpEvents* events_;
  Stage stage_ = Stage::Head;
  AnswerHeadRules rules_;
  // The part of a line received so far.
  std::string line_;
  // The head being received, for the log.
  std::string head_;
  std::string body_;
  // Bytes still to come of a body with a length or of the chunk being read.
  uint64_t remaining_ = 0;
  bool anythingReceived_ = false;
  AnswerFault fault_;
};

}  // namespace tallowmer
