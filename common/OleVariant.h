#pragma once

// The automation variant, modelled portably: the same kinds and type codes a host passes through
// IDispatch, arrays of variants with any number of dimensions, and by-reference values pointing
// either at another variant or at a typed slot in the caller's memory.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tallowmer {

using VarType = uint16_t;

inline constexpr VarType varEmpty = 0x0000;
inline constexpr VarType varNull = 0x0001;
inline constexpr VarType varSmallint = 0x0002;
inline constexpr VarType varInteger = 0x0003;
inline constexpr VarType varSingle = 0x0004;
inline constexpr VarType varDouble = 0x0005;
inline constexpr VarType varCurrency = 0x0006;
inline constexpr VarType varDate = 0x0007;
inline constexpr VarType varOleStr = 0x0008;
inline constexpr VarType varDispatch = 0x0009;
inline constexpr VarType varError = 0x000A;
inline constexpr VarType varBoolean = 0x000B;
inline constexpr VarType varVariant = 0x000C;
// An object reference without the late-bound interface promised: held as the object's dispatch
// face when it has one, so that nothing mistakes it for a dispatch reference.
inline constexpr VarType varUnknown = 0x000D;
inline constexpr VarType varShortInt = 0x0010;
inline constexpr VarType varByte = 0x0011;
inline constexpr VarType varWord = 0x0012;
inline constexpr VarType varLongWord = 0x0013;
inline constexpr VarType varInt64 = 0x0014;
inline constexpr VarType varUInt64 = 0x0015;
// The machine-sized integers of automation (32 bits); kept apart from varInteger and varLongWord
// because not every place that takes an integer takes these kinds.
inline constexpr VarType varInt = 0x0016;
inline constexpr VarType varUInt = 0x0017;
inline constexpr VarType varString = 0x0100;  // narrow string (UTF-8 here)
// The kind of a reference that has no typed slot here (see RefOther).
inline constexpr VarType varOther = 0x0FFF;
inline constexpr VarType varTypeMask = 0x0FFF;
inline constexpr VarType varArray = 0x2000;
inline constexpr VarType varByRef = 0x4000;

// Fixed point with four fractional digits: a count of ten-thousandths.
struct Currency {
  int64_t value = 0;

  static constexpr int64_t kScale = 10000;
  static constexpr Currency FromUnits(int64_t units) { return Currency{units * kScale}; }
  friend constexpr bool operator==(Currency, Currency) = default;
  // Sums and differences that leave the 64-bit range raise ERangeError: money must not wrap.
  friend Currency operator+(Currency a, Currency b);
  friend Currency operator-(Currency a, Currency b);
};

class IDispatch;

// A counted reference to a late-bound object.
class DispatchPtr {
 public:
  DispatchPtr() = default;
  // Takes a new reference on the object.
  explicit DispatchPtr(IDispatch* object);
  DispatchPtr(const DispatchPtr& other);
  DispatchPtr(DispatchPtr&& other) noexcept;
  DispatchPtr& operator=(DispatchPtr other) noexcept;
  ~DispatchPtr();

  // Adopts a reference the caller already holds.
  static DispatchPtr Attach(IDispatch* object);

  IDispatch* get() const { return object_; }
  IDispatch* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  friend bool operator==(const DispatchPtr& a, const DispatchPtr& b) { return a.object_ == b.object_; }

 private:
  IDispatch* object_ = nullptr;
};

class SafeArray;
using SafeArrayPtr = std::unique_ptr<SafeArray>;

class OleVariant {
 public:
  OleVariant() noexcept = default;
  OleVariant(const OleVariant& other);
  OleVariant(OleVariant&& other) noexcept;
  OleVariant& operator=(const OleVariant& other);
  OleVariant& operator=(OleVariant&& other) noexcept;
  ~OleVariant();

