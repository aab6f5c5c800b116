#include "loyalty/uBaseLoyaltySystem.h"

#include "common/DateTime.h"
#include "common/Exceptions.h"
#include "common/uEquipmentErrors.h"
#include "loyalty/InDataReader.h"

namespace tallowmer {
namespace {

// Runs the reading step of a method: any failure to read InData ends the method with 1004 before
// its operation is called.
template <typename Read>
bool ReadInData(Read read) {
  try {
    read();
    return true;
  } catch (const Exception&) {
    return false;
  }
}

// The date of RegisterCustomer's element 6: Empty means no date, Null means now.
double RegistrationDate(const InDataReader& reader) {
  const OleVariant& element = reader.Required(6);
  if (element.IsEmpty()) return -1.0;
  if (element.IsNull()) return NowAsDateTime();
  return reader.RequiredDate(6);
}

}  // namespace

void TBaseLoyaltySystem::RegisterMethods() {
  TBaseDevice::RegisterMethods();
  AddSpecificMethod("GetCustomerData",
                    [this](OleVariant& in, OleVariant& out, int32_t, std::string& description) {
                      return GetCustomerData(in, out, description);
                    });
  AddSpecificMethod("RegisterCustomer",
                    [this](OleVariant& in, OleVariant&, int32_t, std::string& description) {
                      return RegisterCustomer(in, description);
                    });
  AddSpecificMethod("CreateOrder",
                    [this](OleVariant& in, OleVariant& out, int32_t, std::string& description) {
                      return CreateOrder(in, out, description);
                    });
  AddSpecificMethod("CloseOrder", [this](OleVariant& in, OleVariant& out, int32_t, std::string& description) {
    return CloseOrder(in, out, description);
  });
  AddSpecificMethod("CancelOrder",
                    [this](OleVariant& in, OleVariant& out, int32_t, std::string& description) {
                      return CancelOrder(in, out, description);
                    });
  AddSpecificMethod("GetAvailableProduct",
                    [this](OleVariant& in, OleVariant& out, int32_t, std::string& description) {
                      return GetAvailableProduct(in, out, description);
                    });
  AddSpecificMethod("VerifyClient",
                    [this](OleVariant& in, OleVariant& out, int32_t, std::string& description) {
                      return VerifyClient(in, out, description);
                    });
  AddSpecificMethod("VerifyPromocode",
                    [this](OleVariant& in, OleVariant&, int32_t, std::string& description) {
                      return VerifyPromocode(in, description);
                    });
}

void TBaseLoyaltySystem::FillDeviceInfo() {
  TBaseDevice::FillDeviceInfo();
  FDeviceInfo.TypeName = "LoyaltySystem";
}

int32_t TBaseLoyaltySystem::GetCustomerData(const OleVariant& inData, OleVariant& outData,
                                            std::string& resultDescription) {
  resultDescription.clear();
  const InDataReader reader(inData);
  TGetCustomerDataIn in;
  if (!ReadInData([&] {
        in.ClientID = reader.RequiredStr(0);
        in.ClientIDKind = reader.RequiredInt(1);
        in.Element2 = reader.RequiredInt(2);
      })) {
    return kResultBadInput;
  }
  TGetCustomerDataOut out;
  const int32_t code = DoGetCustomerData(in, out, resultDescription);
  if (code != kResultOk) return code;
  outData = OleVariant::Vector({
      OleVariant::Text(out.Name),
      OleVariant::Text(out.Phone),
      OleVariant::Text(out.Email),
      OleVariant::FromCurrency(out.BonusBalance),
      OleVariant::Text(out.CardNumber),
      OleVariant::Text(out.ServiceClientID),
      out.IntegerAttribute == -1 ? OleVariant() : OleVariant::Int32(out.IntegerAttribute),
      OleVariant::Date(out.DateAttribute),
  });
  return code;
}

int32_t TBaseLoyaltySystem::RegisterCustomer(const OleVariant& inData, std::string& resultDescription) {
  resultDescription.clear();
  const InDataReader reader(inData);
  TRegisterCustomerIn in;
  if (!ReadInData([&] {
        in.ClientID = reader.RequiredStr(0);
        in.ClientIDKind = reader.RequiredInt(1);
        in.FullName = reader.RequiredStr(2);
        in.Element3 = reader.OptionalStr(3);
        in.Element4 = reader.OptionalStr(4);
        in.Element5 = reader.OptionalInt(5, -1);
        in.DateAttribute = RegistrationDate(reader);
        in.Element7 = reader.OptionalInt(7, 0);
        in.Element8 = reader.OptionalStr(8);
      })) {
    return kResultBadInput;
  }
  return DoRegisterCustomer(in, resultDescription);
}

int32_t TBaseLoyaltySystem::CreateOrder(const OleVariant& inData, OleVariant& outData,
                                        std::string& resultDescription) {
  resultDescription.clear();
  const InDataReader reader(inData);
  TCreateOrderIn in;
  if (!ReadInData([&] {
        in.Element0 = reader.Required(0);
        in.ClientID = reader.RequiredStr(1);
        in.ClientIDKind = reader.RequiredInt(2);
        in.Element3 = reader.OptionalVariant(3);
        in.Element4 = reader.OptionalCurr(4);
        in.Element5 = reader.OptionalStr(5);
        in.Element6 = reader.OptionalStr(6);
      })) {
    return kResultBadInput;
  }
  TCreateOrderOut out;
  const int32_t code = DoCreateOrder(in, out, resultDescription);
  if (code != kResultOk) return code;
  outData = OleVariant::Vector({
      OleVariant::Text(out.OrderID),
      OleVariant::FromCurrency(out.BonusBalance),
      out.Value2,
      OleVariant::FromCurrency(out.Amount3),
      OleVariant::Text(out.Text4),
      OleVariant::FromCurrency(out.Amount5),
  });
  return code;
}

int32_t TBaseLoyaltySystem::CloseOrder(const OleVariant& inData, OleVariant& outData,
                                       std::string& resultDescription) {
  resultDescription.clear();
  const InDataReader reader(inData);
  TCloseOrderIn in;
  if (!ReadInData([&] {
        in.OrderID = reader.RequiredStr(0);
        in.Receipt = &reader.Required(1);
        in.BonusWriteOff = reader.RequiredCurr(2);
        in.Element3 = reader.RequiredCurr(3);
        in.ClientID = reader.RequiredStr(4);
        in.ClientIDKind = reader.RequiredInt(5);
        in.OperationKind = reader.RequiredInt(6);
        in.ReturnOrderID = reader.RequiredStr(7);
        in.ReturnDateTime = reader.OptionalDate(8);
        in.Element9 = reader.OptionalStr(9);
        in.OrderNumber = reader.OptionalStr(10);
        in.Element11 = reader.OptionalStr(11);
        in.Element12 = reader.OptionalStr(12);
        in.Element13 = reader.OptionalStr(13);
        in.Element14 = reader.OptionalStr(14);
      })) {
    return kResultBadInput;
  }
  TCloseOrderOut out;
  const int32_t code = DoCloseOrder(in, out, resultDescription);
  if (code != kResultOk) return code;
  outData = OleVariant::Vector({
      OleVariant::FromCurrency(out.BonusBalance),
      OleVariant::Text(out.Text),
      OleVariant::Date(out.TransactionDateTime),
      OleVariant::Text(out.Text3),
  });
  return code;
}

int32_t TBaseLoyaltySystem::CancelOrder(const OleVariant& inData, OleVariant& outData,
                                        std::string& resultDescription) {
  resultDescription.clear();
  const InDataReader reader(inData);
  TCancelOrderIn in;
  if (!ReadInData([&] {
        in.OrderID = reader.RequiredStr(0);
        in.TransactionDateTime = reader.RequiredDate(1);
        in.Element2 = reader.RequiredStr(2);
        in.Element3 = reader.RequiredInt(3);
        in.Element4 = reader.RequiredStr(4);
        in.Element5 = reader.OptionalStr(5);
        in.Element6 = reader.OptionalCurr(6);
        in.Element7 = reader.OptionalCurr(7);
      })) {
    return kResultBadInput;
  }
  TCancelOrderOut out;
  const int32_t code = DoCancelOrder(in, out, resultDescription);
  if (code != kResultOk) return code;
  outData = OleVariant::Vector({OleVariant::Text(out.Text)});
  return code;
}

int32_t TBaseLoyaltySystem::GetAvailableProduct(const OleVariant& inData, OleVariant& outData,
                                                std::string& resultDescription) {
  resultDescription.clear();
  const InDataReader reader(inData);
  TGetAvailableProductIn in;
  if (!ReadInData([&] {
        in.Element0 = reader.OptionalVariant(0);
        in.Element1 = reader.OptionalStr(1);
      })) {
    return kResultBadInput;
  }
  OleVariant product;
  const int32_t code = DoGetAvailableProduct(in, product, resultDescription);
  if (code != kResultOk) return code;
  outData = OleVariant::Vector({product});
  return code;
}

int32_t TBaseLoyaltySystem::VerifyClient(const OleVariant& inData, OleVariant& outData,
                                         std::string& resultDescription) {
  resultDescription.clear();
  const InDataReader reader(inData);
  TVerifyClientIn in;
  if (!ReadInData([&] {
        in.Element0 = reader.RequiredStr(0);
        in.Element1 = reader.RequiredInt(1);
        in.Element2 = reader.RequiredStr(2);
        in.Element3 = reader.OptionalCurr(3);
        in.Element4 = reader.OptionalCurr(4);
      })) {
    return kResultBadInput;
  }
  const int32_t code = DoVerifyClient(in, resultDescription);
  if (code != kResultOk) return code;
  outData = OleVariant::Vector({OleVariant::Text(in.Element2)});
  return code;
}

int32_t TBaseLoyaltySystem::VerifyPromocode(const OleVariant& inData, std::string& resultDescription) {
  resultDescription.clear();
  const InDataReader reader(inData);
  TVerifyPromocodeIn in;
  if (!ReadInData([&] {
        in.Element0 = reader.Required(0);
        in.Element1 = reader.RequiredStr(1);
        in.Element2 = reader.RequiredInt(2);
        in.Element3 = reader.OptionalVariant(3);
        in.Element4 = reader.OptionalCurr(4);
        in.Element5 = reader.OptionalStr(5);
        in.Element6 = reader.OptionalStr(6);
      })) {
    return kResultBadInput;
  }
  return DoVerifyPromocode(in, resultDescription);
}

int32_t TBaseLoyaltySystem::DoGetCustomerData(const TGetCustomerDataIn&, TGetCustomerDataOut& out,
                                              std::string& resultDescription) {
  for (std::string* text : {&out.Name, &out.Phone, &out.Email, &out.CardNumber, &out.ServiceClientID})
    text->clear();
  resultDescription.clear();
  return kResultNotSupported;
}

int32_t TBaseLoyaltySystem::DoRegisterCustomer(const TRegisterCustomerIn&, std::string& resultDescription) {
  resultDescription.clear();
  return kResultNotSupported;
}

int32_t TBaseLoyaltySystem::DoCreateOrder(const TCreateOrderIn&, TCreateOrderOut& out,
                                          std::string& resultDescription) {
  out.OrderID.clear();
  out.Text4.clear();
  resultDescription.clear();
  return kResultNotSupported;
}

int32_t TBaseLoyaltySystem::DoCloseOrder(const TCloseOrderIn&, TCloseOrderOut& out,
                                         std::string& resultDescription) {
  out.Text.clear();
  out.Text3.clear();
  resultDescription.clear();
  return kResultNotSupported;
}

int32_t TBaseLoyaltySystem::DoCancelOrder(const TCancelOrderIn&, TCancelOrderOut& out,
                                          std::string& resultDescription) {
  out.Text.clear();
  resultDescription.clear();
  return kResultNotSupported;
}

int32_t TBaseLoyaltySystem::DoGetAvailableProduct(const TGetAvailableProductIn&, OleVariant&,
                                                  std::string& resultDescription) {
  resultDescription.clear();
  return kResultNotSupported;
}

int32_t TBaseLoyaltySystem::DoVerifyClient(const TVerifyClientIn&, std::string& resultDescription) {
  resultDescription.clear();
  return kResultNotSupported;
}

int32_t TBaseLoyaltySystem::DoVerifyPromocode(const TVerifyPromocodeIn&, std::string& resultDescription) {
  resultDescription.clear();
  return kResultNotSupported;
}

}  // namespace tallowmer
