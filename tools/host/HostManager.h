#pragma once

// The equipment manager of the command-line host: answers the host properties, prints events,
// errors, messages and event-log entries to standard error, and answers dialogs as cancelled.

#include <ostream>
#include <string>

#include "core/uCOMSupport.h"

namespace tallowmer::host {

struct HostProperties {
  std::string devicesFolder;
  std::string modelsFolder;
  std::string language = "ru";
};

class HostManager : public TBaseObject {
 public:
  HostManager(HostProperties properties, std::ostream& log) : properties_(std::move(properties)), log_(log) {}
  void Initialize() override;

  // A new manager, reference held by the caller.
  static DispatchPtr Create(HostProperties properties, std::ostream& log);

 private:
  OleVariant GetAppProperty(SafeArray& params);
  OleVariant Report(const char* what, SafeArray& params, OleVariant answer);

  HostProperties properties_;
  std::ostream& log_;
};

}  // namespace tallowmer::host
