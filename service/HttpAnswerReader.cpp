#include "service/HttpAnswerReader.h"

#include <algorithm>
#include <limits>

#include "common/Unicode.h"

namespace tallowmer {
namespace {

// A chunk's size line: the size, perhaps extensions, the line end; far more than any server writes.
constexpr size_t kChunkLineLimit = 4096;
// Sixteen hexadecimal digits fill 64 bits; a seventeenth would wrap the size around.
constexpr size_t kChunkSizeDigits = 16;
constexpr size_t kShownLimit = 40;

std::string_view WithoutLineEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A field name's characters (RFC 9110, 5.6.2).
bool IsTokenCharacter(char c) {
  static constexpr std::string_view kPunctuation = "!#$%&'*+-.^_`|~";
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         kPunctuation.find(c) != std::string_view::npos;
}

// A decimal number of any length; a number beyond 64 bits counts as the largest one, which no limit
// admits. Nothing when the text is not digits alone.
std::optional<uint64_t> Decimal(std::string_view text) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), IsDigit)) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10)
      return std::numeric_limits<uint64_t>::max();
    value = value * 10 + digit;
  }
  return value;
}

// A piece of the server's text for a failure's words: short, and unable to break a line.
std::string Shown(std::string_view text) {
  if (text.size() <= kShownLimit) return "«" + EscapeControls(text) + "»";
  return "«" + EscapeControls(text.substr(0, kShownLimit)) + "…»";
}

std::string HeadTooLarge() {
  return "заголовки ответа длиннее " + std::to_string(kAnswerHeadLimit) + " байт";
}

std::string BodyTooLarge() {
  return "тело ответа длиннее " + std::to_string(kAnswerBodyLimit) + " байт";
}

}  // namespace

bool AnswerHeadRules::Fail(TransportFailure kind, std::string detail) {
  if (!fault_) fault_ = AnswerFault{kind, std::move(detail)};
  return false;
}

bool AnswerHeadRules::Line(std::string_view line) {
  if (fault_) return false;
  if (line.size() > BytesLeft()) return Fail(TransportFailure::AnswerTooLarge, HeadTooLarge());
  used_ += line.size();
  const std::string_view text = WithoutLineEnd(line);
  // A bare CR could end the line for one reader and not for another.
  if (text.find('\r') != std::string_view::npos)
    return Fail(TransportFailure::ProtocolError, "одиночный символ CR в заголовке ответа");
  if (text.find('\0') != std::string_view::npos)
    return Fail(TransportFailure::ProtocolError, "нулевой байт в заголовке ответа");
  switch (stage_) {
    case Stage::StatusLine:
      return StatusLine(text);
    case Stage::InterimFields:
      if (text.empty()) stage_ = Stage::StatusLine;
      return true;
    case Stage::Fields:
      return text.empty() ? DecideFraming() : Field(text);
    case Stage::Trailer:
      if (text.empty()) stage_ = Stage::Done;
      return true;
    case Stage::Done:
      break;
  }
  return Fail(TransportFailure::ProtocolError, "строка после конца ответа");
}

// "HTTP/1.1 200 OK": the version, a blank, three digits, and a reason after a blank, which may be
// missing altogether.
bool AnswerHeadRules::StatusLine(std::string_view text) {
  const bool wellFormed = text.size() >= 12 && text.substr(0, 7) == "HTTP/1." && IsDigit(text[7]) &&
                          text[8] == ' ' && IsDigit(text[9]) && IsDigit(text[10]) && IsDigit(text[11]) &&
                          (text.size() == 12 || text[12] == ' ');
  if (!wellFormed) return Fail(TransportFailure::ProtocolError, "неверная строка состояния " + Shown(text));
  const int32_t status = (text[9] - '0') * 100 + (text[10] - '0') * 10 + (text[11] - '0');
  if (status < 100 || status > 599)
    return Fail(TransportFailure::ProtocolError, "неверный код состояния " + std::to_string(status));
  // A connection taken over by another protocol can carry anything; it was never asked for.
  if (status == 101)
    return Fail(TransportFailure::ProtocolError,
                "сервер перешел на другой протокол (101), о чем его не просили");
  if (status < 200) {
    stage_ = Stage::InterimFields;
    return true;
  }
  status_ = status;
  stage_ = Stage::Fields;
  return true;
}

