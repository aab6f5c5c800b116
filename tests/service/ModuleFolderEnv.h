#pragma once

#include <string>

#include "tests/support/TestEnv.h"

namespace tallowmer::testing {

// A test environment whose driver module lies in bin/ of the private folder, so that a test can
// put an "SSL" folder beside it.
class ModuleFolderEnv : public TestEnv {
 public:
  std::string ModuleFilePath() override { return Root() + "bin/ls_tallowmer.so"; }
};

}  // namespace tallowmer::testing