  static OleVariant Null();
  static OleVariant Int8(int8_t value);
  static OleVariant Byte(uint8_t value);
  static OleVariant Int16(int16_t value);
  static OleVariant Word(uint16_t value);
  static OleVariant Int32(int32_t value);
  static OleVariant LongWord(uint32_t value);
  static OleVariant Int64(int64_t value);
  static OleVariant UInt64(uint64_t value);
  static OleVariant MachineInt(int32_t value);
  static OleVariant MachineUInt(uint32_t value);
  static OleVariant Single(float value);
  static OleVariant Double(double value);
  static OleVariant FromCurrency(Currency value);
  static OleVariant Date(double value);
  static OleVariant Boolean(bool value);
  static OleVariant Error(int32_t scode);
  static OleVariant Wide(std::u16string value);
  // A wide string from UTF-8 text.
  static OleVariant Text(std::string_view utf8);
  static OleVariant Ansi(std::string value);
  static OleVariant Dispatch(DispatchPtr value);
  static OleVariant Unknown(DispatchPtr dispatchFace);
  // An array variant; a null pointer is an array kind without storage.
  static OleVariant Array(SafeArrayPtr value);
  // A one-dimensional array holding the items, lowest index `lower`.
  static OleVariant Vector(std::vector<OleVariant> items, int32_t lower = 0);

  // By-reference values. The target must outlive the variant.
  static OleVariant RefVariant(OleVariant* target);
  static OleVariant RefShortInt(int8_t* target) { return MakeRef(varShortInt, target); }
  static OleVariant RefByte(uint8_t* target) { return MakeRef(varByte, target); }
  static OleVariant RefSmallint(int16_t* target) { return MakeRef(varSmallint, target); }
  static OleVariant RefWord(uint16_t* target) { return MakeRef(varWord, target); }
  static OleVariant RefInteger(int32_t* target) { return MakeRef(varInteger, target); }
  static OleVariant RefLongWord(uint32_t* target) { return MakeRef(varLongWord, target); }
  static OleVariant RefInt64(int64_t* target) { return MakeRef(varInt64, target); }
  static OleVariant RefUInt64(uint64_t* target) { return MakeRef(varUInt64, target); }
  static OleVariant RefSingle(float* target) { return MakeRef(varSingle, target); }
  static OleVariant RefDouble(double* target) { return MakeRef(varDouble, target); }
  static OleVariant RefDate(double* target) { return MakeRef(varDate, target); }
  static OleVariant RefCurrency(Currency* target) { return MakeRef(varCurrency, target); }
  // Automation booleans: 0 is false, anything else true.
  static OleVariant RefBoolean(int16_t* target) { return MakeRef(varBoolean, target); }
  static OleVariant RefError(int32_t* target) { return MakeRef(varError, target); }
  static OleVariant RefOleStr(std::u16string* target) { return MakeRef(varOleStr, target); }
  static OleVariant RefString(std::string* target) { return MakeRef(varString, target); }
  static OleVariant RefDispatch(DispatchPtr* target) { return MakeRef(varDispatch, target); }
  // A host's array variable whose elements are all of kind `elementType`.
  static OleVariant RefArray(SafeArrayPtr* target, VarType elementType = varVariant) {
    return MakeRef(varArray | elementType, target);
  }
  // A reference of a kind that has no typed slot here (machine integers, decimals, objects without
  // dispatch, records ...): it points at a variant holding the value it refers to, reads give that
  // value, and nothing can be stored through it.
  static OleVariant RefOther(const OleVariant* value) {
    return MakeRef(varOther, const_cast<OleVariant*>(value));
  }

  // The full type code, flags included (arrays are varArray | varVariant).
  VarType Type() const { return type_; }
  VarType BaseType() const { return type_ & varTypeMask; }
  bool IsEmpty() const { return type_ == varEmpty; }
  bool IsNull() const { return type_ == varNull; }
  bool IsArray() const { return (type_ & varArray) != 0 && (type_ & varByRef) == 0; }
  bool IsByRef() const { return (type_ & varByRef) != 0; }
  // A reference to another variant (possibly one more reference).
  bool IsVariantRef() const { return type_ == (varByRef | varVariant); }
  bool IsString() const { return type_ == varOleStr || type_ == varString; }

