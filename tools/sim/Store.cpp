#include "tools/sim/Store.h"

#include <sqlite3.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <random>
#include <utility>

namespace tallowmer::sim {
namespace {

constexpr int kSchemaVersion = 1;

// Amounts are stored as Decimal units (ten-thousandths) in INTEGER columns.
constexpr const char* kSchema = R"sql(
CREATE TABLE customers (
  client_id TEXT PRIMARY KEY,
  last_name TEXT NOT NULL,
  first_name TEXT NOT NULL,
  patronymic TEXT NOT NULL,
  phone TEXT NOT NULL,
  phone_digits TEXT NOT NULL,
  email TEXT NOT NULL,
  card_number TEXT NOT NULL,
  card_barcode TEXT NOT NULL,
  birthday TEXT NOT NULL,
  template_id TEXT NOT NULL,
  comment TEXT NOT NULL,
  tags TEXT NOT NULL,
  sex INTEGER NOT NULL,
  balance INTEGER NOT NULL
);
CREATE UNIQUE INDEX customers_card_number ON customers(card_number) WHERE card_number <> '';
CREATE UNIQUE INDEX customers_card_barcode ON customers(card_barcode) WHERE card_barcode <> '';
CREATE UNIQUE INDEX customers_phone ON customers(phone_digits) WHERE phone_digits <> '';
CREATE TABLE orders (
  guid TEXT PRIMARY KEY,
  client_id TEXT NOT NULL REFERENCES customers(client_id),
  number TEXT NOT NULL,
  date TEXT NOT NULL,
  sum INTEGER NOT NULL,
  sum_discount INTEGER NOT NULL,
  bonus_add INTEGER NOT NULL,
  bonus_write_off INTEGER NOT NULL,
  deposit_add INTEGER NOT NULL,
  deposit_write_off INTEGER NOT NULL,
  bonus_accrued INTEGER NOT NULL,
  request TEXT NOT NULL,
  returned INTEGER NOT NULL DEFAULT 0,
  return_sum INTEGER NOT NULL DEFAULT 0,
  return_date TEXT NOT NULL DEFAULT ''
);
CREATE TABLE order_lines (
  guid TEXT NOT NULL REFERENCES orders(guid),
  line INTEGER NOT NULL,
  nid TEXT NOT NULL,
  group_id TEXT NOT NULL,
  group_name TEXT NOT NULL,
  name TEXT NOT NULL,
  price INTEGER NOT NULL,
  price_with_discount INTEGER NOT NULL,
  amount INTEGER NOT NULL,
  PRIMARY KEY (guid, line)
);
)sql";

constexpr const char* kCustomerColumns =
    "client_id, last_name, first_name, patronymic, phone, email, card_number, card_barcode, birthday, "
    "template_id, comment, tags, sex, balance";

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
  throw StoreError(what + ": " + sqlite3_errmsg(db));
}

struct SqliteFree {
  void operator()(char* text) const { sqlite3_free(text); }
};

void Exec(sqlite3* db, const char* sql) {
  char* raw = nullptr;
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &raw);
  std::unique_ptr<char, SqliteFree> message(raw);
  if (rc != SQLITE_OK) throw StoreError(std::string(sql).substr(0, 40) + ": " + (raw ? raw : "failed"));
}

