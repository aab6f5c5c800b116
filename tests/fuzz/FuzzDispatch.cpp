// Builds random host calls (every variant kind, nested arrays, by-reference chains, typed slots,
// random identifiers and flags) and sends them through GetIDsOfNames and Invoke. Whatever comes in,
// a call must return an HRESULT: no crash, no leak, no exception out of the dispatch entry.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <forward_list>
#include <string>
#include <vector>

#include "common/Dispatch.h"
#include "tests/fuzz/FuzzTarget.h"

namespace tallowmer::fuzzing {
namespace {

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return position_ >= size_; }
  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  template <typename T>
  T Value() {
    T value{};
    const size_t count = std::min(sizeof(T), size_ - std::min(position_, size_));
    if (count > 0) std::memcpy(&value, data_ + position_, count);
    position_ += count;
    return value;
  }
  std::string Text() {
    const size_t length = Byte() % 24;
    std::string text;
    for (size_t i = 0; i < length && !Empty(); ++i) text += static_cast<char>(Byte());
    return text;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// Owns everything a by-reference argument may point at, for the length of one call. Lists keep
// their elements in place and cost no allocation while empty, which most of them stay.
template <typename T>
using Pool = std::forward_list<T>;

struct Slots {
  Pool<OleVariant> variants;
  Pool<int8_t> int8s;
  Pool<uint8_t> bytes;
  Pool<int16_t> int16s;
  Pool<uint16_t> words;
  Pool<int32_t> int32s;
  Pool<uint32_t> longWords;
  Pool<int64_t> int64s;
  Pool<uint64_t> uint64s;
  Pool<float> singles;
  Pool<double> doubles;
  Pool<Currency> currencies;
  Pool<std::u16string> wides;
  Pool<std::string> narrows;
  Pool<DispatchPtr> dispatches;
  Pool<SafeArrayPtr> arrays;
};

class Generator {
 public:
  Generator(ByteReader& reader, Slots& slots, IDispatch& peer)
      : reader_(reader), slots_(slots), peer_(peer) {}

  OleVariant Variant(int depth) {
    const uint8_t kind = reader_.Byte();
    switch (kind % 24) {
      case 0:
        return OleVariant();
      case 1:
        return OleVariant::Null();
      case 2:
        return OleVariant::Int8(reader_.Value<int8_t>());
      case 3:
        return OleVariant::Byte(reader_.Value<uint8_t>());
      case 4:
        return OleVariant::Int16(reader_.Value<int16_t>());
      case 5:
        return OleVariant::Word(reader_.Value<uint16_t>());
      case 6:
        return OleVariant::Int32(reader_.Value<int32_t>());
      case 7:
        return OleVariant::LongWord(reader_.Value<uint32_t>());
      case 8:
        return OleVariant::Int64(reader_.Value<int64_t>());
      case 9:
        return OleVariant::UInt64(reader_.Value<uint64_t>());
      case 10:
        return OleVariant::Single(reader_.Value<float>());
      case 11:
        return OleVariant::Double(reader_.Value<double>());
      case 12:
        return OleVariant::FromCurrency(Currency{reader_.Value<int64_t>()});
      case 13:
        return OleVariant::Date(reader_.Value<double>());
      case 14:
        return OleVariant::Boolean(reader_.Byte() & 1);
      case 15:
        return OleVariant::Text(reader_.Text());
      case 16:
        return OleVariant::Ansi(reader_.Text());
      case 17:
        return OleVariant::Dispatch(reader_.Byte() & 1 ? DispatchPtr(&peer_) : DispatchPtr());
      case 18:
        return OleVariant::Error(reader_.Value<int32_t>());
      case 19:
        return depth < 3 ? Array(depth) : OleVariant();
      case 20:
        return OleVariant::Array(nullptr);
      case 21:
        return depth < 4 ? VariantReference(depth) : OleVariant();
      default:
        return TypedReference(kind);
    }
  }

 private:
  OleVariant Array(int depth) {
    const int dimensions = 1 + reader_.Byte() % 3;
    std::vector<SafeArray::Bound> bounds;
    for (int d = 0; d < dimensions; ++d) {
      bounds.push_back(
          {static_cast<int32_t>(reader_.Value<int8_t>()), static_cast<int32_t>(reader_.Byte() % 5)});
    }
    auto array = std::make_unique<SafeArray>(bounds);
    for (OleVariant& element : array->Elements()) element = Variant(depth + 1);
    return OleVariant::Array(std::move(array));
  }

  OleVariant VariantReference(int depth) {
    slots_.variants.push_front(Variant(depth + 1));
    return OleVariant::RefVariant(&slots_.variants.front());
  }

  template <typename T>
  T* Slot(Pool<T>& pool, T value) {
    pool.push_front(std::move(value));
    return &pool.front();
  }

  OleVariant TypedReference(uint8_t kind) {
    switch (kind % 16) {
      case 0:
        return OleVariant::RefShortInt(Slot(slots_.int8s, reader_.Value<int8_t>()));
      case 1:
        return OleVariant::RefByte(Slot(slots_.bytes, reader_.Value<uint8_t>()));
      case 2:
        return OleVariant::RefSmallint(Slot(slots_.int16s, reader_.Value<int16_t>()));
      case 3:
        return OleVariant::RefWord(Slot(slots_.words, reader_.Value<uint16_t>()));
      case 4:
        return OleVariant::RefInteger(Slot(slots_.int32s, reader_.Value<int32_t>()));
      case 5:
        return OleVariant::RefLongWord(Slot(slots_.longWords, reader_.Value<uint32_t>()));
      case 6:
        return OleVariant::RefInt64(Slot(slots_.int64s, reader_.Value<int64_t>()));
      case 7:
        return OleVariant::RefUInt64(Slot(slots_.uint64s, reader_.Value<uint64_t>()));
      case 8:
        return OleVariant::RefSingle(Slot(slots_.singles, reader_.Value<float>()));
      case 9:
        return OleVariant::RefDouble(Slot(slots_.doubles, reader_.Value<double>()));
      case 10:
        return OleVariant::RefDate(Slot(slots_.doubles, reader_.Value<double>()));
      case 11:
        return OleVariant::RefCurrency(Slot(slots_.currencies, Currency{reader_.Value<int64_t>()}));
      case 12:
        return OleVariant::RefBoolean(Slot(slots_.int16s, reader_.Value<int16_t>()));
      case 13:
        return OleVariant::RefOleStr(Slot(slots_.wides, std::u16string(reader_.Byte() % 4, u'я')));
      case 14:
        return OleVariant::RefDispatch(Slot(slots_.dispatches, DispatchPtr()));
      default:
        return OleVariant::RefArray(Slot(slots_.arrays, SafeArray::Create1D(0, reader_.Byte() % 3)));
    }
  }

  ByteReader& reader_;
  Slots& slots_;
  // Dispatch values point at another object: the target may keep them, and a reference to
  // itself would only make a cycle that no host's release could break.
  IDispatch& peer_;
};

}  // namespace

void RunOne(const uint8_t* data, size_t size) {
  ByteReader reader(data, size);
  DispatchPtr object = CreateFuzzTarget();
  // The peer only ever receives calls by names that it does not register, so its state never
  // changes: one for the whole run spares building a second object for every input.
  static const DispatchPtr peer = CreateFuzzTarget();
  while (!reader.Empty()) {
    const uint8_t mode = reader.Byte();
    if (mode % 8 == 0) {
      const std::string text = reader.Text();
      const std::u16string name(text.begin(), text.end());
      const char16_t* names[] = {name.c_str()};
      DispID id = 0;
      object->GetIDsOfNames(names, 1, &id);
      continue;
    }
    const DispID dispId =
        mode % 8 == 1 ? reader.Value<int32_t>() : static_cast<DispID>(reader.Byte() % 24) - 1;
    const uint16_t flags =
        mode % 8 == 2 ? reader.Byte() : (dispatchMethod | (reader.Byte() & dispatchPropertyGet));
    Slots slots;
    Generator generator(reader, slots, *peer.get());
    std::vector<OleVariant> args;
    const size_t count = reader.Byte() % 6;
    for (size_t i = 0; i < count; ++i) args.push_back(generator.Variant(0));
    DispParams params{args.data(), static_cast<uint32_t>(args.size())};
    OleVariant result;
    ExcepInfo exception;
    const bool withOutputs = reader.Byte() & 1;
    object->Invoke(dispId, flags, params, withOutputs ? &result : nullptr,
                   withOutputs ? &exception : nullptr);
  }
}

}  // namespace tallowmer::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tallowmer::fuzzing::RunOne(data, size);
  return 0;
}
