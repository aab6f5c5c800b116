#include <gtest/gtest.h>

#include <functional>

#include "common/VariantConvert.h"
#include "common/uEquipmentErrors.h"
#include "tests/core/TestObject.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

using testing::CallByRef;
using testing::CallRaw;
using testing::IdOf;

class DispatchTest : public ::testing::Test {
 protected:
  testing::TestEnv env;
  testing::TestObjectHolder object;
};

void ExpectFailureArray(const OleVariant& outData, int32_t code, const std::string& description) {
  ASSERT_TRUE(outData.IsArray());
  const SafeArray& array = *outData.ArrayValue();
  ASSERT_EQ(array.HighBound(1), 1);
  EXPECT_EQ(array.At(0).Type(), varInteger);
  EXPECT_EQ(VarToInt32(array.At(0)), code);
  EXPECT_EQ(array.At(1).Type(), varOleStr);
  EXPECT_EQ(VarToStr(array.At(1)), description);
}

TEST_F(DispatchTest, NamesFoldOnlyAsciiLetters) {
  const DispID enable = IdOf(*object, u"Enable");
  EXPECT_GE(enable, 0);
  EXPECT_EQ(IdOf(*object, u"enable"), enable);
  EXPECT_EQ(IdOf(*object, u"ENABLE"), enable);
  EXPECT_GE(IdOf(*object, u"Тест"), 0);

  for (const std::u16string name : {u"тест", u"Еnable" /* Cyrillic Е */, u"Missing", u""}) {
    const char16_t* names[] = {name.c_str()};
    DispID id = 0;
    EXPECT_EQ(object->GetIDsOfNames(names, 1, &id), hrNotImpl);
    EXPECT_EQ(id, -1);
  }
}

TEST_F(DispatchTest, RegisteringANameAgainKeepsItsIdAndReplacesTheMethod) {
  const DispID before = IdOf(*object, u"Enable");
  const size_t count = object->Methods().size();
  object->AddPrivateMethod("ENABLE", [](SafeArray&) { return OleVariant::Text("private now"); });
  EXPECT_EQ(IdOf(*object, u"Enable"), before);
  EXPECT_EQ(object->Methods().size(), count);
  EXPECT_FALSE(object->Methods()[static_cast<size_t>(before)].IsPublic);
  const auto call = CallByRef(*object, u"Enable", {});
  EXPECT_EQ(VarToStr(call.result), "private now");
}

TEST_F(DispatchTest, PublicCallWithoutTimeOutIsRefusedAndTouchesNothing) {
  OleVariant inData = OleVariant::Int32(1);
  OleVariant outData = OleVariant::Text("host value");
  OleVariant hostResult = OleVariant::Text("untouched");
  std::vector<OleVariant> args{OleVariant::RefVariant(&outData), OleVariant::RefVariant(&inData)};
  DispParams params{args.data(), 2};
  EXPECT_EQ(object->Invoke(IdOf(*object, u"Echo"), dispatchMethod, params, &hostResult, nullptr),
            hrInvalidArg);
  EXPECT_EQ(object->calls, 0);
  EXPECT_EQ(VarToStr(outData), "host value");
  EXPECT_EQ(inData.Type(), varInteger);
  EXPECT_EQ(VarToStr(hostResult), "untouched");
}

struct TimeOutCase {
  const char* label;
  OleVariant timeOut;
  HRESULT expectedHr;
  bool methodRuns;
};

class TimeOutKindTest : public DispatchTest, public ::testing::WithParamInterface<TimeOutCase> {};

