#include <gtest/gtest.h>

#include "common/VariantConvert.h"
#include "tests/support/TestEnv.h"
#include "tools/host/HostManager.h"
#include "tools/host/VariantJson.h"

namespace tallowmer::host {
namespace {

class VariantJsonTest : public ::testing::Test {
 protected:
  OleVariant Decode(const std::string& text, ByRefSlots* slots = nullptr) {
    return JsonToVariant(Json::parse(text), DecodeContext{manager, slots});
  }

  testing::TestEnv env;
  std::ostringstream log;
  DispatchPtr manager = HostManager::Create(HostProperties{}, log);
};

struct RoundTripCase {
  const char* json;
  VarType type;
};

TEST_F(VariantJsonTest, EveryTagSurvivesTheRoundTripWithItsKind) {
  const RoundTripCase cases[] = {
      {R"("текст")", varOleStr},
      {R"(42)", varInteger},
      {R"({"$i8":5000000000})", varInt64},
      {R"(1.5)", varDouble},
      {R"(true)", varBoolean},
      {R"(null)", varNull},
      {R"({"$empty":null})", varEmpty},
      {R"({"$currency":"150.5"})", varCurrency},
      {R"({"$currency":"100"})", varCurrency},
      {R"({"$date":"2024-01-31 10:20:30"})", varDate},
      {R"({"$date":"1899-12-30 00:00:00"})", varDate},
      {R"({"$i2":5})", varSmallint},
      {R"({"$i8":5})", varInt64},
      {R"({"$ui1":65})", varByte},
      {R"({"$r4":1.5})", varSingle},
      {R"({"$ansi":"text"})", varString},
      {R"([1,"a",[2]])", varArray | varVariant},
      {R"({"$matrix":[[1,2,3],[4,5,6]]})", varArray | varVariant},
      {R"({"$matrix":{"lbounds":[1,0],"items":[[1]]}})", varArray | varVariant},
      {R"({"$array":{"lbound":1,"items":["x","y"]}})", varArray | varVariant},
  };
  for (const RoundTripCase& c : cases) {
    const OleVariant value = Decode(c.json);
    EXPECT_EQ(value.Type(), c.type) << c.json;
    EXPECT_EQ(VariantToJson(value), Json::parse(c.json)) << c.json;
  }
}

TEST_F(VariantJsonTest, MatrixElementsAreIndexedRowThenColumn) {
  const OleVariant matrix = Decode(R"({"$matrix":[[1,2,3],[4,5,6]]})");
  const SafeArray& array = *matrix.ArrayValue();
  EXPECT_EQ(array.HighBound(1), 1);
  EXPECT_EQ(array.HighBound(2), 2);
  EXPECT_EQ(VarToInt32(array.At(1, 0)), 4);
  EXPECT_EQ(VarToInt32(array.At(0, 2)), 3);
}

TEST_F(VariantJsonTest, ManagerAndByRefBindToTheHostsObjects) {
  EXPECT_EQ(Decode(R"({"$manager":{}})").DispatchValue(), manager);
  ByRefSlots slots;
  const OleVariant reference = Decode(R"({"$byref":{"$i2":7}})", &slots);
  ASSERT_TRUE(reference.IsByRef());
  EXPECT_EQ(reference.RefType(), varSmallint);
  *static_cast<int16_t*>(reference.RefTarget()) = 9;
  EXPECT_EQ(VariantToJson(reference), Json::parse(R"({"$byref":{"$i2":9}})"));
  EXPECT_THROW(Decode(R"({"$byref":1})"), JsonEncodingError);
}

TEST_F(VariantJsonTest, OutputWritesCurrencyAndDatesInTheirTextForms) {
  EXPECT_EQ(VariantToJson(OleVariant::FromCurrency(Currency{1505000})).dump(), R"({"$currency":"150.5"})");
  EXPECT_EQ(VariantToJson(OleVariant::Date(0)).dump(), R"({"$date":"1899-12-30 00:00:00"})");
  EXPECT_EQ(VariantToJson(OleVariant::Int32(-3)).dump(), "-3");
  EXPECT_EQ(VariantToJson(OleVariant::Dispatch(manager)).begin().key(), "$dispatch");
}

TEST_F(VariantJsonTest, MalformedValuesAreRejectedWithAReason) {
  for (const char* bad : {R"({"$unknown":1})", R"({"$currency":"abc"})", R"({"$date":"31.01.2024"})",
                          R"({"$i2":70000})", R"({"$ui1":-1})", R"({"$matrix":[[1],[2,3]]})",
                          R"({"$array":{"items":5}})", R"({"a":1,"b":2})", R"({"plain":1})"}) {
    EXPECT_THROW(Decode(bad), JsonEncodingError) << bad;
  }
}

}  // namespace
}  // namespace tallowmer::host
