#include "device/HostEquipmentManager.h"

#include <cstdio>

#include "common/Exceptions.h"
#include "common/Unicode.h"

namespace tallowmer {

OleVariant CallByName(const DispatchPtr& object, const std::string& name, std::vector<OleVariant> arguments) {
  const std::u16string wideName = Utf8ToUtf16(name);
  const char16_t* names[] = {wideName.c_str()};
  DispID id = kDispIdUnknown;
  if (object->GetIDsOfNames(names, 1, &id) != hrOk) {
    throw EOleException("Менеджер оборудования не поддерживает метод " + name);
  }
  std::vector<OleVariant> lastFirst(arguments.rbegin(), arguments.rend());
  DispParams params{lastFirst.data(), static_cast<uint32_t>(lastFirst.size())};
  OleVariant result;
  ExcepInfo exception;
  const HRESULT hr = object->Invoke(id, dispatchMethod | dispatchPropertyGet, params, &result, &exception);
  if (hr == hrDispException) throw EOleException(Utf16ToUtf8(exception.description));
  if (hr < 0) {
    char code[16];
    std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(hr));
    throw EOleException("Ошибка вызова метода " + name + " менеджера оборудования: 0x" + code);
  }
  return result;
}

}  // namespace tallowmer