class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql) : db_(db) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &raw, nullptr) != SQLITE_OK) {
      Fail(db, "prepare");
    }
    statement_.reset(raw);
  }

  template <class... Values>
  Statement& Bind(const Values&... values) {
    int index = 0;
    (BindOne(++index, values), ...);
    return *this;
  }

  // True while there is a row to read.
  bool Step() {
    const int rc = sqlite3_step(statement_.get());
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) Fail(db_, "step");
    return false;
  }

  std::string Text(int column) const {
    const auto* text = sqlite3_column_text(statement_.get(), column);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<std::size_t>(sqlite3_column_bytes(statement_.get(), column)))
                : std::string();
  }
  std::int64_t Int(int column) const { return sqlite3_column_int64(statement_.get(), column); }
  Decimal Amount(int column) const { return Decimal::FromUnits(Int(column)); }

 private:
  struct Finalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
  };

  void Check(int rc) {
    if (rc != SQLITE_OK) Fail(db_, "bind");
  }
  void BindOne(int index, std::string_view text) {
    // A null pointer would bind SQL NULL, which the NOT NULL columns refuse.
    Check(sqlite3_bind_text(statement_.get(), index, text.empty() ? "" : text.data(),
                            static_cast<int>(text.size()), SQLITE_TRANSIENT));
  }
  void BindOne(int index, std::int64_t value) { Check(sqlite3_bind_int64(statement_.get(), index, value)); }
  void BindOne(int index, int value) { Check(sqlite3_bind_int64(statement_.get(), index, value)); }
  void BindOne(int index, Decimal value) { BindOne(index, value.Units()); }

  sqlite3* db_;
  std::unique_ptr<sqlite3_stmt, Finalizer> statement_;
};

// Rolls back unless committed, so an exception anywhere in a request undoes all of it.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) { Exec(db, "BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (!committed_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit() {
    Exec(db_, "COMMIT");
    committed_ = true;
  }

 private:
  sqlite3* db_;
  bool committed_ = false;
};

bool IsBlank(std::string_view text) {
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

Customer ReadCustomer(const Statement& row) {
  Customer customer;
  customer.clientId = row.Text(0);
  customer.lastName = row.Text(1);
  customer.firstName = row.Text(2);
  customer.patronymic = row.Text(3);
  customer.phone = row.Text(4);
  customer.email = row.Text(5);
  customer.cardNumber = row.Text(6);
  customer.cardBarcode = row.Text(7);
  customer.birthday = row.Text(8);
  customer.templateId = row.Text(9);
  customer.comment = row.Text(10);
  customer.tags = row.Text(11);
  customer.sex = static_cast<int>(row.Int(12));
  customer.balance = row.Amount(13);
  return customer;
}

std::string NewClientId() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::array<unsigned char, 16> bytes{};
  const std::uint64_t high = generator();
  const std::uint64_t low = generator();
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<unsigned char>(high >> (8 * i));
    bytes[8 + i] = static_cast<unsigned char>(low >> (8 * i));
  }
  // Version 4, variant 1: a random UUID as clients expect an opaque id to look.
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  std::string id;
  char hex[3];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
    id += hex;
  }
  return id;
}

std::vector<Customer> SeedCustomers() {
  auto make = [](std::string id, std::string last, std::string first, std::string patronymic,
                 std::string phone, std::string email, std::string card, std::string barcode,
                 std::string birthday, int sex, std::int64_t balanceHundredths) {
    Customer customer;
    customer.clientId = std::move(id);
    customer.lastName = std::move(last);
    customer.firstName = std::move(first);
    customer.patronymic = std::move(patronymic);
    customer.phone = std::move(phone);
    customer.email = std::move(email);
    customer.cardNumber = std::move(card);
    customer.cardBarcode = std::move(barcode);
    customer.birthday = std::move(birthday);
    customer.templateId = "1";
    customer.sex = sex;
    customer.balance = Decimal::FromUnits(balanceHundredths * (Decimal::kOne / 100));
    return customer;
  };
  return {
      make("1001", "Иванов", "Иван", "Иванович", "79001234567", "ivanov@example.com", "777", "2000000000015",
           "1985-04-12", 1, 50000),
      make("1002", "Петрова", "Мария", "Сергеевна", "79007654321", "petrova@example.com", "778",
           "2000000000022", "1992-11-03", 2, 15050),
      make("1003", "Сидоров", "Пётр", "Алексеевич", "79005550000", "", "779", "2000000000039", "", 1, 0),
  };
}

}  // namespace

