#include "service/HttpLog.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "service/Charset.h"
#include "service/uHTTP.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

TEST(HttpLogLineTest, LineBreaksAreShownAsMarkers) {
  const std::pair<std::string, std::string> cases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", "GET / HTTP/1.1<EOL>Host: x<EOL><EOL>"},
      {"a\rb", "a<CR>b"},
      {"a\nb", "a<LF>b"},
      {"\n\r", "<LF><CR>"},
      {"\r\r\n", "<CR><EOL>"},
      {"\r\n\n", "<EOL><LF>"},
      {"end\r", "end<CR>"},
      {"", ""},
      {std::string("\0\xff\xd0\x96", 4), std::string("\0\xff\xd0\x96", 4)},
  };
  for (const auto& [bytes, expected] : cases) EXPECT_EQ(RenderLogBytes(bytes), expected);
}

TEST(HttpLogLineTest, OnlyTheTokenOfTheRequestLineIsMasked) {
  const std::pair<std::string, std::string> cases[] = {
      {"GET /api/v2/ping?token=abc1234 HTTP/1.1\r\nAccept: */*\r\n\r\n",
       "GET /api/v2/ping?token=*** HTTP/1.1\r\nAccept: */*\r\n\r\n"},
      {"GET /c?token=12345678&type=phone&id=12345678 HTTP/1.1\r\n\r\n",
       "GET /c?token=***&type=phone&id=12345678 HTTP/1.1\r\n\r\n"},
      {"GET /c?id=1&token=k HTTP/1.1\r\n", "GET /c?id=1&token=*** HTTP/1.1\r\n"},
      {"POST http://svc/c?token=k&x=token=y HTTP/1.1\r\n",
       "POST http://svc/c?token=***&x=token=y HTTP/1.1\r\n"},
      {"GET /c?mytoken=k&token2=k HTTP/1.1\r\n", "GET /c?mytoken=k&token2=k HTTP/1.1\r\n"},
      {"GET /ping?token= HTTP/1.1\r\n", "GET /ping?token= HTTP/1.1\r\n"},
      {"GET /ping?token=k#frag HTTP/1.1\r\n", "GET /ping?token=***#frag HTTP/1.1\r\n"},
      {"GET /ping?token=k", "GET /ping?token=***"},
      {"GET /ping?token=k HTTP", "GET /ping?token=k HTTP"},
      {R"({"token":"k","id":"?token=k HTTP/1.1"})", R"({"token":"k","id":"?token=k HTTP/1.1"})"},
      {"HTTP/1.1 200 OK\r\nX: /p?token=k HTTP/1.1\r\n", "HTTP/1.1 200 OK\r\nX: /p?token=k HTTP/1.1\r\n"},
      {"", ""},
  };
  for (const auto& [block, expected] : cases) EXPECT_EQ(MaskTokenInRequestLine(block), expected) << block;
}

TEST(HttpLogWriterTest, AConnectionsAnswerIsLoggedUpToTheLimitsAndTheRestOnlyCounted) {
  testing::TestEnv env;
  const std::string path = env.Root() + "http.log";
  const std::string block(64 * 1024, 'x');
  const size_t blocks = HttpLogWriter::kLoggedAnswerLimit / block.size() + 3;
  {
    HttpLogFile file(path);
    HttpLogWriter writer(&file);
    writer.OnConnected("");
    for (size_t i = 0; i < blocks; ++i) writer.OnReceived(block);
    writer.OnDisconnected();
    // The next connection's answer is logged again; a rest of its own is noted even without the
    // connection's end.
    writer.OnConnected("");
    writer.OnReceived("later");
    writer.OnReceived(std::string(HttpLogWriter::kLoggedAnswerLimit, 'y'));
  }
  const std::string content = testing::TestEnv::ReadFile(path);
  EXPECT_EQ(static_cast<size_t>(std::count(content.begin(), content.end(), 'x')),
            HttpLogWriter::kLoggedAnswerLimit);
  const size_t rest = blocks * block.size() - HttpLogWriter::kLoggedAnswerLimit;
  EXPECT_NE(content.find("\r\nStat Not logged: " + std::to_string(rest) +
                         " more bytes received.\r\nStat Disconnected.\r\n"),
            std::string::npos);
  EXPECT_NE(content.find("later"), std::string::npos);
  const std::string last = "\r\nStat Not logged: 5 more bytes received.\r\n";
  EXPECT_EQ(content.substr(content.size() - last.size()), last);
}

TEST(CharsetTest, ContentTypeNamesItsCharset) {
  const std::pair<std::string, std::string> cases[] = {
      {"text/html; charset=windows-1251", "windows-1251"},
      {"application/json;charset=\"KOI8-R\"", "koi8-r"},
      {"text/html; boundary=x ;  Charset = UTF-8 ", "utf-8"},
      {"text/plain", ""},
      {"", ""},
  };
  for (const auto& [contentType, charset] : cases) EXPECT_EQ(CharsetOfContentType(contentType), charset);
}

TEST(CharsetTest, BodiesAreDecodedByTheirCharset) {
  const std::string privet = "Привет №1";
  const struct {
    std::string bytes;
    std::string charset;
    std::string expected;
  } cases[] = {
      {"\xcf\xf0\xe8\xe2\xe5\xf2 \xb9\x31", "windows-1251", privet},
      {"\xcf\xf0\xe8\xe2\xe5\xf2 \xb9\x31", "CP1251", privet},
      {"\xf0\xd2\xc9\xd7\xc5\xd4", "koi8-r", "Привет"},
      {privet, "utf-8", privet},
      {privet, "", privet},
      {"caf\xe9", "iso-8859-1", "café"},
      {privet, "x-unknown", privet},
      {"caf\xe9", "x-unknown", "café"},
      {"bad \xff end", "utf-8", "bad \xef\xbf\xbd end"},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeToUtf8(c.bytes, c.charset), c.expected) << c.charset;
}

TEST(QueryValueTest, OnlyWhatCannotStandInAQueryAndTheAmpersandAreEncoded) {
  const std::pair<std::string, std::string> cases[] = {
      {"555", "555"},
      {"AZaz09-._~!$'()*,;:@/?", "AZaz09-._~!$'()*,;:@/?"},
      {"+7 900 000-00-00", "+7%20900%20000-00-00"},
      {"a&b=c", "a%26b=c"},
      {"#50%", "%2350%"},
      {"\"<>\\^`{|}", "%22%3C%3E%5C%5E%60%7B%7C%7D"},
      {"[1]", "%5B1%5D"},
      {"\x7f", "%7F"},
      {"Ив", "%D0%98%D0%B2"},
      {"a\tb", "a%09b"},
      {"", ""},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(EncodeQueryValue(value), expected);
}

TEST(ProductDataFolderTest, LiesUnderTheCommonApplicationDataFolder) {
  testing::TestEnv env;
  EXPECT_EQ(GetProductDataFolder(), env.Root() + "common/Quorvane/ls_tallowmer");
}

}  // namespace
}  // namespace tallowmer
