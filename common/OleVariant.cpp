#include "common/OleVariant.h"

#include <cstdint>
#include <utility>

#include "common/Dispatch.h"
#include "common/Exceptions.h"
#include "common/Unicode.h"

namespace tallowmer {

Currency operator+(Currency a, Currency b) {
  Currency sum;
  if (__builtin_add_overflow(a.value, b.value, &sum.value))
    throw ERangeError("Сумма вне допустимого диапазона типа Currency");
  return sum;
}

Currency operator-(Currency a, Currency b) {
  Currency difference;
  if (__builtin_sub_overflow(a.value, b.value, &difference.value))
    throw ERangeError("Разность вне допустимого диапазона типа Currency");
  return difference;
}

DispatchPtr::DispatchPtr(IDispatch* object) : object_(object) {
  if (object_ != nullptr) object_->AddRef();
}

DispatchPtr::DispatchPtr(const DispatchPtr& other) : DispatchPtr(other.object_) {}

DispatchPtr::DispatchPtr(DispatchPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}

DispatchPtr& DispatchPtr::operator=(DispatchPtr other) noexcept {
  std::swap(object_, other.object_);
  return *this;
}

DispatchPtr::~DispatchPtr() {
  if (object_ != nullptr) object_->Release();
}

DispatchPtr DispatchPtr::Attach(IDispatch* object) {
  DispatchPtr result;
  result.object_ = object;
  return result;
}

OleVariant::OleVariant(const OleVariant& other)
    : type_(other.type_), scalar_(other.scalar_), ref_(other.ref_), heavy_(CopyHeavy(other.heavy_)) {}

// Moving the variant and assigning it a monostate throw nothing; clang-tidy 14 follows a path of
// libstdc++'s variant to bad_variant_access that a move cannot take.
// NOLINTNEXTLINE(bugprone-exception-escape)
OleVariant::OleVariant(OleVariant&& other) noexcept
    : type_(std::exchange(other.type_, varEmpty)),
      scalar_(other.scalar_),
      ref_(std::exchange(other.ref_, nullptr)),
      heavy_(std::exchange(other.heavy_, std::monostate{})) {}

OleVariant& OleVariant::operator=(const OleVariant& other) {
  if (this != &other) *this = OleVariant(other);
  return *this;
}

OleVariant& OleVariant::operator=(OleVariant&& other) noexcept {
  if (this != &other) {
    type_ = std::exchange(other.type_, varEmpty);
    scalar_ = other.scalar_;
    ref_ = std::exchange(other.ref_, nullptr);
    heavy_ = std::exchange(other.heavy_, std::monostate{});
  }
  return *this;
}

OleVariant::~OleVariant() = default;

OleVariant::Heavy OleVariant::CopyHeavy(const Heavy& heavy) {
  if (const auto* array = std::get_if<SafeArrayPtr>(&heavy)) {
    return *array ? std::make_unique<SafeArray>(**array) : SafeArrayPtr();
  }
  return std::visit(
      [](const auto& value) -> Heavy {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, SafeArrayPtr>) {
          return SafeArrayPtr();
        } else {
          return value;
        }
      },
      heavy);
}

OleVariant OleVariant::Signed(VarType kind, int64_t value) {
  OleVariant result;
  result.type_ = kind;
  result.scalar_.i64 = value;
  return result;
}

OleVariant OleVariant::Null() {
  OleVariant result;
  result.type_ = varNull;
  return result;
}