Decimal AccrualFor(Decimal paid) {
  constexpr std::int64_t kUnitsPerHundredth = Decimal::kOne / 100;
  // paid × percent / 100 in hundredths is units × percent / (100 × kUnitsPerHundredth); adding half
  // the divisor before dividing rounds half up.
  constexpr std::int64_t kDivisor = 100 * kUnitsPerHundredth;
  const std::int64_t hundredths = (paid.Units() * kAccrualPercent + kDivisor / 2) / kDivisor;
  return Decimal::FromUnits(hundredths * kUnitsPerHundredth);
}

std::optional<LookupKind> ParseLookupKind(std::string_view name) {
  if (name == "clientId") return LookupKind::ClientId;
  if (name == "cardBarcode") return LookupKind::CardBarcode;
  if (name == "cardNumber") return LookupKind::CardNumber;
  if (name == "phone") return LookupKind::Phone;
  return std::nullopt;
}

std::string PhoneDigits(std::string_view phone) {
  std::string digits;
  for (char c : phone) {
    if (c >= '0' && c <= '9') digits += c;
  }
  return digits;
}

void Store::Closer::operator()(sqlite3* db) const {
  sqlite3_close_v2(db);
}

Store::Store(const std::string& path) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) {
    throw StoreError("cannot open " + path + ": " + (raw ? sqlite3_errmsg(raw) : "out of memory"));
  }
  // Someone may be looking at the file with the sqlite3 shell while we run.
  sqlite3_busy_timeout(db_.get(), 5000);
  Exec(db_.get(), "PRAGMA foreign_keys = ON");

  Statement version(db_.get(), "PRAGMA user_version");
  const std::int64_t found = version.Step() ? version.Int(0) : 0;
  if (found == 0) {
    Transaction transaction(db_.get());
    Exec(db_.get(), kSchema);
    Exec(db_.get(), ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    transaction.Commit();
  } else if (found != kSchemaVersion) {
    throw StoreError(path + " has layout version " + std::to_string(found) + ", this simulator knows " +
                     std::to_string(kSchemaVersion));
  }
}

Store::~Store() = default;

void Store::Seed() {
  std::lock_guard lock(mutex_);
  Transaction transaction(db_.get());
  for (const Customer& customer : SeedCustomers()) InsertCustomer(customer, true);
  transaction.Commit();
}

