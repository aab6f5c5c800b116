#pragma once

// Calls on the driver object the way a point-of-sale host makes them: by name through
// GetIDsOfNames and Invoke, every argument a by-reference variable written back after the call.

#include <chrono>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "common/Dispatch.h"
#include "tools/host/SettingInfo.h"
#include "tools/host/VariantJson.h"

namespace tallowmer::host {

struct CallOutcome {
  HRESULT hr = hrOk;
  OleVariant result;
  ExcepInfo exception;
  // How long the driver took over the call itself.
  std::chrono::steady_clock::duration elapsed{};
};

struct SetupOptions {
  std::string deviceId = "1";
  // Setting values by ID, already converted.
  std::map<std::string, OleVariant> settings;
  // Setting values by ID as text, converted by the setting's declared type.
  std::map<std::string, std::string> textSettings;
};

class HostSession {
 public:
  HostSession(DispatchPtr driver, DispatchPtr manager, std::ostream& log)
      : driver_(std::move(driver)), manager_(std::move(manager)), log_(log) {}

  // `arguments` in call order; plain values are passed as by-reference variants and receive the
  // written-back values; typed references ({"$byref":X}) are passed as they are.
  CallOutcome Call(const std::string& method, std::vector<OleVariant>& arguments);

  // Init, Open, SetSettings, Enable; false (with the reason on the log) when a step failed.
  bool Start(const SetupOptions& options);
  // Disable and Close.
  void Stop();

  // The driver's settings in registry order, read with GetSettings; needs no Init.
  std::vector<SettingInfo> DeclaredSettings();

  const DispatchPtr& Manager() const { return manager_; }

 private:
  bool CallPublic(const std::string& method, OleVariant inData, OleVariant* outData = nullptr);
  bool ApplySettings(const SetupOptions& options);

  DispatchPtr driver_;
  DispatchPtr manager_;
  std::ostream& log_;
};

// InData, an empty OutData and TimeOut 0: the arguments with which a host calls a method.
inline std::vector<OleVariant> MethodArguments(OleVariant inData = OleVariant()) {
  return {std::move(inData), OleVariant(), OleVariant::Int32(0)};
}

// One output line: {"call":..,"hresult":..,"result":..,"args":[..],"exception":{..}}.
Json OutcomeToJson(const std::string& method, const CallOutcome& outcome,
                   const std::vector<OleVariant>& arguments);

}  // namespace tallowmer::host