bool AnswerHeadRules::Field(std::string_view text) {
  // A folded line and a blank before the colon are read differently by different readers.
  if (text.front() == ' ' || text.front() == '\t')
    return Fail(TransportFailure::ProtocolError, "заголовок ответа продолжен на следующей строке");
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos)
    return Fail(TransportFailure::ProtocolError, "строка заголовка ответа без двоеточия " + Shown(text));
  const std::string_view name = text.substr(0, colon);
  if (name.empty() || !std::all_of(name.begin(), name.end(), IsTokenCharacter))
    return Fail(TransportFailure::ProtocolError, "неверное имя заголовка ответа " + Shown(name));
  const std::string_view value = TrimBlanks(text.substr(colon + 1));
  const std::string lowerName = Lower(name);
  const auto join = [value](std::optional<std::string>& values) {
    values = values ? *values + "," + std::string(value) : std::string(value);
  };
  if (lowerName == "content-length") {
    join(contentLengths_);
  } else if (lowerName == "transfer-encoding") {
    join(transferCodings_);
  } else if (lowerName == "content-type") {
    contentType_ = std::string(value);
  }
  return true;
}

// RFC 9112, 6.3, strictly: where the framing is in doubt, the answer is refused, since a body read
// by the wrong length is another answer's or none.
bool AnswerHeadRules::DecideFraming() {
  stage_ = Stage::Trailer;
  if (status_ == 204 || status_ == 304) {
    framing_ = BodyFraming::None;
    return true;
  }
  if (transferCodings_) {
    if (contentLengths_)
      return Fail(TransportFailure::ProtocolError, "ответ указывает и длину тела, и кодирование передачи");
    if (Lower(TrimBlanks(*transferCodings_)) != "chunked") {
      return Fail(TransportFailure::ProtocolError,
                  "кодирование передачи не поддерживается: " + Shown(*transferCodings_));
    }
    framing_ = BodyFraming::Chunked;
    return true;
  }
  if (!contentLengths_) {
    framing_ = BodyFraming::UntilClose;
    return true;
  }
  std::optional<uint64_t> length;
  std::string_view values = *contentLengths_;
  while (true) {
    const size_t comma = values.find(',');
    const std::optional<uint64_t> value = Decimal(TrimBlanks(values.substr(0, comma)));
    if (!value)
      return Fail(TransportFailure::ProtocolError, "длина тела не число: " + Shown(*contentLengths_));
    if (length && *length != *value)
      return Fail(TransportFailure::ProtocolError, "разные длины тела: " + Shown(*contentLengths_));
    length = value;
    if (comma == std::string_view::npos) break;
    values.remove_prefix(comma + 1);
  }
  if (*length > kAnswerBodyLimit) return Fail(TransportFailure::AnswerTooLarge, BodyTooLarge());
  framing_ = BodyFraming::Length;
  length_ = *length;
  return true;
}

size_t HttpAnswerReader::Feed(std::string_view bytes) {
  if (!bytes.empty()) anythingReceived_ = true;
  size_t taken = 0;
  // Where the bytes after the head begin, for the log: the body is logged as it came, in one block.
  size_t bodyFrom = stage_ == Stage::Head ? std::string_view::npos : 0;
  while (taken < bytes.size() && !Finished()) {
    const std::string_view rest = bytes.substr(taken);
    switch (stage_) {
      case Stage::Head:
        taken += TakeHeadLine(rest);
        if (stage_ != Stage::Head) bodyFrom = taken;
        break;
      case Stage::Body:
        taken += TakeBody(rest);
        break;
      case Stage::ChunkSize:
        taken += TakeChunkSize(rest);
        break;
      case Stage::ChunkData: {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(remaining_, rest.size()));
        body_.append(rest.substr(0, piece));
        remaining_ -= piece;
        if (remaining_ == 0) stage_ = Stage::ChunkDataEnd;
        taken += piece;
        break;
      }
      case Stage::ChunkDataEnd:
        taken += TakeChunkDataEnd(rest);
        break;
      case Stage::Trailer:
        taken += TakeTrailerLine(rest);
        break;
      case Stage::Complete:
      case Stage::Failed:
        break;
    }
  }
  if (events_ != nullptr && bodyFrom < taken) events_->OnReceived(bytes.substr(bodyFrom, taken - bodyFrom));
  return taken;
}