void Store::InsertCustomer(const Customer& customer, bool ignoreExisting) {
  Statement insert(db_.get(), std::string(ignoreExisting ? "INSERT OR IGNORE" : "INSERT") +
                                  " INTO customers (client_id, last_name, first_name, patronymic, phone, "
                                  "phone_digits, email, card_number, card_barcode, birthday, template_id, "
                                  "comment, tags, sex, balance) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
  insert.Bind(customer.clientId, customer.lastName, customer.firstName, customer.patronymic, customer.phone,
              PhoneDigits(customer.phone), customer.email, customer.cardNumber, customer.cardBarcode,
              customer.birthday, customer.templateId, customer.comment, customer.tags, customer.sex,
              customer.balance);
  insert.Step();
}

std::optional<Customer> Store::FindCustomer(LookupKind kind, std::string_view id) {
  std::lock_guard lock(mutex_);
  return FindCustomerLocked(kind, id);
}

std::optional<Customer> Store::FindCustomerLocked(LookupKind kind, std::string_view id) {
  std::string key(id);
  const char* column = "client_id";
  switch (kind) {
    case LookupKind::ClientId:
      break;
    case LookupKind::CardBarcode:
      column = "card_barcode";
      break;
    case LookupKind::CardNumber:
      column = "card_number";
      break;
    case LookupKind::Phone:
      column = "phone_digits";
      key = PhoneDigits(id);
      break;
  }
  // The empty value marks "none" in the identifier columns; it must not find those customers.
  if (key.empty()) return std::nullopt;
  Statement select(db_.get(),
                   std::string("SELECT ") + kCustomerColumns + " FROM customers WHERE " + column + " = ?");
  select.Bind(key);
  if (!select.Step()) return std::nullopt;
  return ReadCustomer(select);
}

std::size_t Store::CustomerCount() {
  std::lock_guard lock(mutex_);
  Statement count(db_.get(), "SELECT COUNT(*) FROM customers");
  count.Step();
  return static_cast<std::size_t>(count.Int(0));
}

std::vector<std::string> Store::CreateCustomers(const std::vector<Customer>& customers) {
  std::lock_guard lock(mutex_);
  Transaction transaction(db_.get());
  std::vector<std::string> ids;
  for (const Customer& given : customers) {
    const std::pair<LookupKind, const std::string*> identifiers[] = {
        {LookupKind::CardNumber, &given.cardNumber},
        {LookupKind::CardBarcode, &given.cardBarcode},
        {LookupKind::Phone, &given.phone},
    };
    for (const auto& [kind, value] : identifiers) {
      if (FindCustomerLocked(kind, *value)) {
        const char* what = kind == LookupKind::CardNumber    ? "Card number "
                           : kind == LookupKind::CardBarcode ? "Card barcode "
                                                             : "Phone ";
        throw Refusal(Refusal::Reason::Conflict, what + *value + " belongs to another client");
      }
    }
    Customer customer = given;
    customer.clientId = NewClientId();
    customer.balance = Decimal();
    InsertCustomer(customer, false);
    ids.push_back(customer.clientId);
  }
  transaction.Commit();
  return ids;
}

OrderOutcome Store::CreateOrder(LookupKind kind, std::string_view id, const Order& order) {
  using Reason = Refusal::Reason;
  if (IsBlank(order.guid)) throw Refusal(Reason::Invalid, "Order guid is empty");
  const std::pair<const char*, Decimal> amounts[] = {
      {"sum", order.sum},
      {"sumDiscount", order.sumDiscount},
      {"bonusAdd", order.bonusAdd},
      {"bonusWriteOff", order.bonusWriteOff},
      {"depositAdd", order.depositAdd},
      {"depositWriteOff", order.depositWriteOff},
  };
  for (const auto& [name, value] : amounts) {
    if (value < Decimal()) throw Refusal(Reason::Invalid, std::string(name) + " must not be negative");
  }
  if (!order.bonusWriteOff.HasAtMostPlaces(2)) {
    throw Refusal(Reason::Invalid, "bonusWriteOff has more than two decimal places");
  }
  if (order.bonusWriteOff > order.sumDiscount) {
    throw Refusal(Reason::Invalid, "bonusWriteOff " + order.bonusWriteOff.ToString() +
                                       " exceeds sumDiscount " + order.sumDiscount.ToString());
  }

  std::lock_guard lock(mutex_);
  Transaction transaction(db_.get());
  const auto customer = FindCustomerLocked(kind, id);
  if (!customer) throw Refusal(Reason::NotFound, "Клиент не найден");
  Statement existing(db_.get(), "SELECT 1 FROM orders WHERE guid = ?");
  existing.Bind(order.guid);
  if (existing.Step()) throw Refusal(Reason::Conflict, "Order " + order.guid + " is already registered");
  if (order.bonusWriteOff > customer->balance) {
    throw Refusal(Reason::InsufficientBalance, "Not enough bonuses: balance " + customer->balance.ToString() +
                                                   ", write-off " + order.bonusWriteOff.ToString());
  }

  const Decimal accrued = AccrualFor(order.sumDiscount - order.bonusWriteOff);
  const Decimal balance = customer->balance - order.bonusWriteOff + accrued;

  Statement insert(db_.get(),
                   "INSERT INTO orders (guid, client_id, number, date, sum, sum_discount, bonus_add, "
                   "bonus_write_off, deposit_add, deposit_write_off, bonus_accrued, request) "
                   "VALUES (?,?,?,?,?,?,?,?,?,?,?,?)");
  insert
      .Bind(order.guid, customer->clientId, order.number, order.date, order.sum, order.sumDiscount,
            order.bonusAdd, order.bonusWriteOff, order.depositAdd, order.depositWriteOff, accrued,
            order.request)
      .Step();
  int lineNumber = 0;
  for (const OrderLine& line : order.cart) {
    Statement insertLine(db_.get(),
                         "INSERT INTO order_lines (guid, line, nid, group_id, group_name, name, price, "
                         "price_with_discount, amount) VALUES (?,?,?,?,?,?,?,?,?)");
    insertLine
        .Bind(order.guid, ++lineNumber, line.nid, line.groupId, line.groupName, line.name, line.price,
              line.priceWithDiscount, line.amount)
        .Step();
  }
  Statement update(db_.get(), "UPDATE customers SET balance = ? WHERE client_id = ?");
  update.Bind(balance, customer->clientId).Step();
  transaction.Commit();

  return {order.guid, customer->clientId, accrued, order.bonusWriteOff, balance};
}

ReturnOutcome Store::ReturnOrder(std::string_view guid, Decimal sum, std::string_view date) {
  using Reason = Refusal::Reason;
  if (IsBlank(guid)) throw Refusal(Reason::Invalid, "Order guid is empty");
  if (sum < Decimal()) throw Refusal(Reason::Invalid, "sum must not be negative");

  std::lock_guard lock(mutex_);
  Transaction transaction(db_.get());
  Statement order(db_.get(),
                  "SELECT o.client_id, o.bonus_write_off, o.bonus_accrued, o.returned, c.balance "
                  "FROM orders o JOIN customers c ON c.client_id = o.client_id WHERE o.guid = ?");
  order.Bind(guid);
  if (!order.Step()) throw Refusal(Reason::NotFound, "Order " + std::string(guid) + " not found");
  if (order.Int(3) != 0)
    throw Refusal(Reason::Conflict, "Order " + std::string(guid) + " is already returned");

  ReturnOutcome outcome;
  outcome.guid = std::string(guid);
  outcome.clientId = order.Text(0);
  outcome.bonusReturned = order.Amount(1);
  outcome.bonusCancelled = order.Amount(2);
  outcome.bonusBalance = order.Amount(4) + outcome.bonusReturned - outcome.bonusCancelled;

  Statement update(db_.get(), "UPDATE customers SET balance = ? WHERE client_id = ?");
  update.Bind(outcome.bonusBalance, outcome.clientId).Step();
  Statement mark(db_.get(), "UPDATE orders SET returned = 1, return_sum = ?, return_date = ? WHERE guid = ?");
  mark.Bind(sum, date, guid).Step();
  transaction.Commit();
  return outcome;
}

std::optional<StoredOrder> Store::FindOrder(std::string_view guid) {
  std::lock_guard lock(mutex_);
  Statement select(
      db_.get(),
      "SELECT guid, client_id, number, date, sum, sum_discount, bonus_add, bonus_write_off, "
      "deposit_add, deposit_write_off, bonus_accrued, request, returned, return_sum, return_date "
      "FROM orders WHERE guid = ?");
  select.Bind(guid);
  if (!select.Step()) return std::nullopt;
  StoredOrder stored;
  stored.order.guid = select.Text(0);
  stored.clientId = select.Text(1);
  stored.order.number = select.Text(2);
  stored.order.date = select.Text(3);
  stored.order.sum = select.Amount(4);
  stored.order.sumDiscount = select.Amount(5);
  stored.order.bonusAdd = select.Amount(6);
  stored.order.bonusWriteOff = select.Amount(7);
  stored.order.depositAdd = select.Amount(8);
  stored.order.depositWriteOff = select.Amount(9);
  stored.bonusAccrued = select.Amount(10);
  stored.order.request = select.Text(11);
  stored.returned = select.Int(12) != 0;
  stored.returnSum = select.Amount(13);
  stored.returnDate = select.Text(14);

  Statement lines(db_.get(),
                  "SELECT nid, group_id, group_name, name, price, price_with_discount, amount "
                  "FROM order_lines WHERE guid = ? ORDER BY line");
  lines.Bind(guid);
  while (lines.Step()) {
    stored.order.cart.push_back({lines.Text(0), lines.Text(1), lines.Text(2), lines.Text(3), lines.Amount(4),
                                 lines.Amount(5), lines.Amount(6)});
  }
  return stored;
}

}  // namespace tallowmer::sim
