#include "tools/sim/Store.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>

#include "tests/sim/SimTestSupport.h"

namespace tallowmer::sim {
namespace {

using testing::TempDir;
using Reason = Refusal::Reason;

Decimal D(const char* text) {
  return *Decimal::Parse(text);
}

Order MakeOrder(const std::string& guid, const char* sumDiscount, const char* writeOff) {
  Order order;
  order.guid = guid;
  order.number = "N-" + guid;
  order.date = "2024-05-01 10:00:00";
  order.sum = D(sumDiscount) + D("10");
  order.sumDiscount = D(sumDiscount);
  order.bonusWriteOff = D(writeOff);
  order.request = "{\"guid\":\"" + guid + "\"}";
  return order;
}

Decimal BalanceOf(Store& store, const char* cardNumber) {
  const auto customer = store.FindCustomer(LookupKind::CardNumber, cardNumber);
  if (!customer) ADD_FAILURE() << "no customer with card " << cardNumber;
  return customer ? customer->balance : Decimal();
}

// The reason of the refusal `action` throws; fails the test when it throws none.
template <class Action>
std::optional<Reason> RefusalOf(Action action) {
  try {
    action();
  } catch (const Refusal& refusal) {
    return refusal.reason();
  }
  ADD_FAILURE() << "nothing refused";
  return std::nullopt;
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { store.Seed(); }
  Store store{":memory:"};
};

struct SeedLookup {
  LookupKind kind;
  const char* id;
  const char* clientId;
};

class SeedLookupTest : public StoreTest, public ::testing::WithParamInterface<SeedLookup> {};

TEST_P(SeedLookupTest, FindsTheSeededCustomerByEachIdentifier) {
  const auto customer = store.FindCustomer(GetParam().kind, GetParam().id);
  ASSERT_TRUE(customer.has_value()) << GetParam().id;
  EXPECT_EQ(customer->clientId, GetParam().clientId);
}

INSTANTIATE_TEST_SUITE_P(Identifiers, SeedLookupTest,
                         ::testing::Values(SeedLookup{LookupKind::ClientId, "1001", "1001"},
                                           SeedLookup{LookupKind::CardNumber, "777", "1001"},
                                           SeedLookup{LookupKind::CardBarcode, "2000000000015", "1001"},
                                           SeedLookup{LookupKind::Phone, "79001234567", "1001"},
                                           SeedLookup{LookupKind::Phone, "+7 (900) 123-45-67", "1001"},
                                           SeedLookup{LookupKind::CardNumber, "778", "1002"},
                                           SeedLookup{LookupKind::CardBarcode, "2000000000022", "1002"},
                                           SeedLookup{LookupKind::Phone, "79007654321", "1002"},
                                           SeedLookup{LookupKind::ClientId, "1003", "1003"},
                                           SeedLookup{LookupKind::CardBarcode, "2000000000039", "1003"}));

TEST_F(StoreTest, SeededCustomersCarryTheirDetailsAndBalances) {
  const auto ivanov = store.FindCustomer(LookupKind::ClientId, "1001");
  ASSERT_TRUE(ivanov);
  EXPECT_EQ(ivanov->lastName, "Иванов");
  EXPECT_EQ(ivanov->firstName, "Иван");
  EXPECT_EQ(ivanov->patronymic, "Иванович");
  EXPECT_EQ(ivanov->phone, "79001234567");
  EXPECT_EQ(ivanov->cardNumber, "777");
  EXPECT_EQ(ivanov->cardBarcode, "2000000000015");
  EXPECT_EQ(ivanov->balance, D("500"));
  EXPECT_EQ(BalanceOf(store, "778"), D("150.5"));
  EXPECT_EQ(BalanceOf(store, "779"), D("0"));
}

TEST_F(StoreTest, UnknownAndEmptyIdentifiersFindNobody) {
  // Customers without a phone or card must not be found by an empty one.
  Customer bare;
  bare.lastName = "Без карты";
  store.CreateCustomers({bare});
  for (const auto kind :
       {LookupKind::ClientId, LookupKind::CardNumber, LookupKind::CardBarcode, LookupKind::Phone}) {
    EXPECT_FALSE(store.FindCustomer(kind, "")) << static_cast<int>(kind);
    EXPECT_FALSE(store.FindCustomer(kind, "424242")) << static_cast<int>(kind);
  }
  EXPECT_FALSE(store.FindCustomer(LookupKind::Phone, "+ ( ) -"));
  // Identifiers are not interchangeable: a card number is not a client id.
  EXPECT_FALSE(store.FindCustomer(LookupKind::ClientId, "777"));
}

TEST_F(StoreTest, SeedingAgainKeepsCustomersAndTheirBalances) {
  store.CreateOrder(LookupKind::CardNumber, "777", MakeOrder("g-1", "90", "10"));
  const std::size_t count = store.CustomerCount();
  store.Seed();
  EXPECT_EQ(store.CustomerCount(), count);
  EXPECT_EQ(BalanceOf(store, "777"), D("494"));
}

struct BalanceCase {
  const char* sumDiscount;
  const char* writeOff;
  const char* accrual;
  const char* balance;
};

class OrderBalanceTest : public StoreTest, public ::testing::WithParamInterface<BalanceCase> {};

TEST_P(OrderBalanceTest, WritesOffThenAccruesOnTheRest) {
  const BalanceCase& c = GetParam();
  const OrderOutcome outcome =
      store.CreateOrder(LookupKind::Phone, "79001234567", MakeOrder("g-1", c.sumDiscount, c.writeOff));
  EXPECT_EQ(outcome.guid, "g-1");
  EXPECT_EQ(outcome.clientId, "1001");
  EXPECT_EQ(outcome.bonusWriteOff, D(c.writeOff));
  EXPECT_EQ(outcome.bonusAdd.ToString(), c.accrual);
  EXPECT_EQ(outcome.bonusBalance.ToString(), c.balance);
  EXPECT_EQ(BalanceOf(store, "777").ToString(), c.balance);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, OrderBalanceTest,
    ::testing::Values(BalanceCase{"90", "10", "4", "494"}, BalanceCase{"100", "0", "5", "505"},
                      BalanceCase{"500", "500", "0", "0"}, BalanceCase{"0", "0", "0", "500"},
                      BalanceCase{"33.34", "0.01", "1.67", "501.66"},
                      BalanceCase{"0.1", "0", "0.01", "500.01"}, BalanceCase{"0.09", "0", "0", "500"},
                      BalanceCase{"1234.5678", "0.5", "61.7", "561.2"}));

TEST_F(StoreTest, ManySmallOrdersAddUpExactly) {
  // Twenty orders each accruing 0.01 from 0.1 paid: the balance must move by exactly 0.20.
  for (int i = 0; i < 20; ++i)
    store.CreateOrder(LookupKind::CardNumber, "779", MakeOrder("small-" + std::to_string(i), "0.1", "0"));
  EXPECT_EQ(BalanceOf(store, "779"), D("0.2"));
}

TEST_F(StoreTest, WriteOffAboveTheBalanceChangesNothing) {
  EXPECT_EQ(
      RefusalOf([&] { store.CreateOrder(LookupKind::CardNumber, "778", MakeOrder("g-1", "200", "150.51")); }),
      Reason::InsufficientBalance);
  EXPECT_EQ(BalanceOf(store, "778"), D("150.5"));
  EXPECT_FALSE(store.FindOrder("g-1"));
  // The guid stays free for the corrected order.
  EXPECT_EQ(store.CreateOrder(LookupKind::CardNumber, "778", MakeOrder("g-1", "200", "150.5")).bonusBalance,
            D("2.48"));
}

TEST_F(StoreTest, RepeatedGuidIsRefusedAndCountsOnce) {
  store.CreateOrder(LookupKind::CardNumber, "777", MakeOrder("g-1", "90", "10"));
  EXPECT_EQ(
      RefusalOf([&] { store.CreateOrder(LookupKind::CardNumber, "777", MakeOrder("g-1", "90", "10")); }),
      Reason::Conflict);
  // Also for another customer: the guid names the order, not the pair.
  EXPECT_EQ(
      RefusalOf([&] { store.CreateOrder(LookupKind::CardNumber, "778", MakeOrder("g-1", "90", "10")); }),
      Reason::Conflict);
  EXPECT_EQ(BalanceOf(store, "777"), D("494"));
  EXPECT_EQ(BalanceOf(store, "778"), D("150.5"));
}

struct InvalidOrderCase {
  const char* what;
  Order order;
  Reason reason;
};

class InvalidOrderTest : public StoreTest, public ::testing::WithParamInterface<InvalidOrderCase> {};

TEST_P(InvalidOrderTest, IsRefusedWithoutATrace) {
  EXPECT_EQ(RefusalOf([&] { store.CreateOrder(LookupKind::CardNumber, "777", GetParam().order); }),
            GetParam().reason);
  EXPECT_EQ(BalanceOf(store, "777"), D("500"));
  EXPECT_FALSE(store.FindOrder(GetParam().order.guid));
}

Order With(Order order, void (*change)(Order&)) {
  change(order);
  return order;
}

INSTANTIATE_TEST_SUITE_P(
    Orders, InvalidOrderTest,
    ::testing::Values(
        InvalidOrderCase{"empty guid", MakeOrder("", "90", "10"), Reason::Invalid},
        InvalidOrderCase{"blank guid", MakeOrder(" \t", "90", "10"), Reason::Invalid},
        InvalidOrderCase{"write-off above the order", MakeOrder("g-1", "90", "90.01"), Reason::Invalid},
        InvalidOrderCase{"write-off in thousandths", MakeOrder("g-1", "90", "10.005"), Reason::Invalid},
        InvalidOrderCase{"negative write-off", MakeOrder("g-1", "90", "-1"), Reason::Invalid},
        InvalidOrderCase{"negative sum", With(MakeOrder("g-1", "90", "0"), [](Order& o) { o.sum = D("-1"); }),
                         Reason::Invalid},
        InvalidOrderCase{"negative deposit",
                         With(MakeOrder("g-1", "90", "0"), [](Order& o) { o.depositWriteOff = D("-0.01"); }),
                         Reason::Invalid}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST_F(StoreTest, OrderForAnUnknownCustomerIsNotFound) {
  EXPECT_EQ(RefusalOf([&] { store.CreateOrder(LookupKind::CardNumber, "404", MakeOrder("g-1", "90", "0")); }),
            Reason::NotFound);
  EXPECT_FALSE(store.FindOrder("g-1"));
}

TEST_F(StoreTest, KeepsTheOrderWithItsLinesAsSent) {
  Order order = MakeOrder("g-lines", "90", "10");
  order.depositAdd = D("1.5");
  order.cart = {{"1", "G1", "Выпечка", "Хлеб", D("33.3333"), D("30"), D("3")},
                {"2", "G2", "Молочное", "Молоко", D("50"), D("50"), D("0.375")}};
  store.CreateOrder(LookupKind::ClientId, "1001", order);

  const auto stored = store.FindOrder("g-lines");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->clientId, "1001");
  EXPECT_EQ(stored->order.number, order.number);
  EXPECT_EQ(stored->order.date, order.date);
  EXPECT_EQ(stored->order.sum, order.sum);
  EXPECT_EQ(stored->order.sumDiscount, order.sumDiscount);
  EXPECT_EQ(stored->order.bonusWriteOff, order.bonusWriteOff);
  EXPECT_EQ(stored->order.depositAdd, D("1.5"));
  EXPECT_EQ(stored->order.request, order.request);
  EXPECT_EQ(stored->bonusAccrued, D("4"));
  EXPECT_FALSE(stored->returned);
  ASSERT_EQ(stored->order.cart.size(), 2u);
  EXPECT_EQ(stored->order.cart[0].name, "Хлеб");
  EXPECT_EQ(stored->order.cart[0].groupName, "Выпечка");
  EXPECT_EQ(stored->order.cart[0].price, D("33.3333"));
  EXPECT_EQ(stored->order.cart[0].priceWithDiscount, D("30"));
  EXPECT_EQ(stored->order.cart[0].amount, D("3"));
  EXPECT_EQ(stored->order.cart[1].nid, "2");
  EXPECT_EQ(stored->order.cart[1].amount, D("0.375"));
}

TEST_F(StoreTest, ReturnReversesTheOrderOnce) {
  store.CreateOrder(LookupKind::CardNumber, "777", MakeOrder("g-1", "90", "10"));
  const ReturnOutcome outcome = store.ReturnOrder("g-1", D("90"), "2024-05-02 11:00:00");
  EXPECT_EQ(outcome.clientId, "1001");
  EXPECT_EQ(outcome.bonusReturned, D("10"));
  EXPECT_EQ(outcome.bonusCancelled, D("4"));
  EXPECT_EQ(outcome.bonusBalance, D("500"));
  EXPECT_EQ(BalanceOf(store, "777"), D("500"));
  const auto stored = store.FindOrder("g-1");
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->returned);
  EXPECT_EQ(stored->returnSum, D("90"));
  EXPECT_EQ(stored->returnDate, "2024-05-02 11:00:00");

  EXPECT_EQ(RefusalOf([&] { store.ReturnOrder("g-1", D("90"), ""); }), Reason::Conflict);
  EXPECT_EQ(BalanceOf(store, "777"), D("500"));
  // A returned guid is still taken.
  EXPECT_EQ(
      RefusalOf([&] { store.CreateOrder(LookupKind::CardNumber, "777", MakeOrder("g-1", "90", "10")); }),
      Reason::Conflict);
}

TEST_F(StoreTest, ReturnOfAnUnknownOrderIsNotFound) {
  EXPECT_EQ(RefusalOf([&] { store.ReturnOrder("nobody-ordered-this", D("0"), ""); }), Reason::NotFound);
  EXPECT_EQ(RefusalOf([&] { store.ReturnOrder("  ", D("0"), ""); }), Reason::Invalid);
}

TEST_F(StoreTest, ReturnTakesBackASpentAccrualIntoTheNegative) {
  store.CreateOrder(LookupKind::CardNumber, "779", MakeOrder("earn", "100", "0"));
  store.CreateOrder(LookupKind::CardNumber, "779", MakeOrder("spend", "100", "5"));
  EXPECT_EQ(BalanceOf(store, "779"), D("4.75"));
  EXPECT_EQ(store.ReturnOrder("earn", D("0"), "").bonusBalance, D("-0.25"));
  EXPECT_EQ(store.ReturnOrder("spend", D("0"), "").bonusBalance, D("0"));
}

TEST_F(StoreTest, CreatedCustomersGetFreshIdsAndNoBonuses) {
  Customer first;
  first.lastName = "Новикова";
  first.phone = "+7 901 000-00-01";
  first.cardNumber = "9001";
  first.balance = D("1000");
  Customer second;
  second.cardBarcode = "2000000000046";
  const auto ids = store.CreateCustomers({first, second});
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_EQ(ids[0].size(), 36u);

  const auto found = store.FindCustomer(LookupKind::Phone, "79010000001");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->clientId, ids[0]);
  EXPECT_EQ(found->lastName, "Новикова");
  EXPECT_EQ(found->phone, "+7 901 000-00-01");
  EXPECT_EQ(found->balance, Decimal());
  ASSERT_TRUE(store.FindCustomer(LookupKind::ClientId, ids[1]));
  EXPECT_EQ(store.FindCustomer(LookupKind::CardBarcode, "2000000000046")->clientId, ids[1]);
}

struct DuplicateCase {
  const char* what;
  Customer customer;
};

class DuplicateCustomerTest : public StoreTest, public ::testing::WithParamInterface<DuplicateCase> {};

TEST_P(DuplicateCustomerTest, RefusesTheWholeBatch) {
  Customer fresh;
  fresh.cardNumber = "5555";
  const std::size_t before = store.CustomerCount();
  EXPECT_EQ(RefusalOf([&] { store.CreateCustomers({fresh, GetParam().customer}); }), Reason::Conflict);
  EXPECT_EQ(store.CustomerCount(), before);
  EXPECT_FALSE(store.FindCustomer(LookupKind::CardNumber, "5555"));
}

Customer WithIdentifiers(const char* card, const char* barcode, const char* phone) {
  Customer customer;
  customer.cardNumber = card;
  customer.cardBarcode = barcode;
  customer.phone = phone;
  return customer;
}

INSTANTIATE_TEST_SUITE_P(Identifiers, DuplicateCustomerTest,
                         ::testing::Values(DuplicateCase{"card_number", WithIdentifiers("777", "", "")},
                                           DuplicateCase{"card_barcode",
                                                         WithIdentifiers("", "2000000000022", "")},
                                           DuplicateCase{"phone_written_differently",
                                                         WithIdentifiers("", "", "+7 (900) 555-00-00 ")},
                                           DuplicateCase{"same_batch", WithIdentifiers("5555", "", "")}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST(StorePersistenceTest, BooksSurviveReopeningTheFile) {
  TempDir dir;
  const std::string file = (dir.Path() / "books.sqlite").string();
  std::string newId;
  {
    Store store(file);
    store.Seed();
    newId = store.CreateCustomers({WithIdentifiers("9100", "", "79100000000")}).front();
    Order order = MakeOrder("persisted", "90", "10");
    order.cart = {{"1", "G", "Group", "Item", D("90"), D("90"), D("1")}};
    store.CreateOrder(LookupKind::CardNumber, "777", order);
    store.CreateOrder(LookupKind::CardNumber, "9100", MakeOrder("to-return", "20", "0"));
  }
  {
    Store store(file);
    EXPECT_EQ(BalanceOf(store, "777"), D("494"));
    EXPECT_EQ(BalanceOf(store, "9100"), D("1"));
    ASSERT_TRUE(store.FindCustomer(LookupKind::ClientId, newId));
    const auto stored = store.FindOrder("persisted");
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->order.cart.size(), 1u);
    EXPECT_EQ(stored->order.cart[0].price, D("90"));
    EXPECT_EQ(RefusalOf([&] {
                store.CreateOrder(LookupKind::CardNumber, "777", MakeOrder("persisted", "1", "0"));
              }),
              Reason::Conflict);
    EXPECT_EQ(store.ReturnOrder("to-return", D("20"), "").bonusBalance, D("0"));
  }
  {
    Store store(file);
    EXPECT_EQ(BalanceOf(store, "9100"), D("0"));
    EXPECT_EQ(RefusalOf([&] { store.ReturnOrder("to-return", D("20"), ""); }), Reason::Conflict);
  }
}

TEST(StorePersistenceTest, RefusesAFileThatIsNotItsDatabase) {
  TempDir dir;
  const auto file = dir.Path() / "notes.txt";
  std::ofstream(file) << "these are not the books you are looking for, not even close to a database header\n";
  EXPECT_THROW(Store(file.string()), StoreError);
}

}  // namespace
}  // namespace tallowmer::sim
