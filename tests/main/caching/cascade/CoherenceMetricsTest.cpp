#include <gtest/gtest.h>

#include "public/caching/CoherenceMetrics.h"

namespace {

using namespace kelvra::caching;
using Table = std::unordered_map<TString, TString>;

TEST(CoherenceMetricsTest, AddAndRenderRecords) {
  OnRemovedMetrics sum;
  EXPECT_EQ(StringLookupTableFromMetrics(sum),
            (Table{{u"on-removed-ms", u"0"}, {u"on-removed-guid-count", u"0"}, {u"on-removed-lock-ms", u"0"},
                   {u"on-removed-prune-ms", u"0"}}));
  AddMetrics(sum, OnRemovedMetrics{10, 3, 1, 2});
  AddMetrics(sum, OnRemovedMetrics{5, 4, 0, 7});
  EXPECT_EQ(sum.totalMs, 15u);
  EXPECT_EQ(sum.guidCount, 7u);
  EXPECT_EQ(sum.lockMs, 1u);
  EXPECT_EQ(sum.pruneMs, 9u);
  // Unsigned 64-bit fields render in plain decimal, the largest value included.
  AddMetrics(sum, OnRemovedMetrics{UINT64_MAX - 15, 0, 0, 0});
  EXPECT_EQ(StringLookupTableFromMetrics(sum).at(u"on-removed-ms"), u"18446744073709551615");

  // Updating replaces the record's keys and keeps every other key.
  Table table{{u"on-added-ms", u"old"}, {u"other", u"kept"}};
  UpdateStringLookupTableWithMetrics(OnAddedMetrics{1, 2, 3, 4, 5}, table);
  EXPECT_EQ(table, (Table{{u"on-added-ms", u"1"}, {u"on-added-lock-ms", u"2"}, {u"on-added-dirty-ms", u"3"},
                          {u"on-added-prune-ms", u"4"}, {u"on-added-publish-ms", u"5"},
                          {u"other", u"kept"}}));
  // Added then removed metrics in one table: nine keys (plus the foreign one).
  UpdateStringLookupTableWithMetrics(OnRemovedMetrics{}, table);
  EXPECT_EQ(table.size(), 10u);
}

}  // namespace