TEST_P(TimeOutKindTest, AcceptsOnlyWholeNumbersAndBooleans) {
  const TimeOutCase& c = GetParam();
  OleVariant inData;
  OleVariant outData;
  OleVariant timeOut = c.timeOut;
  const auto call = CallByRef(*object, u"Echo", {&inData, &outData, &timeOut});
  EXPECT_EQ(call.hr, c.expectedHr);
  EXPECT_EQ(object->calls, c.methodRuns ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TimeOutKindTest,
    ::testing::Values(TimeOutCase{"double", OleVariant::Double(1), hrInvalidArg, false},
                      TimeOutCase{"currency", OleVariant::FromCurrency(Currency{10000}), hrInvalidArg, false},
                      TimeOutCase{"text", OleVariant::Text("1"), hrInvalidArg, false},
                      TimeOutCase{"empty", OleVariant(), hrInvalidArg, false},
                      TimeOutCase{"boolean", OleVariant::Boolean(true), hrOk, true},
                      TimeOutCase{"int64", OleVariant::Int64(5), hrOk, true},
                      TimeOutCase{"byte", OleVariant::Byte(5), hrOk, true},
                      TimeOutCase{"int16", OleVariant::Int16(5), hrOk, true},
                      TimeOutCase{"int8", OleVariant::Int8(5), hrOk, true},
                      TimeOutCase{"word", OleVariant::Word(5), hrOk, true},
                      TimeOutCase{"longword", OleVariant::LongWord(5), hrOk, true},
                      TimeOutCase{"uint64", OleVariant::UInt64(5), hrOk, true},
                      TimeOutCase{"machine_int", OleVariant::MachineInt(5), hrInvalidArg, false},
                      TimeOutCase{"machine_uint", OleVariant::MachineUInt(5), hrInvalidArg, false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(DispatchTest, TimeOutOutsideThirtyTwoBitsFailsTheCallWith1001) {
  OleVariant inData;
  OleVariant outData;
  OleVariant timeOut = OleVariant::Int64(int64_t{1} << 40);
  const auto call = CallByRef(*object, u"Echo", {&inData, &outData, &timeOut});
  EXPECT_EQ(call.hr, hrOk);
  EXPECT_FALSE(VarToBool(call.result));
  ASSERT_TRUE(outData.IsArray());
  EXPECT_EQ(VarToInt32(outData.ArrayValue()->At(0)), 1001);
  EXPECT_EQ(object->calls, 0);
}

TEST_F(DispatchTest, SuccessfulPublicCallEmptiesOutDataAndPassesTheTimeOut) {
  OleVariant inData = OleVariant::Vector({OleVariant::Text("x")});
  OleVariant outData = OleVariant::Text("stale host value");
  OleVariant timeOut = OleVariant::Boolean(true);
  const auto call = CallByRef(*object, u"Echo", {&inData, &outData, &timeOut});
  EXPECT_EQ(call.hr, hrOk);
  EXPECT_EQ(call.result.Type(), varBoolean);
  EXPECT_TRUE(VarToBool(call.result));
  EXPECT_TRUE(outData.IsEmpty());
  EXPECT_EQ(object->seenTimeOut, -1);
  EXPECT_EQ(VarToLogStr(object->seenInData), "[('x')]");
  // InData is handed back to the host as it came.
  EXPECT_EQ(VarToLogStr(inData), "[('x')]");
}

TEST_F(DispatchTest, FailedPublicCallReportsCodeAndDescription) {
  struct Case {
    int32_t code;
    const char* description;
    const char* expected;
  };
  for (const Case c : {Case{1003, "", "Команда не поддерживается устройством"}, Case{400, "плохо", "плохо"},
                       Case{1021, "", "Неизвестная ошибка"}}) {
    object->codeToReturn = c.code;
    object->descriptionToSet = c.description;
    OleVariant inData;
    OleVariant outData;
    OleVariant timeOut = OleVariant::Int32(0);
    const auto call = CallByRef(*object, u"Echo", {&inData, &outData, &timeOut});
    EXPECT_EQ(call.hr, hrOk);
    EXPECT_FALSE(VarToBool(call.result));
    ExpectFailureArray(outData, c.code, c.expected);
  }
}

TEST_F(DispatchTest, ExceptionInPublicMethodIsReportedAs1001EvenWithItsOwnCode) {
  OleVariant inData;
  OleVariant outData;
  OleVariant timeOut = OleVariant::Int32(0);
  const auto call = CallByRef(*object, u"Throw", {&inData, &outData, &timeOut});
  EXPECT_EQ(call.hr, hrOk);
  EXPECT_FALSE(VarToBool(call.result));
  ExpectFailureArray(outData, 1001, "Устройство сломалось");
}

TEST_F(DispatchTest, ExtraArgumentsAreNotSeenButWrittenBackWidened) {
  OleVariant inData;
  OleVariant outData;
  OleVariant timeOut = OleVariant::Int32(0);
  OleVariant fourth = OleVariant::Int16(4);
  const auto call = CallByRef(*object, u"Echo", {&inData, &outData, &timeOut, &fourth});
  EXPECT_EQ(call.hr, hrOk);
  EXPECT_EQ(fourth.Type(), varInteger);
  EXPECT_EQ(VarToInt32(fourth), 4);
}

TEST_F(DispatchTest, PrivateMethodReplacementReachesTheHostsVariable) {
  OleVariant first = OleVariant::Int32(1);
  OleVariant second = OleVariant::Text("before");
  const auto call = CallByRef(*object, u"Replace", {&first, &second});
  EXPECT_EQ(call.hr, hrOk);
  EXPECT_EQ(VarToInt32(call.result), 2);
  EXPECT_EQ(VarToStr(second), "заменено");
}

TEST_F(DispatchTest, PrivateMethodExceptionBecomesADispatchExceptionAndWritesNothing) {
  OleVariant first = OleVariant::Int16(1);
  const auto call = CallByRef(*object, u"Raise", {&first});
  EXPECT_EQ(call.hr, hrDispException);
  EXPECT_EQ(call.exception.scode, 1001);
  EXPECT_EQ(call.exception.description, u"нельзя преобразовать");
  EXPECT_EQ(call.exception.source, u"EConvertError");
  EXPECT_EQ(first.Type(), varSmallint);
}

TEST_F(DispatchTest, RefusesCallsThatNameNoMethodOrLackTheMethodFlag) {
  std::vector<OleVariant> none;
  const DispID echo = IdOf(*object, u"Echo");
  EXPECT_EQ(CallRaw(*object, echo, none, dispatchPropertyGet).hr, hrFail);
  EXPECT_EQ(CallRaw(*object, echo, none, dispatchPropertyPut).hr, hrFail);
  EXPECT_EQ(CallRaw(*object, 100000, none).hr, hrFail);
  EXPECT_EQ(CallRaw(*object, -1, none).hr, hrFail);
  EXPECT_EQ(CallRaw(*object, static_cast<DispID>(object->Methods().size()), none).hr, hrFail);
  EXPECT_EQ(CallRaw(*object, 0xFFFF, none).hr, hrFail);
  EXPECT_EQ(object->calls, 0);
}

TEST_F(DispatchTest, WritesBackIntoTypedReferences) {
  object->replacement = OleVariant::Boolean(true);
  int16_t small = 0;
  int16_t flag = 0;
  std::u16string text;
  double number = 0;
  Currency money{};
  uint8_t byte = 0;
  uint32_t unsignedNumber = 0;
  struct Case {
    const char* label;
    OleVariant element;
    OleVariant target;
    std::function<void()> check;
  };
  const Case cases[] = {
      {"int16", OleVariant::Double(3.5), OleVariant::RefSmallint(&small), [&] { EXPECT_EQ(small, 4); }},
      {"boolean stored as 1", OleVariant::Boolean(true), OleVariant::RefBoolean(&flag),
       [&] { EXPECT_EQ(flag, 1); }},
      {"text", OleVariant::Int32(12), OleVariant::RefOleStr(&text), [&] { EXPECT_EQ(text, u"12"); }},
      {"double", OleVariant::Text("2.25"), OleVariant::RefDouble(&number), [&] { EXPECT_EQ(number, 2.25); }},
      {"currency", OleVariant::Double(1.5), OleVariant::RefCurrency(&money),
       [&] { EXPECT_EQ(money.value, 15000); }},
      {"byte keeps low bits", OleVariant::Int32(0x1FF), OleVariant::RefByte(&byte),
       [&] { EXPECT_EQ(byte, 0xFF); }},
      {"unsigned 32 bits take 2^32-16", OleVariant::LongWord(0xFFFFFFF0u),
       OleVariant::RefLongWord(&unsignedNumber), [&] { EXPECT_EQ(unsignedNumber, 0xFFFFFFF0u); }},
      {"unsigned 32 bits keep a negative value's bits", OleVariant::Int32(-1),
       OleVariant::RefLongWord(&unsignedNumber), [&] { EXPECT_EQ(unsignedNumber, 0xFFFFFFFFu); }},
  };
  for (const Case& c : cases) {
    object->replacement = c.element;
    OleVariant first;
    std::vector<OleVariant> args{c.target, OleVariant::RefVariant(&first)};
    const auto call = CallRaw(*object, IdOf(*object, u"Replace"), args);
    EXPECT_EQ(call.hr, hrOk) << c.label;
    c.check();
  }
}

TEST_F(DispatchTest, WriteBackFailuresNeverEscapeInvoke) {
  int32_t number = 0;
  uint32_t unsignedNumber = 7;
  struct Case {
    const char* label;
    OleVariant element;
    OleVariant target;
    const char* description;
  };
  const Case cases[] = {
      {"unconvertible element", OleVariant::Text("abc"), OleVariant::RefInteger(&number), nullptr},
      {"beyond 32 bits into unsigned", OleVariant::Int64(int64_t{1} << 32),
       OleVariant::RefLongWord(&unsignedNumber),
       "Значение 4294967296 вне допустимого диапазона типа LongWord"},
      {"2^31 into signed", OleVariant::LongWord(0x80000000u), OleVariant::RefInteger(&number),
       "Значение 2147483648 вне допустимого диапазона типа Integer"},
  };
  for (const Case& c : cases) {
    object->replacement = c.element;
    OleVariant first;
    std::vector<OleVariant> args{c.target, OleVariant::RefVariant(&first)};
    const auto call = CallRaw(*object, IdOf(*object, u"Replace"), args);
    EXPECT_EQ(call.hr, hrDispException) << c.label;
    EXPECT_EQ(call.exception.scode, 1001) << c.label;
    if (c.description != nullptr) {
      EXPECT_EQ(Utf16ToUtf8(call.exception.description), c.description);
    }
  }
  EXPECT_EQ(unsignedNumber, 7u);
}

// A host's unsigned values of 2^31 and more, which a public method never touches, come back as
// they went, in their own kind: the call must not fail after the method has run.
TEST_F(DispatchTest, UnsignedReferencesOfTwoToThe31AndMoreComeBackUnchanged) {
  uint32_t single = 0x80000000u;
  SafeArrayPtr numbers = SafeArray::Create1D(0, 2);
  numbers->At(0) = OleVariant::LongWord(0x80000000u);
  numbers->At(1) = OleVariant::LongWord(0xFFFFFFFFu);
  OleVariant outData;
  OleVariant timeOut = OleVariant::Int32(0);
  std::vector<OleVariant> args{OleVariant::RefLongWord(&single), OleVariant::RefVariant(&timeOut),
                               OleVariant::RefVariant(&outData), OleVariant::RefArray(&numbers, varLongWord)};
  EXPECT_EQ(CallRaw(*object, IdOf(*object, u"Echo"), args).hr, hrOk);
  EXPECT_EQ(single, 0x80000000u);
  EXPECT_EQ(numbers->At(1).Type(), varLongWord);
  EXPECT_EQ(numbers->At(1).IntegerValue(), 0xFFFFFFFF);
}

TEST_F(DispatchTest, ByValueArgumentsAreReplacedInPlace) {
  std::vector<OleVariant> args{OleVariant::Text("by value"), OleVariant::Int16(1)};
  const auto call = CallRaw(*object, IdOf(*object, u"Replace"), args);
  EXPECT_EQ(call.hr, hrOk);
  EXPECT_EQ(VarToStr(args[0]), "заменено");
  EXPECT_EQ(args[1].Type(), varInteger);
}

TEST_F(DispatchTest, ArrayTargetTakesAnArrayElement) {
  SafeArrayPtr hostArray = SafeArray::Create1D(0, 1);
  object->replacement = OleVariant::Vector({OleVariant::Int32(7), OleVariant::Int32(8)});
  OleVariant first;
  std::vector<OleVariant> args{OleVariant::RefArray(&hostArray), OleVariant::RefVariant(&first)};
  EXPECT_EQ(CallRaw(*object, IdOf(*object, u"Replace"), args).hr, hrOk);
  EXPECT_EQ(hostArray->HighBound(1), 1);
  EXPECT_EQ(VarToInt32(hostArray->At(1)), 8);
}

TEST_F(DispatchTest, ByReferenceKindsWithoutAWriteBackRowAreRefusedBeforeTheMethodRuns) {
  int8_t tiny = 3;
  int64_t wide = 3;
  uint64_t unsignedWide = 3;
  int32_t scode = 3;
  const OleVariant machineInt = OleVariant::MachineInt(3);
  SafeArrayPtr wideArray = SafeArray::Create1D(0, 1);
  struct Case {
    const char* label;
    OleVariant target;
    const char* reason;
  };
  const Case cases[] = {
      {"int8", OleVariant::RefShortInt(&tiny),
       "в ссылку на значение типа ShortInt нельзя записать результат"},
      {"int64", OleVariant::RefInt64(&wide), "в ссылку на значение типа Int64 нельзя записать результат"},
      {"uint64", OleVariant::RefUInt64(&unsignedWide),
       "в ссылку на значение типа UInt64 нельзя записать результат"},
      {"error", OleVariant::RefError(&scode), "в ссылку на значение типа Error нельзя записать результат"},
      {"kind without a slot type", OleVariant::RefOther(&machineInt),
       "в ссылку на значение неизвестного типа нельзя записать результат"},
      {"typed reference without storage", OleVariant::RefInteger(nullptr), "ссылка не указывает на значение"},
      {"variant reference without storage", OleVariant::RefVariant(nullptr),
       "ссылка не указывает на значение"},
      {"array variable of a kind without a row", OleVariant::RefArray(&wideArray, varInt64),
       "в массив элементов типа Int64 нельзя записать результат"},
      {"array variable without storage", OleVariant::RefArray(nullptr), "ссылка не указывает на значение"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    object->calls = 0;
    OleVariant first = OleVariant::Text("first");
    std::vector<OleVariant> args{c.target, OleVariant::RefVariant(&first)};
    const auto call = CallRaw(*object, IdOf(*object, u"Replace"), args);
    EXPECT_EQ(call.hr, hrDispException);
    EXPECT_EQ(call.exception.scode, 1004);
    EXPECT_EQ(Utf16ToUtf8(call.exception.description),
              std::string("Ошибка входных параметров команды: аргумент 2: ") + c.reason);
    EXPECT_EQ(object->calls, 0) << "the method ran although its outcome could not reach the host";
    EXPECT_EQ(VarToStr(first), "first");
  }
  EXPECT_EQ(tiny, 3);
  EXPECT_EQ(wide, 3);
  EXPECT_EQ(unsignedWide, 3u);
  EXPECT_EQ(scode, 3);
  EXPECT_TRUE(wideArray->At(0).IsEmpty());
}

TEST_F(DispatchTest, AnArrayVariableAsOutDataTakesTheFailureArrayOrNoArray) {
  object->codeToReturn = 1003;
  SafeArrayPtr variable = SafeArray::Create1D(5, 3);
  OleVariant inData;
  OleVariant timeOut = OleVariant::Int32(0);
  std::vector<OleVariant> args{OleVariant::RefVariant(&timeOut), OleVariant::RefArray(&variable),
                               OleVariant::RefVariant(&inData)};
  ASSERT_EQ(CallRaw(*object, IdOf(*object, u"Echo"), args).hr, hrOk);
  ExpectFailureArray(OleVariant::Array(std::make_unique<SafeArray>(*variable)), 1003,
                     "Команда не поддерживается устройством");
  // A success leaves OutData Empty: the variable then holds no array, as the host's own would.
  object->codeToReturn = 0;
  ASSERT_EQ(CallRaw(*object, IdOf(*object, u"Echo"), args).hr, hrOk);
  EXPECT_EQ(variable, nullptr);
}

SafeArrayPtr FixedArray(int32_t count) {
  SafeArrayPtr array = SafeArray::Create1D(0, count);
  for (int32_t i = 0; i < count; ++i) array->At(i) = OleVariant::Int32(i + 10);
  array->SetFixedShape(true);
  return array;
}

// A host's fixed-size array keeps its descriptor: where the method would leave another value (a
// public method's OutData, any argument of a private method) the call is refused before the method
// runs; where the method only reads it, it takes its own elements back.
TEST_F(DispatchTest, FixedSizeArraysAreRefusedWhereTheMethodWouldReplaceThem) {
  struct Case {
    const char* label;
    const char16_t* method;
    bool asVariable;  // held by a variant variable rather than by an array variable
    uint32_t position;
    bool refused;
  };
  const Case cases[] = {
      {"public OutData", u"Echo", false, 2, true},
      {"public OutData in a variant", u"Echo", true, 2, true},
      {"public InData", u"Echo", false, 1, false},
      {"public InData in a variant", u"Echo", true, 1, false},
      {"public fourth argument", u"Echo", true, 4, false},
      {"private first argument", u"Replace", false, 1, true},
      {"private second argument in a variant", u"Replace", true, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    object->calls = 0;
    SafeArrayPtr fixed = FixedArray(2);
    OleVariant variable = OleVariant::Array(FixedArray(2));
    std::vector<OleVariant> callOrder(4);
    std::vector<OleVariant> args;
    for (uint32_t position = 4; position >= 1; --position) {
      const bool isFixed = position == c.position;
      if (isFixed) {
        args.push_back(c.asVariable ? OleVariant::RefVariant(&variable) : OleVariant::RefArray(&fixed));
      } else {
        callOrder[position - 1] = position == 3 ? OleVariant::Int32(0) : OleVariant();
        args.push_back(OleVariant::RefVariant(&callOrder[position - 1]));
      }
    }
    const auto call = CallRaw(*object, IdOf(*object, c.method), args);
    const SafeArray* after =
        c.asVariable ? (variable.IsArray() ? variable.ArrayValue() : nullptr) : fixed.get();
    if (c.refused) {
      EXPECT_EQ(call.hr, hrDispException);
      EXPECT_EQ(call.exception.scode, 1004);
      EXPECT_EQ(
          Utf16ToUtf8(call.exception.description),
          "Ошибка входных параметров команды: аргумент " + std::to_string(c.position) +
              ": массив постоянного размера или заблокированный массив нельзя заменить результатом метода");
      EXPECT_EQ(object->calls, 0);
    } else {
      EXPECT_EQ(call.hr, hrOk);
      EXPECT_EQ(object->calls, 1);
    }
    ASSERT_NE(after, nullptr) << "the fixed array was taken away";
    EXPECT_EQ(VarToLogStr(OleVariant::Array(std::make_unique<SafeArray>(*after))), "[(10; 11)]");
  }
}

TEST_F(DispatchTest, NamedArgumentsAreRefusedBeforeTheMethodRuns) {
  OleVariant inData;
  OleVariant outData = OleVariant::Text("host");
  OleVariant timeOut = OleVariant::Int32(0);
  std::vector<OleVariant> args{OleVariant::RefVariant(&timeOut), OleVariant::RefVariant(&outData),
                               OleVariant::RefVariant(&inData)};
  DispParams params{args.data(), 3, 1};
  OleVariant result = OleVariant::Text("untouched");
  EXPECT_EQ(object->Invoke(IdOf(*object, u"Echo"), dispatchMethod, params, &result, nullptr), hrNoNamedArgs);
  EXPECT_EQ(object->calls, 0);
  EXPECT_EQ(VarToStr(outData), "host");
  EXPECT_EQ(VarToStr(result), "untouched");
  // A call that names no method, or is no method call, is answered as such first.
  EXPECT_EQ(object->Invoke(100000, dispatchMethod, params, nullptr, nullptr), hrFail);
  EXPECT_EQ(object->Invoke(IdOf(*object, u"Echo"), dispatchPropertyPut, params, nullptr, nullptr), hrFail);
}

TEST_F(DispatchTest, TypedArrayVariablesAreReadElementByElement) {
  SafeArrayPtr numbers = SafeArray::Create1D(5, 2);
  numbers->At(5) = OleVariant::Int32(1);
  numbers->At(6) = OleVariant::Int32(2);
  OleVariant inData = OleVariant::RefArray(&numbers, varInteger);
  OleVariant outData;
  OleVariant timeOut = OleVariant::Int32(0);
  std::vector<OleVariant> args{OleVariant::RefVariant(&timeOut), OleVariant::RefVariant(&outData), inData};
  EXPECT_EQ(CallRaw(*object, IdOf(*object, u"Echo"), args).hr, hrOk);
  EXPECT_EQ(VarToLogStr(object->seenInData), "[(1; 2)]");
  // Written back unchanged, in the variable's own kind.
  EXPECT_EQ(numbers->LowBound(1), 5);
  EXPECT_EQ(numbers->At(6).Type(), varInteger);
}

// A script host's array variable that holds no array yet (a null SAFEARRAY*) is not something the
// public method can have changed: the call must not be refused after the method has run.
TEST_F(DispatchTest, ArrayVariableWithoutAnArrayStaysWithoutOne) {
  SafeArrayPtr none;
  OleVariant outData;
  OleVariant timeOut = OleVariant::Int32(0);
  std::vector<OleVariant> args{OleVariant::RefVariant(&timeOut), OleVariant::RefVariant(&outData),
                               OleVariant::RefArray(&none, varDate)};
  EXPECT_EQ(CallRaw(*object, IdOf(*object, u"Echo"), args).hr, hrOk);
  EXPECT_EQ(none, nullptr);
}

TEST_F(DispatchTest, TypedArrayVariablesTakeEachElementInTheirKind) {
  struct Case {
    const char* label;
    VarType elementType;
    OleVariant replacement;
    HRESULT expectedHr;
    const char* expectedArray;  // the log rendering of the variable afterwards, when the call succeeds
    VarType expectedKind;
  };
  const Case cases[] = {
      {"integers round", varInteger, OleVariant::Vector({OleVariant::Double(2.5), OleVariant::Text("7")}),
       hrOk, "[(2; 7)]", varInteger},
      {"16-bit integers", varSmallint, OleVariant::Vector({OleVariant::Int32(-3)}), hrOk, "[(-3)]",
       varSmallint},
      {"texts", varOleStr, OleVariant::Vector({OleVariant::Int32(12), OleVariant::Boolean(true)}), hrOk,
       "[('12'; 'True')]", varOleStr},
      {"booleans", varBoolean, OleVariant::Vector({OleVariant::Int32(5), OleVariant::Int32(0)}), hrOk,
       "[(True; False)]", varBoolean},
      {"variants keep their kinds", varVariant,
       OleVariant::Vector({OleVariant::Int16(1), OleVariant::Text("x")}), hrOk, "[(1; 'x')]", varSmallint},
      {"two dimensions", varDouble,
       [] {
         auto table = SafeArray::Create2D({0, 2}, {1, 1});
         table->At(0, 1) = OleVariant::Int32(1);
         table->At(1, 1) = OleVariant::Text("2.5");
         return OleVariant::Array(std::move(table));
       }(),
       hrOk, "[((1; 2.5))]", varDouble},
      {"an element that does not convert", varDispatch, OleVariant::Vector({OleVariant::Text("x")}),
       hrDispException, nullptr, varEmpty},
      {"not an array", varInteger, OleVariant::Int32(1), hrDispException, nullptr, varEmpty},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SafeArrayPtr variable = SafeArray::Create1D(0, 1);
    object->replacement = c.replacement;
    OleVariant first;
    std::vector<OleVariant> args{OleVariant::RefArray(&variable, c.elementType),
                                 OleVariant::RefVariant(&first)};
    const auto call = CallRaw(*object, IdOf(*object, u"Replace"), args);
    EXPECT_EQ(call.hr, c.expectedHr);
    if (c.expectedArray == nullptr) {
      EXPECT_EQ(variable->Elements().size(), 1u) << "a refused write-back replaced the variable";
      continue;
    }
    EXPECT_EQ(VarToLogStr(OleVariant::Array(std::make_unique<SafeArray>(*variable))), c.expectedArray);
    EXPECT_EQ(variable->Elements()[0].Type(), c.expectedKind);
  }
}

}  // namespace
}  // namespace tallowmer
