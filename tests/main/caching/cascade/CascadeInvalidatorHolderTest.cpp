#include <gtest/gtest.h>

#include "host/AppConfig.h"
#include "host/Errors.h"
#include "host/LogCapture.h"
#include "public/caching/CascadeInvalidatorHolder.h"

namespace {

using namespace kelvra::caching;

class NullInvalidator : public ICascadeInvalidator {
 public:
  void OnEntryUsed(unsigned int, const ICoherentCache&) override {}
  void OnEvicted(const std::vector<unsigned int>&, const ICoherentCache&) override {}
  void OnDirty(const std::vector<unsigned int>&, const ICoherentCache&) override {}
};

std::string ExpressionOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const LogicException& e) {
    return e.GetExpression();
  }
  return "(no exception)";
}

class CascadeInvalidatorHolderTest : public testing::Test {
 protected:
  void SetUp() override { m_holder.ResetForTest(); }
  void TearDown() override { m_holder.ResetForTest(); }
  ICascadeInvalidatorHolder& m_holder = CascadeInvalidatorHolderFactory::GetInstance();
};

TEST_F(CascadeInvalidatorHolderTest, StatesAndChecks) {
  NullInvalidator a, b, d;
  // Empty: nothing registered, every valid type gives null, End raises.
  EXPECT_EQ(&m_holder, &CascadeInvalidatorHolderFactory::GetInstance());
  EXPECT_TRUE(m_holder.GetInvalidators().empty());
  for (int type = 0; type < static_cast<int>(CascadeInvalidatorType::End); ++type) {
    EXPECT_EQ(m_holder.GetInvalidator(static_cast<CascadeInvalidatorType>(type)), nullptr);
  }
  EXPECT_EQ(ExpressionOf([&] { m_holder.GetInvalidator(CascadeInvalidatorType::End); }),
            "invalidatorType < CascadeInvalidatorType::End");
  EXPECT_EQ(ExpressionOf([&] { m_holder.GetInvalidator(static_cast<CascadeInvalidatorType>(-1)); }),
            "invalidatorType < CascadeInvalidatorType::End");

  // A wrong count raises and leaves the holder empty.
  EXPECT_EQ(ExpressionOf([&] {
              m_holder.Initialize({&a, &b, nullptr});
            }),
            "Number of invalidators does not match enum!");
  EXPECT_EQ(ExpressionOf([&] {
              m_holder.Initialize({&a, &b, nullptr, &d, &a});
            }),
            "Number of invalidators does not match enum!");
  EXPECT_TRUE(m_holder.GetInvalidators().empty());

  // Initialized: the pointers in type order, a null element included; logged at Info.
  {
    TLog::Capture capture(TLog::Info);
    m_holder.Initialize({&a, &b, nullptr, &d});
    std::vector<TString> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], TString(u"Initialize invalidators on holder=") + TString::pointer(&m_holder));
    EXPECT_EQ(lines[1], TString(u"    invalidator=") + TString::pointer(&a));
    EXPECT_EQ(lines[3], TString(u"    invalidator=") + TString::pointer(nullptr));
  }
  EXPECT_EQ(m_holder.GetInvalidators(), (std::vector<ICascadeInvalidator*>{&a, &b, nullptr, &d}));
  EXPECT_EQ(m_holder.GetInvalidator(CascadeInvalidatorType::QueryResults), &b);
  EXPECT_EQ(m_holder.GetInvalidator(static_cast<CascadeInvalidatorType>(2)), nullptr);

  // A second Initialize raises and changes nothing.
  EXPECT_EQ(ExpressionOf([&] { m_holder.Initialize({&d, &d, &d, &d}); }), "Already initialized!");
  EXPECT_EQ(m_holder.GetInvalidator(CascadeInvalidatorType::QueryJobScopes), &a);

  // After a reset the holder may be initialized again.
  m_holder.ResetForTest();
  EXPECT_TRUE(m_holder.GetInvalidators().empty());
  m_holder.Initialize({&d, nullptr, nullptr, nullptr});
  EXPECT_EQ(m_holder.GetInvalidator(CascadeInvalidatorType::QueryJobScopes), &d);
}

TEST_F(CascadeInvalidatorHolderTest, ResetOutsideUnitTestsIsRefused) {
  NullInvalidator a;
  m_holder.Initialize({&a, &a, &a, &a});
  AppConfig::GetInstance().SetUnitTestFlag(false);
  std::string expression = ExpressionOf([&] { m_holder.ResetForTest(); });
  AppConfig::GetInstance().SetUnitTestFlag(true);
  EXPECT_EQ(expression, "AppConfig::GetInstance().GetUnitTestFlag()");
  EXPECT_EQ(m_holder.GetInvalidators().size(), 4u);
}

}  // namespace