OleVariant OleVariant::Int8(int8_t value) {
  return Signed(varShortInt, value);
}
OleVariant OleVariant::Byte(uint8_t value) {
  return Signed(varByte, value);
}
OleVariant OleVariant::Int16(int16_t value) {
  return Signed(varSmallint, value);
}
OleVariant OleVariant::Word(uint16_t value) {
  return Signed(varWord, value);
}
OleVariant OleVariant::Int32(int32_t value) {
  return Signed(varInteger, value);
}
OleVariant OleVariant::LongWord(uint32_t value) {
  return Signed(varLongWord, value);
}
OleVariant OleVariant::Int64(int64_t value) {
  return Signed(varInt64, value);
}
OleVariant OleVariant::MachineInt(int32_t value) {
  return Signed(varInt, value);
}
OleVariant OleVariant::MachineUInt(uint32_t value) {
  return Signed(varUInt, value);
}
OleVariant OleVariant::Boolean(bool value) {
  return Signed(varBoolean, value ? -1 : 0);
}
OleVariant OleVariant::Error(int32_t scode) {
  return Signed(varError, scode);
}
OleVariant OleVariant::FromCurrency(Currency value) {
  return Signed(varCurrency, value.value);
}

OleVariant OleVariant::UInt64(uint64_t value) {
  OleVariant result;
  result.type_ = varUInt64;
  result.scalar_.u64 = value;
  return result;
}

OleVariant OleVariant::Single(float value) {
  OleVariant result;
  result.type_ = varSingle;
  result.scalar_.r4 = value;
  return result;
}

OleVariant OleVariant::Double(double value) {
  OleVariant result;
  result.type_ = varDouble;
  result.scalar_.r8 = value;
  return result;
}

OleVariant OleVariant::Date(double value) {
  OleVariant result = Double(value);
  result.type_ = varDate;
  return result;
}

OleVariant OleVariant::Wide(std::u16string value) {
  OleVariant result;
  result.type_ = varOleStr;
  result.heavy_ = std::move(value);
  return result;
}

OleVariant OleVariant::Text(std::string_view utf8) {
  return Wide(Utf8ToUtf16(utf8));
}

OleVariant OleVariant::Ansi(std::string value) {
  OleVariant result;
  result.type_ = varString;
  result.heavy_ = std::move(value);
  return result;
}

OleVariant OleVariant::Dispatch(DispatchPtr value) {
  OleVariant result;
  result.type_ = varDispatch;
  result.heavy_ = std::move(value);
  return result;
}

OleVariant OleVariant::Unknown(DispatchPtr dispatchFace) {
  OleVariant result = Dispatch(std::move(dispatchFace));
  result.type_ = varUnknown;
  return result;
}

OleVariant OleVariant::Array(SafeArrayPtr value) {
  OleVariant result;
  result.type_ = varArray | varVariant;
  result.heavy_ = std::move(value);
  return result;
}

OleVariant OleVariant::Vector(std::vector<OleVariant> items, int32_t lower) {
  auto array = SafeArray::Create1D(lower, static_cast<int32_t>(items.size()));
  array->Elements() = std::move(items);
  return Array(std::move(array));
}

OleVariant OleVariant::RefVariant(OleVariant* target) {
  return MakeRef(varVariant, target);
}

const std::u16string& OleVariant::WideValue() const {
  return std::get<std::u16string>(heavy_);
}
const std::string& OleVariant::AnsiValue() const {
  return std::get<std::string>(heavy_);
}
const DispatchPtr& OleVariant::DispatchValue() const {
  return std::get<DispatchPtr>(heavy_);
}

SafeArray* OleVariant::ArrayValue() const {
  const auto* array = std::get_if<SafeArrayPtr>(&heavy_);
  return array != nullptr ? array->get() : nullptr;
}

const OleVariant& OleVariant::Resolved() const {
  const OleVariant* current = this;
  while (current->IsVariantRef() && current->ref_ != nullptr)
    current = static_cast<const OleVariant*>(current->ref_);
  return *current;
}

OleVariant& OleVariant::Resolved() {
  return const_cast<OleVariant&>(std::as_const(*this).Resolved());
}

