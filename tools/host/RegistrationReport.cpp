#include "tools/host/RegistrationReport.h"

namespace tallowmer::host {

std::string DescribeRegistrations(const std::vector<ClassRegistration>& views) {
  if (views.empty()) return "";
  std::string facts;
  std::string warnings;
  for (const ClassRegistration& view : views) {
    std::string fact = "для " + view.programs + " программ: ";
    if (view.machineModule.empty() && view.userModule.empty()) {
      fact += "нет";
    } else if (view.userModule.empty()) {
      fact += "для всех пользователей, " + view.machineModule;
    } else if (view.machineModule.empty()) {
      fact += "только для этого пользователя, " + view.userModule;
    } else {
      fact +=
          "для этого пользователя, " + view.userModule + ", и для всех пользователей, " + view.machineModule;
      warnings += (warnings.empty() ? "" : "; ") + std::string("касса этого пользователя (") + view.programs +
                  " программ) загружает драйвер из " + view.userModule + ", а не установленный " +
                  view.machineModule;
    }
    facts += (facts.empty() ? "" : "; ") + fact;
  }
  if (warnings.empty()) return "Регистрация драйвера — ОК: " + facts;
  return "Регистрация драйвера — ВНИМАНИЕ: " + warnings +
         ". Регистрация для пользователя из архива перекрывает общую; снимите её сценарием unregister.cmd "
         "из папки архива от имени этого пользователя (" +
         facts + ")";
}

}  // namespace tallowmer::host
