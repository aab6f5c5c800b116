#include "common/uCommon.h"

#include <cstdio>

#include "platform/Env.h"

namespace tallowmer {
namespace {

struct EquipmentType {
  const char* identifier;
  const char* displayName;
};

// "FastPaymentSystem" begins with a Latin C, as hosts show it.
constexpr EquipmentType kEquipmentTypes[] = {
    {"Unknown", "Неизвестный тип"},
    {"Template", "Шаблон"},
    {"Scanner", "Сканер штрихкодов"},
    {"FiscalPrinter", "Фискальный регистратор"},
    {"EcrOnline", "ККТ с функцией передачи в ОФД"},
    {"EcrOnline3", "ККТ с функцией передачи в ОФД БПО 3.X"},
    {"FiscalCashRegister", "Фискальный регистратор БПО"},
    {"AcquiringTerminal", "Эквайринг-терминал"},
    {"DataCollectionTerminal", "Терминал сбора данных"},
    {"LineDisplay", "Дисплей покупателя"},
    {"CardReader", "Считыватель карт"},
    {"Scale", "Электронные весы"},
    {"ScaleOffline", "Электронные весы с печатью этикеток"},
    {"ServicePrinter", "Сервисный принтер"},
    {"AccessController", "Контроллер доступа"},
    {"LabelPrinter", "Принтер этикеток"},
    {"BiometricReader", "Биометрический считыватель"},
    {"ElectronicLocks", "Электронные замки"},
    {"SMSCommunicator", "СМС-коммуникатор"},
    {"EventLogger", "Регистратор событий"},
    {"TimePhasedServicesController", "Контроллер временных услуг"},
    {"CustomerFeedbackTerminal", "Терминал опроса клиентов"},
    {"BillValidator", "Купюроприемник"},
    {"CoffeeMachine", "Кофемашина"},
    {"ServiceTerminal", "Терминал услуг"},
    {"BloodPressureMonitor", "Тонометр"},
    {"AlcoTester", "Алкотестер"},
    {"VideoCamera", "Видеокамера"},
    {"LoyaltySystem", "Система лояльности"},
    {"Thermometer", "Термометр"},
    {"FastPaymentSystem", "Cистема быстрых платежей"},
};

}  // namespace

std::string GetEquipmentTypeName(const std::string& typeName) {
  for (const EquipmentType& type : kEquipmentTypes) {
    if (typeName == type.identifier) return type.displayName;
  }
  return typeName;
}

TFileVersion GetFileVersion(const std::string& fileName) {
  const platform::FileVersion version = platform::Env::Current().ModuleVersion(fileName);
  return TFileVersion{version.major, version.minor, version.release, version.build};
}

std::string FormatDeviceVersion(const TDeviceInfoStruct& info) {
  return std::to_string(info.MajorVersion) + "." + std::to_string(info.MinorVersion) + "." +
         std::to_string(info.BuildVersion);
}

std::string FormatContactInfo(const TDeviceInfoStruct& info) {
  return std::string("E-mail") + ":\t" + info.CI_email + "\r\n" + "Web" + ":\t" + info.CI_www + "\r\n" +
         "Тел" + ":\t" + info.CI_Phones + "\r\n" + "Адрес" + ":\t" + info.CI_address + "\r\n";
}

}  // namespace tallowmer