OleVariant OleVariant::Dereferenced() const {
  const OleVariant& value = Resolved();
  if (!value.IsByRef()) return value;
  void* target = value.ref_;
  if (target == nullptr) return OleVariant();
  if (value.IsArrayRef()) {
    const SafeArrayPtr& array = *static_cast<SafeArrayPtr*>(target);
    return Array(array ? std::make_unique<SafeArray>(*array) : SafeArrayPtr());
  }
  switch (value.RefType()) {
    case varShortInt:
      return Int8(*static_cast<int8_t*>(target));
    case varByte:
      return Byte(*static_cast<uint8_t*>(target));
    case varSmallint:
      return Int16(*static_cast<int16_t*>(target));
    case varWord:
      return Word(*static_cast<uint16_t*>(target));
    case varInteger:
      return Int32(*static_cast<int32_t*>(target));
    case varLongWord:
      return LongWord(*static_cast<uint32_t*>(target));
    case varInt64:
      return Int64(*static_cast<int64_t*>(target));
    case varUInt64:
      return UInt64(*static_cast<uint64_t*>(target));
    case varSingle:
      return Single(*static_cast<float*>(target));
    case varDouble:
      return Double(*static_cast<double*>(target));
    case varDate:
      return Date(*static_cast<double*>(target));
    case varCurrency:
      return FromCurrency(*static_cast<Currency*>(target));
    case varBoolean:
      return Boolean(*static_cast<int16_t*>(target) != 0);
    case varError:
      return Error(*static_cast<int32_t*>(target));
    case varOleStr:
      return Wide(*static_cast<std::u16string*>(target));
    case varString:
      return Ansi(*static_cast<std::string*>(target));
    case varDispatch:
      return Dispatch(*static_cast<DispatchPtr*>(target));
    case varOther:
      return *static_cast<const OleVariant*>(target);
    default:
      return OleVariant();
  }
}

SafeArray::SafeArray(std::vector<Bound> bounds) : bounds_(std::move(bounds)) {
  size_t total = bounds_.empty() ? 0 : 1;
  for (const Bound& bound : bounds_) {
    if (bound.count < 0 || static_cast<int64_t>(bound.lower) + bound.count - 1 > INT32_MAX) {
      throw ERangeError("Недопустимые границы массива");
    }
    total *= static_cast<size_t>(bound.count);
  }
  elements_.resize(total);
}

SafeArrayPtr SafeArray::Create1D(int32_t lower, int32_t count) {
  return std::make_unique<SafeArray>(std::vector<Bound>{{lower, count}});
}

SafeArrayPtr SafeArray::Create2D(Bound first, Bound second) {
  return std::make_unique<SafeArray>(std::vector<Bound>{first, second});
}

bool SafeArray::SameShape(const SafeArray& other) const {
  if (bounds_.size() != other.bounds_.size()) return false;
  for (size_t d = 0; d < bounds_.size(); ++d) {
    if (bounds_[d].lower != other.bounds_[d].lower || bounds_[d].count != other.bounds_[d].count)
      return false;
  }
  return true;
}

bool SafeArray::Contains(std::span<const int32_t> indices) const {
  if (indices.size() != bounds_.size()) return false;
  for (size_t d = 0; d < bounds_.size(); ++d) {
    const int64_t relative = static_cast<int64_t>(indices[d]) - bounds_[d].lower;
    if (relative < 0 || relative >= bounds_[d].count) return false;
  }
  return true;
}

size_t SafeArray::Offset(std::span<const int32_t> indices) const {
  if (!Contains(indices)) throw ERangeError("Индекс массива вне допустимого диапазона");
  size_t offset = 0;
  size_t stride = 1;
  for (size_t d = 0; d < bounds_.size(); ++d) {
    offset += static_cast<size_t>(indices[d] - bounds_[d].lower) * stride;
    stride *= static_cast<size_t>(bounds_[d].count);
  }
  return offset;
}

OleVariant& SafeArray::At(std::span<const int32_t> indices) {
  return elements_[Offset(indices)];
}

const OleVariant& SafeArray::At(std::span<const int32_t> indices) const {
  return elements_[Offset(indices)];
}

}  // namespace tallowmer