  // Raw payloads; each requires the matching kind.
  int64_t IntegerValue() const { return scalar_.i64; }
  uint64_t UnsignedValue() const { return scalar_.u64; }
  double DoubleValue() const { return scalar_.r8; }
  float SingleValue() const { return scalar_.r4; }
  Currency CurrencyValue() const { return Currency{scalar_.i64}; }
  bool BooleanValue() const { return scalar_.i64 != 0; }
  const std::u16string& WideValue() const;
  const std::string& AnsiValue() const;
  const DispatchPtr& DispatchValue() const;
  // Null for an array kind without storage.
  SafeArray* ArrayValue() const;
  void* RefTarget() const { return ref_; }
  // The kind a typed reference points at (varVariant for a reference to a variant).
  VarType RefType() const { return type_ & ~varByRef; }
  bool IsArrayRef() const { return IsByRef() && (type_ & varArray) != 0; }

  // Follows references to another variant, without copying.
  const OleVariant& Resolved() const;
  OleVariant& Resolved();
  // The plain value behind any chain of references: a typed reference yields the value it points to.
  OleVariant Dereferenced() const;

 private:
  using Heavy = std::variant<std::monostate, std::u16string, std::string, DispatchPtr, SafeArrayPtr>;
  union Scalar {
    int64_t i64;
    uint64_t u64;
    double r8;
    float r4;
  };

  template <typename T>
  static OleVariant MakeRef(VarType kind, T* target) {
    OleVariant result;
    result.type_ = kind | varByRef;
    result.ref_ = target;
    return result;
  }
  static OleVariant Signed(VarType kind, int64_t value);
  static Heavy CopyHeavy(const Heavy& heavy);

  VarType type_ = varEmpty;
  Scalar scalar_{0};
  void* ref_ = nullptr;
  Heavy heavy_;
};

// Arrays of variants, stored like a SAFEARRAY: the first dimension varies fastest. Dimensions are
// numbered from 1 as the automation API numbers them.
class SafeArray {
 public:
  struct Bound {
    int32_t lower = 0;
    int32_t count = 0;
  };

  explicit SafeArray(std::vector<Bound> bounds);
  static SafeArrayPtr Create1D(int32_t lower, int32_t count);
  static SafeArrayPtr Create2D(Bound first, Bound second);

  // A host's array whose owner keeps its descriptor (a script's fixed-size array, one on the
  // stack, one the host holds locked): values can go into its elements, but another array cannot
  // take its place. Copies keep the mark; equal values need not share it.
  bool FixedShape() const { return fixedShape_; }
  void SetFixedShape(bool fixed) { fixedShape_ = fixed; }
  bool SameShape(const SafeArray& other) const;

  int DimensionCount() const { return static_cast<int>(bounds_.size()); }
  int32_t LowBound(int dimension) const { return bounds_.at(dimension - 1).lower; }
  int32_t HighBound(int dimension) const {
    const Bound& bound = bounds_.at(dimension - 1);
    // In 64 bits: a dimension may end at the largest index.
    return static_cast<int32_t>(static_cast<int64_t>(bound.lower) + bound.count - 1);
  }
  const std::vector<Bound>& Bounds() const { return bounds_; }

  bool Contains(std::span<const int32_t> indices) const;
  // Raises ERangeError for indices outside the bounds or of the wrong number.
  OleVariant& At(std::span<const int32_t> indices);
  const OleVariant& At(std::span<const int32_t> indices) const;
  OleVariant& At(int32_t index) { return At(std::span<const int32_t>(&index, 1)); }
  const OleVariant& At(int32_t index) const { return At(std::span<const int32_t>(&index, 1)); }
  OleVariant& At(int32_t first, int32_t second) {
    const int32_t indices[] = {first, second};
    return At(indices);
  }
  const OleVariant& At(int32_t first, int32_t second) const {
    const int32_t indices[] = {first, second};
    return At(indices);
  }

  std::vector<OleVariant>& Elements() { return elements_; }
  const std::vector<OleVariant>& Elements() const { return elements_; }

 private:
  size_t Offset(std::span<const int32_t> indices) const;

  std::vector<Bound> bounds_;
  std::vector<OleVariant> elements_;
  bool fixedShape_ = false;
};

}  // namespace tallowmer
