#pragma once

// THTTPRest: the transport under the loyalty service client. It sends one GET, or one POST with a
// JSON body, at a time, writes every exchange to the daily HTTP log, and hands back the answer as
// a text, a code and a description. No failure leaves it as an exception.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "service/HttpLog.h"
#include "service/HttpTransport.h"

namespace tallowmer {

enum TMethodType : uint8_t { mtGet = 0, mtPost = 1, mtDelete = 2 };

// <common application data>/Quorvane/ls_tallowmer, without a trailing delimiter.
std::string GetProductDataFolder();

// A query value as the service must receive it: the bytes that cannot stand in a query (controls,
// the blank, non-ASCII, '#', '"', '<', '>', '\\', '^', '`', '{', '|', '}', '[', ']') and '&' are
// percent-encoded; everything else, '+', '=' and '%' among it, is inserted unchanged.
std::string EncodeQueryValue(std::string_view value);

class THTTPRest {
 public:
  // The platform's HTTP client.
  explicit THTTPRest(bool ALogEnabled);
  THTTPRest(bool ALogEnabled, std::unique_ptr<IHttpTransport> AHTTPClient);
  THTTPRest(const THTTPRest&) = delete;
  THTTPRest& operator=(const THTTPRest&) = delete;

  // One request. AResponse is the body of a 2xx answer; ACode the status, or -1 when no answer
  // came or the log could not be prepared; AResultDescription the body of an error answer or the
  // failure's message. mtDelete sends nothing and leaves ACode as it was.
  void MakeRequest(TMethodType AMethod, const std::string& AURL, const std::string& AData,
                   std::string& AResponse, int32_t& ACode, std::string& AResultDescription) noexcept;

  // A POST with an empty body and nothing logged, to bring up TLS before the first real request.
  // Returns the status, or -1 when no answer came. The TLS library is linked in, so its loading
  // cannot fail on its own.
  int32_t PostWithoutLog(const std::string& AURL) noexcept;

  IHttpTransport& IdHTTPClient() { return *FIdHTTPClient; }
  // Puts another HTTP client in place and hands back the one that was there.
  std::unique_ptr<IHttpTransport> ReplaceHTTPClient(std::unique_ptr<IHttpTransport> AHTTPClient) {
    FIdHTTPClient.swap(AHTTPClient);
    return AHTTPClient;
  }
  bool LogEnabled() const { return FLogEnabled; }
  void SetLogEnabled(bool value) { FLogEnabled = value; }
  const std::string& LogDir() const { return FLogDir; }
  void SetLogDir(const std::string& value) { FLogDir = value; }

 private:
  int32_t HTTPGet(const std::string& AURL, std::string& AResponse, std::string& AResultDescription,
                  IHttpEvents& log);
  int32_t HTTPPost(const std::string& AURL, const std::string& AData, std::string& AResponse,
                   std::string& AResultDescription, IHttpEvents& log);
  int32_t Send(HttpVerb verb, const std::string& AURL, std::string_view body, std::string& AResponse,
               std::string& AResultDescription, IHttpEvents& log);
  std::string PrepareLogFolder() const;

  std::unique_ptr<IHttpTransport> FIdHTTPClient;
  bool FLogEnabled;
  std::string FLogDir;
};

}  // namespace tallowmer
