// Version answers are reused for the reuse interval and asked again after
// it, measured on a clock the test moves instead of waiting.
#include <gtest/gtest.h>

#include "version_queries.h"

namespace {

using namespace std::chrono_literals;

VersionQuery query(const std::string& slug) {
  VersionQuery q;
  q.slug = slug;
  return q;
}

TEST(VersionCache, AnswersAreReusedForTheIntervalOnly) {
  std::chrono::steady_clock::time_point now{};
  now += 1000s;
  VersionCache cache([&now] { return now; });

  VersionQuery gimp = query("gimp"), vlc = query("vlc");
  gimp.version = "2.10";
  gimp.answered = true;
  vlc.version = "3.0";  // not answered: never kept
  cache.store({gimp, vlc});

  now += 59s;
  std::vector<VersionQuery> asked{query("gimp"), query("vlc")};
  EXPECT_EQ(cache.fill(asked, 60s), 1u);
  EXPECT_TRUE(asked[0].answered);
  EXPECT_EQ(asked[0].version, "2.10");
  EXPECT_FALSE(asked[1].answered);

  // An interval of 0 asks every time.
  std::vector<VersionQuery> again{query("gimp")};
  EXPECT_EQ(cache.fill(again, 0s), 0u);

  // Past the interval the store is asked again; a new answer starts a new one.
  now += 1s;
  again = {query("gimp")};
  EXPECT_EQ(cache.fill(again, 60s), 0u);
  gimp.version = "2.12";
  cache.store({gimp});
  now += 30s;
  again = {query("gimp")};
  EXPECT_EQ(cache.fill(again, 60s), 1u);
  EXPECT_EQ(again[0].version, "2.12");
}

}  // namespace
