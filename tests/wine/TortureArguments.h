// The torture client's generator: seeded, reproducible arguments of every form a client can build
// (by value, chains of variant references, typed references, arrays of every element type and
// shape, locked, fixed-size and static arrays, array references whose holder names another element
// type, receipts whose sums reach the end of the Currency range), with the storage they point at.

#pragma once

#include "ComClient.h"

#include <cstdint>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace torture {

using com_client::kMethodCount;
using com_client::kMethodNames;
constexpr DISPID kShowSettingsDlg = 3;
constexpr DISPID kFirstPublic = 3;
constexpr DISPID kCloseOrder = 13;

inline uint64_t SplitMix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

class Rng {
 public:
  explicit Rng(uint64_t seed) : engine_(seed) {}
  uint64_t Bits() { return engine_(); }
  int Below(int n) { return static_cast<int>(engine_() % static_cast<uint64_t>(n)); }
  bool Chance(int percent) { return Below(100) < percent; }

 private:
  std::mt19937_64 engine_;
};

// An object the client hands over as an argument; it counts its references so that the run can
// prove none is lost or kept.
class CountedObject : public IDispatch {
 public:
  explicit CountedObject(bool dispatch) : dispatch_(dispatch) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || (dispatch_ && IsEqualIID(iid, IID_IDispatch))) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count != nullptr) *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override {
    for (UINT i = 0; ids != nullptr && i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
  long references = 1;

 private:
  bool dispatch_;
};

// The two objects every call hands over: one with a dispatch face, one without.
extern CountedObject dispatchObject;
extern CountedObject unknownObject;

// What a by-reference argument points at; lives for one call.
struct Slot {
  VARTYPE kind = VT_EMPTY;  // the referenced kind, VT_ARRAY included; VT_VARIANT for a variant
  VARIANT variant{};
  alignas(16) unsigned char raw[16]{};
  BSTR text = nullptr;
  IUnknown* object = nullptr;
  SAFEARRAY* array = nullptr;
  bool locked = false;
  bool lockedVariable = false;  // a variant slot holding an array the client has locked
  // The feature that makes the slot's array, or the array its variant holds, its owner's to keep
  // (FADF_FIXEDSIZE, FADF_STATIC, FADF_EMBEDDED or FADF_AUTO); taken off again before it is freed.
  USHORT keptFeature = 0;
  VARTYPE elementType = VT_EMPTY;  // the element type the reference names
  SAFEARRAY* arrayBefore = nullptr;
  std::vector<unsigned char> before;
};

// What the receipt of a CloseOrder call sums to.
enum class ReceiptSums { kNone, kAtTheLimit, kBeyondTheLimit };

struct Argument {
  VARIANT top{};
  Slot* slot = nullptr;         // the slot a by-reference argument ends at
  bool byValueEnd = false;      // the chain ends at a by-value variant
  bool storable = true;         // the write-back can store into it, whatever the method does
  bool keptArray = false;       // it holds an array no method may replace
  VARTYPE readKind = VT_EMPTY;  // the kind the driver reads (after references)
};

// Whether the write-back can honour the argument at `index` (from 0 in call order) of a public or a
// private method, whatever the method leaves: a public method replaces only OutData, a private one
// may replace any argument.
bool Honourable(const Argument& argument, bool isPublic, size_t index);
// Whether a public method's OutData takes whatever the method leaves (Empty, or an array of values
// of any kind): a variant or an array reference of variants does; a typed reference takes only what
// converts to its kind.
bool TakesEveryOutcome(const Argument& outData);

inline constexpr VARTYPE kScalarKinds[] = {VT_EMPTY, VT_NULL,     VT_I1,      VT_UI1,    VT_I2,   VT_UI2,
                                           VT_I4,    VT_UI4,      VT_I8,      VT_UI8,    VT_INT,  VT_UINT,
                                           VT_R4,    VT_R8,       VT_CY,      VT_DATE,   VT_BOOL, VT_ERROR,
                                           VT_BSTR,  VT_DISPATCH, VT_UNKNOWN, VT_DECIMAL};
inline constexpr VARTYPE kElementKinds[] = {
    VT_I1, VT_UI1, VT_I2,   VT_UI2,  VT_I4,    VT_UI4,  VT_I8,       VT_UI8,     VT_INT,     VT_UINT,   VT_R4,
    VT_R8, VT_CY,  VT_DATE, VT_BOOL, VT_ERROR, VT_BSTR, VT_DISPATCH, VT_UNKNOWN, VT_DECIMAL, VT_VARIANT};

// The by-reference kinds the write-back table stores into.
bool IsStorableKind(VARTYPE kind);

BSTR RandomText(Rng& rng, bool topLevel);
void FillScalar(Rng& rng, VARTYPE kind, void* data, bool topLevel);
// A random by-value variant (nested arrays only a few levels deep).
void FillVariant(Rng& rng, VARIANT& value, int depth);
SAFEARRAY* RandomArray(Rng& rng, VARTYPE elementType, int depth);
VARTYPE RandomElementType(Rng& rng);
USHORT RandomKeptFeature(Rng& rng);
// An array that disagrees with a reference naming `holderType`: another stored element type, or,
// without a stored type, elements of another size.
SAFEARRAY* MismatchedArray(Rng& rng, VARTYPE holderType);
// CloseOrder's InData for a sale of two lines whose sums end at the limit of the Currency range, or
// pass it.
void FillCloseOrderInData(ReceiptSums sums, VARIANT& value);
std::vector<unsigned char> Fingerprint(const Slot& slot);

// Elements one call may still create, nested arrays included: the largest call then comes early in
// a run, and the heap's high-water mark with it, so that later growth can only be a leak.
extern uint64_t elementBudget;
inline constexpr uint64_t kElementsPerCall = 2048;

// One call's arguments and the storage they point at.
class Call {
 public:
  // A tame call has only arguments the driver can store into and a time-out of an accepted kind,
  // so that it reaches the method.
  Call(Rng& rng, DISPID dispId, WORD flags, UINT count, bool tame) : rng_(rng), tame_(tame) {
    arguments_.resize(count);
    const bool isPublic = dispId >= kFirstPublic;
    for (UINT position = 0; position < count; ++position) {
      if (tame && dispId == kCloseOrder && position == 0 && rng.Chance(40)) {
        receipt_ = rng.Chance(50) ? ReceiptSums::kAtTheLimit : ReceiptSums::kBeyondTheLimit;
        FillCloseOrderInData(receipt_, arguments_[0].top);
        arguments_[0].readKind = VT_ARRAY;
        continue;
      }
      const bool opensWindow = dispId == kShowSettingsDlg && (flags & DISPATCH_METHOD) != 0;
      if (tame && position == 2 && !opensWindow) {
        arguments_[position].top.vt = VT_I4;
        arguments_[position].top.lVal = rng.Below(100);
        arguments_[position].readKind = VT_I4;
        continue;
      }
      // ShowSettingsDlg would open a modal window: its time-out is always of a refused kind.
      if (opensWindow && position == 2) {
        arguments_[position].top.vt = VT_R8;
        arguments_[position].readKind = VT_R8;
        continue;
      }
      Build(arguments_[position]);
      // A tame call reaches its method: an argument the write-back could not honour there is made
      // again (its storage stays with the call until it is released).
      while (tame && !Honourable(arguments_[position], isPublic, position)) {
        if ((arguments_[position].top.vt & VT_BYREF) == 0) ::VariantClear(&arguments_[position].top);
        arguments_[position] = Argument{};
        Build(arguments_[position]);
      }
    }
    for (Slot& slot : slots_) {
      slot.before = Fingerprint(slot);
      slot.arrayBefore =
          slot.kind == VT_VARIANT && (slot.variant.vt & VT_ARRAY) != 0 ? slot.variant.parray : slot.array;
    }
    for (Argument& argument : arguments_) topsBefore_.push_back(argument.top);
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // Last argument first, as the platform stores them.
  std::vector<VARIANT> LastFirst() const {
    std::vector<VARIANT> result;
    for (auto it = arguments_.rbegin(); it != arguments_.rend(); ++it) result.push_back(it->top);
    return result;
  }
  const std::vector<Argument>& Arguments() const { return arguments_; }
  const std::deque<Slot>& Slots() const { return slots_; }
  ReceiptSums Receipt() const { return receipt_; }
  bool AllHonourable(bool isPublic) const {
    for (size_t index = 0; index < arguments_.size(); ++index)
      if (!Honourable(arguments_[index], isPublic, index)) return false;
    return true;
  }
  bool Untouched() const {
    for (const Slot& slot : slots_)
      if (Fingerprint(slot) != slot.before) return false;
    return true;
  }
  bool TopsUntouched(const std::vector<VARIANT>& lastFirst) const {
    for (size_t i = 0; i < arguments_.size(); ++i) {
      if (std::memcmp(&lastFirst[arguments_.size() - 1 - i], &topsBefore_[i], sizeof(VARIANT)) != 0)
        return false;
    }
    return true;
  }

  // Releases everything; a non-empty answer names what could not be released.
  std::string Release() {
    std::string problem;
    for (Argument& argument : arguments_) {
      if ((argument.top.vt & VT_BYREF) == 0 && FAILED(::VariantClear(&argument.top)))
        problem = "VariantClear of a by-value argument";
    }
    for (Slot& slot : slots_) {
      if (slot.kind == VT_VARIANT) {
        if (slot.lockedVariable && (slot.variant.vt & VT_ARRAY) != 0) ::SafeArrayUnlock(slot.variant.parray);
        if ((slot.variant.vt & VT_ARRAY) != 0 && slot.variant.parray != nullptr)
          slot.variant.parray->fFeatures &= static_cast<USHORT>(~slot.keptFeature);
        if (FAILED(::VariantClear(&slot.variant))) problem = "VariantClear of a by-reference variant";
      } else if ((slot.kind & VT_ARRAY) != 0) {
        if (slot.locked && slot.array != nullptr) ::SafeArrayUnlock(slot.array);
        if (slot.array != nullptr) slot.array->fFeatures &= static_cast<USHORT>(~slot.keptFeature);
        if (FAILED(::SafeArrayDestroy(slot.array))) problem = "SafeArrayDestroy of a by-reference array";
      } else if (slot.kind == VT_BSTR) {
        ::SysFreeString(slot.text);
      } else if ((slot.kind == VT_DISPATCH || slot.kind == VT_UNKNOWN) && slot.object != nullptr) {
        slot.object->Release();
      }
    }
    slots_.clear();
    arguments_.clear();
    return problem;
  }

 private:
  void Build(Argument& argument) {
    if (!tame_ && rng_.Chance(3)) {
      BuildRefused(argument);
      return;
    }
    const int form = rng_.Below(10);
    if (form < 4) {
      FillVariant(rng_, argument.top, 0);
      argument.readKind = argument.top.vt;
      return;
    }
    if (form < 7) {
      // A chain of variant references, one to three links, ending in a variant or a typed reference.
      const int links = 1 + rng_.Below(3);
      VARIANT* link = &argument.top;
      for (int i = 0; i < links; ++i) {
        Slot& slot = slots_.emplace_back();
        slot.kind = VT_VARIANT;
        link->vt = VT_BYREF | VT_VARIANT;
        link->pvarVal = &slot.variant;
        link = &slot.variant;
      }
      if (!tame_ && rng_.Chance(3)) {
        argument.top.pvarVal = nullptr;  // a chain with a null link
        argument.storable = false;
        return;
      }
      if (rng_.Chance(25)) {
        BuildTyped(argument, *link);
      } else {
        FillVariant(rng_, *link, 0);
        argument.byValueEnd = true;
        argument.readKind = link->vt;
        // A script's fixed-size array, or one on the stack, held by the variable itself.
        if ((link->vt & VT_ARRAY) != 0 && link->parray != nullptr && rng_.Chance(20)) {
          slots_.back().keptFeature = RandomKeptFeature(rng_);
          link->parray->fFeatures |= slots_.back().keptFeature;
          argument.keptArray = true;
        }
      }
      return;
    }
    BuildTyped(argument, argument.top);
  }

  // A variable the driver must refuse before any method runs: an array whose elements refer back to
  // it, arrays nested deeper than the driver reads, or an array the client holds locked.
  void BuildRefused(Argument& argument) {
    argument.storable = false;
    argument.readKind = VT_ARRAY;
    switch (rng_.Below(3)) {
      case 0: {
        Slot& slot = NewArrayVariable(1 + rng_.Below(3));
        const VARIANT back = com_client::ByRef(&slot.variant);
        LONG upper = 0;
        ::SafeArrayGetUBound(slot.variant.parray, 1, &upper);
        for (LONG i = 0; i <= upper; ++i) {
          if (i == upper || rng_.Chance(50))
            ::SafeArrayPutElement(slot.variant.parray, &i, const_cast<VARIANT*>(&back));
        }
        argument.top = com_client::ByRef(&slot.variant);
        return;
      }
      case 1: {
        // Each level refers to the next one's variable, so that nothing here recurses to free them.
        const int levels = 65 + rng_.Below(200);
        VARIANT* outer = nullptr;
        Slot* previous = nullptr;
        for (int level = 0; level < levels; ++level) {
          Slot& slot = NewArrayVariable(1);
          if (previous != nullptr) {
            LONG first = 0;
            VARIANT next = com_client::ByRef(&slot.variant);
            ::SafeArrayPutElement(previous->variant.parray, &first, &next);
          } else {
            outer = &slot.variant;
          }
          previous = &slot;
        }
        argument.top = com_client::ByRef(outer);
        return;
      }
      default: {
        Slot& slot = slots_.emplace_back();
        slot.kind = VT_VARIANT;
        slot.variant.vt = VT_ARRAY | VT_VARIANT;
        slot.variant.parray = RandomArray(rng_, VT_VARIANT, 0);
        slot.lockedVariable =
            slot.variant.parray != nullptr && SUCCEEDED(::SafeArrayLock(slot.variant.parray));
        // Without a locked array the variable is an ordinary one.
        argument.storable = !slot.lockedVariable;
        argument.byValueEnd = !slot.lockedVariable;
        argument.top = com_client::ByRef(&slot.variant);
        return;
      }
    }
  }

  Slot& NewArrayVariable(ULONG count) {
    Slot& slot = slots_.emplace_back();
    slot.kind = VT_VARIANT;
    SAFEARRAYBOUND bound{count, 0};
    slot.variant.vt = VT_ARRAY | VT_VARIANT;
    slot.variant.parray = ::SafeArrayCreate(VT_VARIANT, 1, &bound);
    return slot;
  }

  // A typed reference in `reference` to a new slot of a random kind.
  void BuildTyped(Argument& argument, VARIANT& reference) {
    Slot& slot = slots_.emplace_back();
    argument.slot = &slot;
    const bool isArray = rng_.Chance(30);
    VARTYPE kind = isArray ? VT_ARRAY | RandomElementType(rng_)
                           : kScalarKinds[2 + rng_.Below(static_cast<int>(std::size(kScalarKinds)) - 2)];
    if (tame_) {
      while (!IsStorableKind(kind & VT_TYPEMASK) && kind != (VT_ARRAY | VT_VARIANT)) {
        kind = isArray ? VT_ARRAY | RandomElementType(rng_)
                       : kScalarKinds[2 + rng_.Below(static_cast<int>(std::size(kScalarKinds)) - 2)];
      }
    }
    slot.kind = kind;
    reference.vt = VT_BYREF | kind;
    const bool nullPointer = !tame_ && rng_.Chance(4);
    if (isArray) {
      slot.elementType = kind & VT_TYPEMASK;
      // An array of another element type or size than the reference names, which the write-back
      // would write past or leave unreadable.
      const bool mismatched = !tame_ && rng_.Chance(5);
      slot.array = rng_.Chance(5) ? nullptr
                   : mismatched   ? MismatchedArray(rng_, slot.elementType)
                                  : RandomArray(rng_, slot.elementType, 0);
      if (slot.array != nullptr && rng_.Chance(20)) {
        slot.keptFeature = RandomKeptFeature(rng_);
        slot.array->fFeatures |= slot.keptFeature;
      }
      if (slot.array != nullptr && rng_.Chance(5)) slot.locked = SUCCEEDED(::SafeArrayLock(slot.array));
      reference.pparray = nullPointer ? nullptr : &slot.array;
      argument.readKind = VT_ARRAY;
      argument.keptArray = slot.keptFeature != 0 || slot.locked;
      argument.storable = !nullPointer && !(mismatched && slot.array != nullptr) &&
                          (slot.elementType == VT_VARIANT || IsStorableKind(slot.elementType));
      return;
    }
    void* data = slot.raw;
    if (kind == VT_BSTR) data = &slot.text;
    if (kind == VT_DISPATCH || kind == VT_UNKNOWN) data = &slot.object;
    FillScalar(rng_, kind, data, true);
    reference.byref = nullPointer ? nullptr : data;
    argument.readKind = kind;
    argument.storable = !nullPointer && IsStorableKind(kind);
  }

  Rng& rng_;
  bool tame_;
  ReceiptSums receipt_ = ReceiptSums::kNone;
  std::vector<Argument> arguments_;
  std::vector<VARIANT> topsBefore_;
  std::deque<Slot> slots_;
};

}  // namespace torture
