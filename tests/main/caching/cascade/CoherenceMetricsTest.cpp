#include <gtest/gtest.h>

#include "public/caching/CoherenceMetrics.h"

namespace {

using namespace kelvra::caching;
using Table = std::unordered_map<TString, TString>;

TEST(CoherenceMetricsTest, AddAndRenderRecords) {
  OnRemovedMetrics sum;
  EXPECT_EQ(StringLookupTableFromMetrics(sum), (Table{{TString(u"on-removed-ms"), TString(u"0")},
                                                      {TString(u"on-removed-guid-count"), TString(u"0")},
                                                      {TString(u"on-removed-lock-ms"), TString(u"0")},
                                                      {TString(u"on-removed-prune-ms"), TString(u"0")}}));
  AddMetrics(sum, OnRemovedMetrics{10, 3, 1, 2});
  AddMetrics(sum, OnRemovedMetrics{5, 4, 0, 7});
  EXPECT_EQ(sum.totalMs, 15u);
  EXPECT_EQ(sum.guidCount, 7u);
  EXPECT_EQ(sum.lockMs, 1u);
  EXPECT_EQ(sum.pruneMs, 9u);
  // Unsigned 64-bit fields render in plain decimal, the largest value included.
  AddMetrics(sum, OnRemovedMetrics{UINT64_MAX - 15, 0, 0, 0});
  EXPECT_EQ(StringLookupTableFromMetrics(sum).at(TString(u"on-removed-ms")), u"18446744073709551615");

  // Updating replaces the record's keys and keeps every other key.
  Table table{{TString(u"on-added-ms"), TString(u"old")}, {TString(u"other"), TString(u"kept")}};
  UpdateStringLookupTableWithMetrics(OnAddedMetrics{1, 2, 3, 4, 5}, table);
  EXPECT_EQ(table, (Table{{TString(u"on-added-ms"), TString(u"1")},
                          {TString(u"on-added-lock-ms"), TString(u"2")},
                          {TString(u"on-added-dirty-ms"), TString(u"3")},
                          {TString(u"on-added-prune-ms"), TString(u"4")},
                          {TString(u"on-added-publish-ms"), TString(u"5")},
                          {TString(u"other"), TString(u"kept")}}));
  // Added then removed metrics in one table: nine keys (plus the foreign one).
  UpdateStringLookupTableWithMetrics(OnRemovedMetrics{}, table);
  EXPECT_EQ(table.size(), 10u);
}

}  // namespace
