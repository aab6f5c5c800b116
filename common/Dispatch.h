#pragma once

// The late-bound call interface. It has the operations and result codes of the automation
// IDispatch, so that the Windows binding is a thin translation of this one. Arguments arrive last
// first, exactly as the platform stores them.

#include <cstdint>
#include <string>

#include "common/OleVariant.h"

namespace tallowmer {

using HRESULT = int32_t;
using DispID = int32_t;

inline constexpr HRESULT hrOk = 0;
inline constexpr HRESULT hrFalse = 1;
inline constexpr HRESULT hrNotImpl = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT hrNoInterface = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT hrFail = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT hrUnexpected = static_cast<HRESULT>(0x8000FFFF);
inline constexpr HRESULT hrInvalidArg = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT hrMemberNotFound = static_cast<HRESULT>(0x80020003);
inline constexpr HRESULT hrUnknownName = static_cast<HRESULT>(0x80020006);
inline constexpr HRESULT hrNoNamedArgs = static_cast<HRESULT>(0x80020007);
inline constexpr HRESULT hrDispException = static_cast<HRESULT>(0x80020009);

inline constexpr uint16_t dispatchMethod = 1;
inline constexpr uint16_t dispatchPropertyGet = 2;
inline constexpr uint16_t dispatchPropertyPut = 4;
inline constexpr uint16_t dispatchPropertyPutRef = 8;

inline constexpr DispID kDispIdUnknown = -1;

struct ExcepInfo {
  int32_t scode = 0;
  std::u16string source;
  std::u16string description;
};

// The host's arguments; args[0] is the LAST argument in call order. Named arguments are counted
// only: a method call that names any is refused.
struct DispParams {
  OleVariant* args = nullptr;
  uint32_t count = 0;
  uint32_t namedCount = 0;
};

class IDispatch {
 public:
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;
  virtual HRESULT GetTypeInfoCount(uint32_t* count) = 0;
  virtual HRESULT GetIDsOfNames(const char16_t* const* names, uint32_t nameCount, DispID* dispIds) = 0;
  virtual HRESULT Invoke(DispID dispId, uint16_t flags, DispParams& params, OleVariant* result,
                         ExcepInfo* excepInfo) = 0;

 protected:
  ~IDispatch() = default;
};

}  // namespace tallowmer
