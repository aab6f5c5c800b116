#pragma once

// What the device tests share: an environment with a fixed module version and a scripted desktop,
// a device whose steps answer as the test sets them and leave a trace, and a fixture holding both
// the way a host holds them.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/Exceptions.h"
#include "common/uEquipmentErrors.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/support/TestEnv.h"

namespace tallowmer::testing {

class DeviceEnv : public TestEnv {
 public:
  platform::FileVersion ModuleVersion(const std::string&) override { return version; }

  uintptr_t ForegroundWindow() override { return foreground; }
  void SetWindowEnabled(uintptr_t window, bool enabled) override {
    windowEvents.push_back((enabled ? "enable " : "disable ") + std::to_string(window));
  }
  void ActivateWindow(uintptr_t window) override {
    windowEvents.push_back("activate " + std::to_string(window));
    foreground = window;
  }

  // Release 5 sits between minor and build so that a version text using it shows.
  platform::FileVersion version{2, 0, 5, 17};
  uintptr_t foreground = 0;
  std::vector<std::string> windowEvents;
};

class TestDevice : public TBaseDevice {
 public:
  int32_t DoInit(std::string& description) override {
    Trace("DoInit");
    description = initDescription;
    return initCode;
  }
  int32_t DoOpen(std::string& description) override {
    Trace("DoOpen " + DeviceID());
    description.clear();
    return kResultOk;
  }
  int32_t DoEnable(std::string& description) override {
    ++enables;
    Trace("DoEnable");
    description = enableDescription;
    return enableCode;
  }
  int32_t DoDisable(std::string& description) override {
    Trace("DoDisable");
    if (disableThrows) throw Exception("отключение не удалось");
    description.clear();
    return kResultOk;
  }
  void DoClose() override { Trace("DoClose " + Holding()); }
  void DoAfterClose() override { Trace("DoAfterClose " + Holding()); }
  void DoDestroy() override { Trace("DoDestroy"); }
  bool DoShowSettingsDlg() override { return dialogAccepted; }

  size_t FocusDepth() const { return FWindows.size(); }
  const std::string& ModelsFolder() const { return FModelsFolder; }
  void SetLogDir(const std::string& folder) { FDebugLogDir = folder; }
  // A connection secret as a driver declares one.
  void AddSecretSetting(const std::string& id, const std::string& value) {
    MarkSecretSetting(id);
    AddSetting(id, dtString, OleVariant::Text(""), false, id, id);
    SetSettingValue(id, OleVariant::Text(value));
  }

  int32_t initCode = kResultOk;
  std::string initDescription;
  int32_t enableCode = kResultOk;
  std::string enableDescription;
  int enables = 0;
  bool disableThrows = false;
  bool dialogAccepted = false;
  // Outlives the object, so that its destruction can be read.
  std::shared_ptr<std::vector<std::string>> journal = std::make_shared<std::vector<std::string>>();

 private:
  void Trace(const std::string& step) { journal->push_back(step); }
  std::string Holding() const {
    return "'" + DeviceID() + "' " + (EqManager().IsEmpty() ? "without manager" : "with manager");
  }
};

class DeviceFixture : public ::testing::Test {
 protected:
  // Every debug-log file written under the test's folder.
  std::string Log() {
    std::string content;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(env.Root())) {
      if (entry.path().filename().string().rfind("Debug_", 0) == 0)
        content += TestEnv::ReadFile(entry.path());
    }
    return content;
  }

  DeviceEnv env;
  Held<TestDevice> device;
};

}  // namespace tallowmer::testing
