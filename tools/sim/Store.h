#pragma once

// The service's books in SQLite: customers with their bonus balances, and orders with their receipt
// lines, write-offs and accruals. Every change to a balance happens in one transaction with the
// order that causes it, so a refused or failed request leaves nothing behind.

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sim/Decimal.h"

struct sqlite3;

namespace tallowmer::sim {

// Share of the money-paid part of an order (sum after discounts less the bonus write-off) that
// comes back as bonuses.
inline constexpr int kAccrualPercent = 5;

// kAccrualPercent of `paid`, rounded half up to whole hundredths.
Decimal AccrualFor(Decimal paid);

enum class LookupKind { ClientId, CardBarcode, CardNumber, Phone };

// The service's names: "clientId", "cardBarcode", "cardNumber", "phone".
std::optional<LookupKind> ParseLookupKind(std::string_view name);

// Phones are matched on their digits alone, so "+7 (900) 123-45-67" finds 79001234567.
std::string PhoneDigits(std::string_view phone);

struct Customer {
  std::string clientId;
  std::string lastName;
  std::string firstName;
  std::string patronymic;
  std::string phone;
  std::string email;
  std::string cardNumber;
  std::string cardBarcode;
  std::string birthday;
  std::string templateId;
  std::string comment;
  std::string tags;
  int sex = 0;
  Decimal balance;
};

struct OrderLine {
  std::string nid;
  std::string groupId;
  std::string groupName;
  std::string name;
  Decimal price;
  Decimal priceWithDiscount;
  Decimal amount;
};

struct Order {
  std::string guid;
  std::string number;
  std::string date;
  Decimal sum;
  Decimal sumDiscount;
  Decimal bonusAdd;
  Decimal bonusWriteOff;
  Decimal depositAdd;
  Decimal depositWriteOff;
  std::vector<OrderLine> cart;
  // The request body as it arrived, kept so integration tests can see what a client really sent.
  std::string request;
};

struct StoredOrder {
  Order order;
  std::string clientId;
  Decimal bonusAccrued;
  bool returned = false;
  Decimal returnSum;
  std::string returnDate;
};

struct OrderOutcome {
  std::string guid;
  std::string clientId;
  Decimal bonusAdd;
  Decimal bonusWriteOff;
  Decimal bonusBalance;
};

struct ReturnOutcome {
  std::string guid;
  std::string clientId;
  // The write-off given back and the accrual taken back.
  Decimal bonusReturned;
  Decimal bonusCancelled;
  Decimal bonusBalance;
};

// A request the books turn down; nothing was changed.
class Refusal : public std::runtime_error {
 public:
  enum class Reason { Invalid, NotFound, Conflict, InsufficientBalance };
  Refusal(Reason reason, const std::string& message) : std::runtime_error(message), reason_(reason) {}
  Reason reason() const { return reason_; }

 private:
  Reason reason_;
};

// SQLite failing underneath, as opposed to a refused request.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Safe to share between the server's threads: one connection, one request at a time.
class Store {
 public:
  // A file name, or ":memory:" for books that vanish with the object.
  explicit Store(const std::string& path);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // The demonstration customers; those already present keep their balances.
  void Seed();

  std::optional<Customer> FindCustomer(LookupKind kind, std::string_view id);
  std::size_t CustomerCount();

  // All or none: a card number, barcode or phone that is taken, also earlier in the same batch,
  // refuses the whole batch. Client ids are generated and returned in order; balances start at 0.
  std::vector<std::string> CreateCustomers(const std::vector<Customer>& customers);

  // Records the order for the customer found by `kind`/`id`, writes off and accrues bonuses.
  OrderOutcome CreateOrder(LookupKind kind, std::string_view id, const Order& order);

  // Reverses a whole order once, whatever `sum` says; the balance may go below zero when the
  // accrual being taken back was spent meanwhile.
  ReturnOutcome ReturnOrder(std::string_view guid, Decimal sum, std::string_view date);

  std::optional<StoredOrder> FindOrder(std::string_view guid);

 private:
  struct Closer {
    void operator()(sqlite3* db) const;
  };

  std::optional<Customer> FindCustomerLocked(LookupKind kind, std::string_view id);
  void InsertCustomer(const Customer& customer, bool ignoreExisting);

  std::mutex mutex_;
  std::unique_ptr<sqlite3, Closer> db_;
};

}  // namespace tallowmer::sim