size_t HttpAnswerReader::TakeHeadLine(std::string_view bytes) {
  const size_t end = bytes.find('\n');
  const size_t piece = end == std::string_view::npos ? bytes.size() : end + 1;
  if (line_.size() + piece > rules_.BytesLeft()) {
    head_.append(bytes.substr(0, std::min(piece, rules_.BytesLeft() - line_.size())));
    FlushHead();
    Fail(TransportFailure::AnswerTooLarge, HeadTooLarge());
    return piece;
  }
  line_.append(bytes.substr(0, piece));
  head_.append(bytes.substr(0, piece));
  if (end == std::string_view::npos) return piece;
  const bool headEnds = WithoutLineEnd(line_).empty();
  const bool kept = rules_.Line(line_);
  line_.clear();
  if (!kept || headEnds) FlushHead();
  if (!kept) {
    FailOnRules();
  } else if (rules_.FinalHeadComplete()) {
    StartBody();
  }
  return piece;
}

void HttpAnswerReader::StartBody() {
  switch (rules_.Framing()) {
    case BodyFraming::None:
      stage_ = Stage::Complete;
      break;
    case BodyFraming::Length:
      remaining_ = rules_.Length();
      stage_ = remaining_ == 0 ? Stage::Complete : Stage::Body;
      break;
    case BodyFraming::Chunked:
      stage_ = Stage::ChunkSize;
      break;
    case BodyFraming::UntilClose:
      stage_ = Stage::Body;
      break;
  }
}

size_t HttpAnswerReader::TakeBody(std::string_view bytes) {
  if (rules_.Framing() == BodyFraming::Length) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(remaining_, bytes.size()));
    body_.append(bytes.substr(0, piece));
    remaining_ -= piece;
    if (remaining_ == 0) stage_ = Stage::Complete;
    return piece;
  }
  if (bytes.size() > kAnswerBodyLimit - body_.size()) {
    Fail(TransportFailure::AnswerTooLarge, BodyTooLarge());
  } else {
    body_.append(bytes);
  }
  return bytes.size();
}

// The size in hexadecimal digits, then perhaps blanks and extensions after ';', which mean nothing
// here, then the line end.
size_t HttpAnswerReader::TakeChunkSize(std::string_view bytes) {
  const size_t end = bytes.find('\n');
  const size_t piece = end == std::string_view::npos ? bytes.size() : end + 1;
  if (line_.size() + piece > kChunkLineLimit) {
    Fail(TransportFailure::ProtocolError,
         "строка размера части тела длиннее " + std::to_string(kChunkLineLimit) + " байт");
    return piece;
  }
  line_.append(bytes.substr(0, piece));
  if (end == std::string_view::npos) return piece;
  const std::string_view text = WithoutLineEnd(line_);
  uint64_t size = 0;
  size_t digits = 0;
  for (; digits < text.size() && HexValue(text[digits]) >= 0; ++digits) {
    if (digits == kChunkSizeDigits) {
      Fail(TransportFailure::ProtocolError, "размер части тела не умещается в 64 бита: " + Shown(text));
      return piece;
    }
    size = size * 16 + static_cast<uint64_t>(HexValue(text[digits]));
  }
  const std::string_view after = TrimBlanks(text.substr(digits));
  if (digits == 0 || (!after.empty() && after.front() != ';')) {
    Fail(TransportFailure::ProtocolError, "неверный размер части тела " + Shown(text));
    return piece;
  }
  line_.clear();
  if (size == 0) {
    stage_ = Stage::Trailer;
  } else if (size > kAnswerBodyLimit - body_.size()) {
    Fail(TransportFailure::AnswerTooLarge, BodyTooLarge());
  } else {
    remaining_ = size;
    stage_ = Stage::ChunkData;
  }
  return piece;
}

