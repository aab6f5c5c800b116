// Feeds arbitrary answers (status, content type, body) through the transport's decoding, the
// re-writing of answers and GetResult. Only success, EquException or EJsonError may come out, and
// a re-written answer must read back to the same text.

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "common/uEquipmentErrors.h"
#include "service/JsonWriter.h"
#include "service/uDevice.h"
#include "tests/service/FakeTransport.h"

namespace {

// The log folder the transport insists on creating, removed when the run ends.
class ScratchFolder {
 public:
  ScratchFolder()
      : path_((std::filesystem::temp_directory_path() / ("ls_tallowmer_fuzz_" + std::to_string(::getpid())))
                  .string()) {}
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tallowmer;
  static const ScratchFolder folder;
  static const char* const kContentTypes[] = {"application/json", "text/html; charset=windows-1251",
                                              "text/plain; charset=koi8-r",
                                              "text/html; charset=\"x-unknown\"", ""};
  if (size < 3) return 0;
  const int32_t status = ((data[0] << 8) | data[1]) % 700 - 1;
  const std::string contentType = kContentTypes[data[2] % std::size(kContentTypes)];
  const std::string body(reinterpret_cast<const char*>(data) + 3, size - 3);

  auto transport = std::make_unique<testing::FakeTransport>();
  transport->answers.push_back({status, body, contentType, status < 0 ? body : ""});
  TDevice device(std::move(transport));
  device.SetHost("https://svc.test/api/v2");
  device.HTTPRest().SetLogEnabled(false);
  device.HTTPRest().SetLogDir(folder.Path());
  try {
    const std::string answer = device.ClientInfo(3, "555");
    if (WriteJson(ParseJson(answer)) != answer) __builtin_trap();
  } catch (const EquException&) {
  } catch (const EJsonError&) {
  }
  return 0;
}
