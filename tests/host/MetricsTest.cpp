// Tests of metrics scopes: the category test, attributes, the aggregating
// sink, installed sinks and captures.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "host/Metrics.h"

namespace {

// Counts what it receives; thread-safe.
class CountingSink : public Metrics::ISink {
 public:
  void OnScopeClosed(const Metrics::ScopeRecord& record) override { ++m_count; }
  int Count() const { return m_count.load(); }

 private:
  std::atomic<int> m_count{0};
};

class ThrowingSink : public Metrics::ISink {
 public:
  void OnScopeClosed(const Metrics::ScopeRecord&) override { throw std::runtime_error("sink broke"); }
};

// Every test leaves every category enabled and the default sink installed.
class MetricsTest : public testing::Test {
 protected:
  void TearDown() override {
    Metrics::SetEnabledMask(Metrics::kAllCategories);
    Metrics::SetSink(nullptr);
  }
};

TEST_F(MetricsTest, ScopeOpensOnlyForAnEnabledCategory) {
  EXPECT_EQ(Metrics::GetEnabledMask(), Metrics::kAllCategories);
  EXPECT_FALSE(Metrics::TestBitsAndContext(0));
  Metrics::SetEnabledMask(0x20000);
  EXPECT_TRUE(Metrics::TestBitsAndContext(0x80000020001));
  EXPECT_FALSE(Metrics::TestBitsAndContext(0x80000000001));

  Metrics::Capture capture;
  {
    Metrics::Scope closed(u"disabled", 0x80000000001);
    EXPECT_FALSE(closed.IsOpen());
    closed.SetAttribute(u"ignored", 1);
    Metrics::Scope open(u"enabled", 0x20001);
    EXPECT_TRUE(open.IsOpen());
  }
  const auto records = capture.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].name, u"enabled");
  EXPECT_EQ(records[0].mask, 0x20001u);
}

TEST_F(MetricsTest, AttributesAreKeptOnlyWhileOpen) {
  Metrics::Capture capture;
  {
    Metrics::Scope scope(u"ec-store", 0x80000020001);
    scope.SetAttribute(u"cns", TString(u"MapTiles"));
    scope.SetAttribute(u"key-size-b", 12);
    scope.SetAttribute(u"value-size-b", uint64_t{1} << 40);
    scope.SetAttribute(u"key-hash", 4000000000u);
    scope.SetAttribute(u"negative", -5L);
    scope.SetAttribute(u"ratio", 0.5);
    scope.SetAttribute(u"outcome", u"pending");
    scope.SetAttribute(u"outcome", u"stored");  // replaces, keeps the position
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    scope.Close();
    EXPECT_FALSE(scope.IsOpen());
    scope.SetAttribute(u"late", 1);
  }  // the destructor delivers nothing more
  const auto records = capture.Scopes(u"ec-store");
  ASSERT_EQ(records.size(), 1u);
  const auto& record = records[0];
  EXPECT_GE(record.durationMs, 2.0);  // the measured span covers the sleep
  // In the order first set, each value of its own type.
  const std::pair<const char16_t*, const char16_t*> expected[] = {
      {u"cns", u"MapTiles"}, {u"key-size-b", u"12"}, {u"value-size-b", u"1099511627776"}, {u"key-hash", u"4000000000"},
      {u"negative", u"-5"},  {u"ratio", u"0.5"},     {u"outcome", u"stored"}};
  ASSERT_EQ(record.attributes.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(record.attributes[i].first, expected[i].first);
    EXPECT_EQ(Metrics::AttributeToString(record.attributes[i].second), expected[i].second);
  }
  EXPECT_EQ(std::get<int64_t>(*record.FindAttribute(u"key-size-b")), 12);
  EXPECT_EQ(std::get<uint64_t>(*record.FindAttribute(u"key-hash")), 4000000000u);
  EXPECT_EQ(record.FindAttribute(u"late"), nullptr);
}

TEST_F(MetricsTest, AggregatingSinkCountsTotalsAndMaxima) {
  Metrics::AggregatingSink sink;
  Metrics::ScopeRecord record;
  record.name = u"RedisPubsub::OnAdded";
  for (double ms : {1.0, 3.0, 2.0}) {
    record.durationMs = ms;
    sink.OnScopeClosed(record);
  }
  record.name = u"ec-load";
  record.durationMs = 0.25;
  sink.OnScopeClosed(record);

  EXPECT_EQ(sink.Snapshot().size(), 2u);
  const std::string table = sink.Render().toStdString();
  const std::string expected =
      "scope                     count       total-ms       max-ms      mean-ms\n"
      "RedisPubsub::OnAdded          3          6.000        3.000        2.000\n"
      "ec-load                       1          0.250        0.250        0.250\n";
  EXPECT_EQ(table, expected);

  sink.Reset();
  EXPECT_TRUE(sink.Snapshot().empty());
}

TEST_F(MetricsTest, InstalledSinkReceivesScopesAndFailuresStayInside) {
  const auto defaultSink = Metrics::GetDefaultSink();
  EXPECT_EQ(Metrics::GetSink(), defaultSink);
  const uint64_t before = defaultSink->Snapshot()[u"MetricsTest::Default"].count;
  { Metrics::Scope scope(u"MetricsTest::Default", 0x20001); }
  EXPECT_EQ(defaultSink->Snapshot()[u"MetricsTest::Default"].count, before + 1);

  auto counting = std::make_shared<CountingSink>();
  Metrics::SetSink(counting);
  { Metrics::Scope scope(u"MetricsTest::Default", 0x20001); }
  EXPECT_EQ(counting->Count(), 1);
  EXPECT_EQ(defaultSink->Snapshot()[u"MetricsTest::Default"].count, before + 1);

  Metrics::SetSink(std::make_shared<ThrowingSink>());
  Metrics::Capture capture;
  EXPECT_NO_THROW({ Metrics::Scope scope(u"broken", 0x20001); });
  EXPECT_EQ(capture.Scopes(u"broken").size(), 1u);

  Metrics::SetSink(nullptr);
  EXPECT_EQ(Metrics::GetSink(), defaultSink);
}

}  // namespace