size_t HttpAnswerReader::TakeChunkDataEnd(std::string_view bytes) {
  line_ += bytes.front();
  if (line_ == "\r") return 1;
  if (line_ == "\r\n" || line_ == "\n") {
    line_.clear();
    stage_ = Stage::ChunkSize;
  } else {
    Fail(TransportFailure::ProtocolError, "часть тела длиннее своего размера");
  }
  return 1;
}

size_t HttpAnswerReader::TakeTrailerLine(std::string_view bytes) {
  const size_t end = bytes.find('\n');
  const size_t piece = end == std::string_view::npos ? bytes.size() : end + 1;
  if (line_.size() + piece > rules_.BytesLeft()) {
    Fail(TransportFailure::AnswerTooLarge, HeadTooLarge());
    return piece;
  }
  line_.append(bytes.substr(0, piece));
  if (end == std::string_view::npos) return piece;
  const bool kept = rules_.Line(line_);
  line_.clear();
  if (!kept) {
    FailOnRules();
  } else if (rules_.TrailerComplete()) {
    stage_ = Stage::Complete;
  }
  return piece;
}

void HttpAnswerReader::End(bool clean) {
  switch (stage_) {
    case Stage::Complete:
    case Stage::Failed:
      return;
    case Stage::Head:
      FlushHead();
      Fail(TransportFailure::ConnectionLost, anythingReceived_
                                                 ? "соединение закрыто посреди заголовков ответа"
                                                 : "сервер закрыл соединение, не ответив");
      return;
    case Stage::Body:
      if (rules_.Framing() == BodyFraming::Length) {
        Fail(TransportFailure::ConnectionLost,
             "соединение закрыто, не получено " + std::to_string(remaining_) + " байт тела");
      } else if (clean) {
        stage_ = Stage::Complete;
      } else {
        // Over TLS only close_notify tells the end of the body from a connection cut by anyone.
        Fail(TransportFailure::ConnectionLost,
             "соединение закрыто без завершения TLS: тело ответа могло быть обрезано");
      }
      return;
    case Stage::ChunkSize:
    case Stage::ChunkData:
    case Stage::ChunkDataEnd:
    case Stage::Trailer:
      Fail(TransportFailure::ConnectionLost, "соединение закрыто до последней части тела");
      return;
  }
}

HttpAnswer HttpAnswerReader::Answer() {
  if (stage_ == Stage::Complete) {
    HttpAnswer answer;
    answer.status = rules_.Status();
    answer.body = std::move(body_);
    answer.contentType = rules_.ContentType();
    return answer;
  }
  if (stage_ != Stage::Failed)
    return HttpAnswer::Failed(TransportFailure::ConnectionLost, "ответ не дочитан");
  return HttpAnswer::Failed(fault_.kind, fault_.detail);
}

void HttpAnswerReader::Fail(TransportFailure kind, std::string detail) {
  stage_ = Stage::Failed;
  fault_ = AnswerFault{kind, std::move(detail)};
  // What was read of a refused answer is of no use to anyone.
  std::string().swap(body_);
}

void HttpAnswerReader::FailOnRules() {
  const std::optional<AnswerFault>& fault = rules_.Fault();
  Fail(fault ? fault->kind : TransportFailure::ProtocolError, fault ? fault->detail : std::string());
}

void HttpAnswerReader::FlushHead() {
  if (events_ != nullptr && !head_.empty()) events_->OnReceived(head_);
  head_.clear();
}

}  // namespace tallowmer
