// The external cache factory: the installed maker, the authoring client's own
// namespaces, the null maker, the empty-maker errors, the sweeper budgets of
// the disk stores it makes, ExternalCacheEnabled, and the null store; and the
// behaviour every store shares (ExternalCacheContract.h) run against the disk
// store and the null store.
#include "public/caching/ExternalCacheFactory.h"

#include "host/AppConfig.h"
#include "host/AppOptions.h"
#include "host/FolderSweeper.h"
#include "public/caching/DiskExternalCache.h"
#include "public/caching/NullExternalCache.h"
#include "tests/main/caching/external/ExternalCacheContract.h"
#include "tests/support/TestEnvironment.h"

namespace {

using namespace kelcache_test;
using kelvra::appoptions::ScopedOptionOverride;
using kelvra::caching::DiskExternalCache;
using kelvra::caching::ExternalCacheFactory;
using NullCache = kelvra::caching::NullExternalCache<TString, Bytes>;
namespace fs = std::filesystem;

// Disk caches under a temporary folder of the test's own, one namespace
// folder per namespace (as the namespace constructor lays them out).
class DiskBackend : public ContractBackend {
 public:
  std::shared_ptr<IByteCache> MakeCache(const TString& ns) override {
    const fs::path folder = m_temp.path() / "ExternalCacheV1" / ns.toStdString();
    return std::make_shared<DiskExternalCache>(ns, TPath(TString::fromStdString(folder.string())), nullptr);
  }
  TempDir m_temp;
};

class NullBackend : public ContractBackend {
 public:
  std::shared_ptr<IByteCache> MakeCache(const TString&) override { return std::make_shared<NullCache>(); }
};

INSTANTIATE_TEST_SUITE_P(
    Stores, ExternalCacheContract,
    ::testing::Values(ContractParam{"Disk", [] { return std::make_unique<DiskBackend>(); }, ContractExpectations{}},
                      ContractParam{"Null", [] { return std::make_unique<NullBackend>(); },
                                    ContractExpectations{
                                        .keepsValues = false, .listsKeys = false, .rejectsNullValues = false}}),
    ContractParamName);

bool IsDisk(const std::shared_ptr<IByteCache>& cache) {
  return dynamic_cast<DiskExternalCache*>(cache.get());
}
bool IsNull(const std::shared_ptr<IByteCache>& cache) {
  return dynamic_cast<NullCache*>(cache.get());
}

class ExternalCacheFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_previousDir = AppConfig::GetInstance().GetExternalCacheDir();
    m_previousEnabled = AppConfig::GetInstance().GetExternalCacheEnabled();
    AppConfig::GetInstance().SetExternalCacheDir(TString::fromStdString(m_temp.str()));
    AppConfig::GetInstance().SetExternalCacheEnabled(true);
  }
  void TearDown() override {
    // The process-wide factory goes back to how the library starts.
    ExternalCacheFactory::Initialize(ExternalCacheFactory::MakeNullCache());
    ExternalCacheFactory::AllowFactoryOverridePerNamespace(true);
    AppConfig::GetInstance().SetExternalCacheDir(m_previousDir);
    AppConfig::GetInstance().SetExternalCacheEnabled(m_previousEnabled);
    EXPECT_TRUE(WaitForBackgroundTasks());
  }

  // Installs a maker that records its calls ("<namespace> <size MiB> <sweeper
  // argument>") and makes null stores.
  std::shared_ptr<std::vector<std::string>> InstallRecordingMaker() {
    auto calls = std::make_shared<std::vector<std::string>>();
    ExternalCacheFactory::Initialize([calls](TString ns, uint64_t sizeMb, unsigned sweeperArg) {
      calls->push_back(ns.toStdString() + " " + std::to_string(sizeMb) + " " + std::to_string(sweeperArg));
      return std::make_shared<NullCache>();
    });
    return calls;
  }

  TempDir m_temp;
  TString m_previousDir;
  bool m_previousEnabled = true;
};

TEST_F(ExternalCacheFactoryTest, WithoutAMakerOfItsOwnTheFactoryMakesNewNullStoresThatAnswerAtOnce) {
  auto first = ExternalCacheFactory::MakeCache(u"PSC", 10, 0);
  auto second = ExternalCacheFactory::MakeCache(u"PSC", 10, 0);
  EXPECT_TRUE(IsNull(first) && IsNull(second));
  EXPECT_NE(first.get(), second.get());
  // What a null store keeps is in the contract; here, that it never waits or logs.
  TLog::Capture capture;
  EXPECT_TRUE(first->TryStore(u"k", MakeValue("v"), 0, -1).IsReady());
  EXPECT_TRUE(first->TryLoad(u"k").IsReady());
  EXPECT_TRUE(first->TryDrop(u"k").IsReady());
  bool timedOut = true;
  EXPECT_EQ(first->TryLoad(u"k", 0, &timedOut), nullptr);
  EXPECT_FALSE(timedOut) << "ready at once, even with no time to wait";
  EXPECT_TRUE(capture.Records().empty());

  InstallRecordingMaker();
  ExternalCacheFactory::UnInitialize();
  auto afterUnInitialize = ExternalCacheFactory::MakeCache(u"ordinary", 1, 2);
  EXPECT_TRUE(IsNull(afterUnInitialize));
  EXPECT_NE(afterUnInitialize.get(), ExternalCacheFactory::MakeCache(u"ordinary", 1, 2).get());
}

TEST_F(ExternalCacheFactoryTest, TheAuthoringClientNamespacesBypassTheInstalledMaker) {
  auto calls = InstallRecordingMaker();
  for (const TString& ns : {TString(u"MapTiles"), TString(u"WAV2")}) {
    auto cache = ExternalCacheFactory::MakeCache(ns, 4, 0);
    ASSERT_TRUE(IsDisk(cache)) << ns;
    EXPECT_EQ(static_cast<DiskExternalCache&>(*cache).GetCachePath().ToStdPath(),
              m_temp.path() / "ExternalCacheV1" / ns.toStdString());
    EXPECT_EQ(static_cast<DiskExternalCache&>(*cache).GetNamespace(), ns);
  }
  EXPECT_TRUE(calls->empty());

  // Ordinary namespaces, "PSC" and other letter cases go to the maker, with
  // the arguments unchanged.
  for (const TString& ns : {TString(u"PSC"), TString(u"maptiles"), TString(u"MAPTILES"), TString(u"wav2"),
                            TString(u"MapTiles ")}) {
    EXPECT_TRUE(IsNull(ExternalCacheFactory::MakeCache(ns, 123456789012ULL, 77))) << ns;
  }
  EXPECT_EQ(*calls, (std::vector<std::string>{"PSC 123456789012 77", "maptiles 123456789012 77",
                                              "MAPTILES 123456789012 77", "wav2 123456789012 77",
                                              "MapTiles  123456789012 77"}));

  // Without the per-namespace override they are ordinary too.
  ExternalCacheFactory::AllowFactoryOverridePerNamespace(false);
  EXPECT_FALSE(ExternalCacheFactory::AllowFactoryOverridePerNamespace());
  calls->clear();
  EXPECT_TRUE(IsNull(ExternalCacheFactory::MakeCache(u"MapTiles", 4, 0)));
  EXPECT_TRUE(IsNull(ExternalCacheFactory::MakeCache(u"WAV2", 4, 0)));
  EXPECT_EQ(*calls, (std::vector<std::string>{"MapTiles 4 0", "WAV2 4 0"}));
}

// Off is the configuration's switch or the option ExternalCacheDisable (ExternalCacheEnabled).
TEST_F(ExternalCacheFactoryTest, TheAuthoringClientMakerMakesNullStoresWhileTheExternalCacheIsOff) {
  InstallRecordingMaker();
  AppConfig::GetInstance().SetExternalCacheEnabled(false);
  EXPECT_TRUE(IsNull(ExternalCacheFactory::MakeCache(u"MapTiles", 4, 0)));
  AppConfig::GetInstance().SetExternalCacheEnabled(true);
  {
    ScopedOptionOverride disable("ExternalCacheDisable", true);
    EXPECT_TRUE(IsNull(ExternalCacheFactory::MakeCache(u"WAV2", 4, 0)));
    EXPECT_TRUE(IsNull(ExternalCacheFactory::MakeDefaultCacheForAuthoringClient()(u"PSC", 1, 0)));
  }
  EXPECT_TRUE(IsDisk(ExternalCacheFactory::MakeDefaultCacheForAuthoringClient()(u"PSC", 1, 0)));
  EXPECT_TRUE(IsNull(ExternalCacheFactory::MakeNullCache()(u"PSC", 1, 0)));

  // Installed as the host's maker, it serves every namespace.
  ExternalCacheFactory::Initialize(ExternalCacheFactory::MakeDefaultCacheForAuthoringClient());
  EXPECT_TRUE(IsDisk(ExternalCacheFactory::MakeCache(u"PSC", 1, 0)));
}

TEST_F(ExternalCacheFactoryTest, AnEmptyMakerIsRefusedAndWhatTheMakerGivesOrRaisesReachesTheCaller) {
  ExternalCacheFactory::Initialize(ExternalCacheFactory::CacheFactoryFunc());
  EXPECT_EQ(kelcache_test::LogicExceptionSite([] { ExternalCacheFactory::MakeCache(u"PSC", 1, 0); }),
            "main/caching/ExternalCacheFactory:58 cacheFactoryFunc");
  // The authoring client's namespaces never reach that check.
  EXPECT_TRUE(IsDisk(ExternalCacheFactory::MakeCache(u"MapTiles", 1, 0)));
  EXPECT_EQ(kelcache_test::LogicExceptionSite([] { ExternalCacheFactory::UnInitialize(); }),
            "main/caching/ExternalCacheFactory:73 cacheFactoryFunc");
  EXPECT_THROW(ExternalCacheFactory::MakeCache(u"PSC", 1, 0), LogicException) << "the maker stays empty";

  ExternalCacheFactory::Initialize([](TString, uint64_t, unsigned) { return std::shared_ptr<IByteCache>(); });
  EXPECT_EQ(ExternalCacheFactory::MakeCache(u"PSC", 1, 0), nullptr);
  ExternalCacheFactory::Initialize([](TString, uint64_t, unsigned) -> std::shared_ptr<IByteCache> {
    throw std::runtime_error("maker failed");
  });
  EXPECT_THROW(ExternalCacheFactory::MakeCache(u"PSC", 1, 0), std::runtime_error);
  // The disk store's own refusal passes through as well.
  ExternalCacheFactory::Initialize(ExternalCacheFactory::MakeDefaultCacheForAuthoringClient());
  EXPECT_THROW(ExternalCacheFactory::MakeCache(u"../PSC", 1, 0), LogicException);
  // The maker runs in place: one with state of its own keeps it.
  ExternalCacheFactory::Initialize([calls = 0](TString, uint64_t, unsigned) mutable -> std::shared_ptr<IByteCache> {
    return ++calls == 2 ? std::make_shared<NullCache>() : nullptr;
  });
  EXPECT_EQ(ExternalCacheFactory::MakeCache(u"PSC", 1, 0), nullptr);
  EXPECT_TRUE(IsNull(ExternalCacheFactory::MakeCache(u"PSC", 1, 0))) << "the second call of the same maker";
}

// The budget is the size in MiB (shifted on 64 bits), the argument the
// minimum age; each disk store made gets a sweeper of its own.
TEST_F(ExternalCacheFactoryTest, TheDiskStoresGetASweeperWithTheBudgetAndArgument) {
  auto sweeperOf = [](const std::shared_ptr<IByteCache>& cache) {
    return static_cast<DiskExternalCache&>(*cache).GetSweeper();
  };
  auto zero = ExternalCacheFactory::MakeCache(u"MapTiles", 0, 0);
  ASSERT_TRUE(IsDisk(zero));
  ASSERT_NE(sweeperOf(zero), nullptr);
  EXPECT_EQ(sweeperOf(zero)->GetOrder(), FolderSweepOrder::LeastRecentlyWritten);
  EXPECT_EQ(sweeperOf(zero)->GetInterval(), std::chrono::minutes(5));
  auto huge = ExternalCacheFactory::MakeCache(u"WAV2", 1ULL << 30, 42);
  EXPECT_EQ(sweeperOf(huge)->GetBudgetBytes(), 1ULL << 50);
  EXPECT_EQ(sweeperOf(huge)->GetMinimumAgeSeconds(), 42u);
  EXPECT_NE(sweeperOf(huge), sweeperOf(zero)) << "one sweeper per cache made";

  // Behaviour: with a budget of 0 every store first sweeps the older entries
  // away; with 1 MiB the folder stays within it, the oldest entries going
  // first and the newest staying together.
  ASSERT_TRUE(Store(*zero, u"first", MakeValue("1")));
  ASSERT_TRUE(Store(*zero, u"second", MakeValue("2")));
  EXPECT_EQ(zero->TryLoad(u"first").Get(), nullptr);
  EXPECT_NE(zero->TryLoad(u"second").Get(), nullptr);
  auto one = ExternalCacheFactory::MakeCache(u"WAV2", 1, 0);
  const fs::path folder = static_cast<DiskExternalCache&>(*one).GetCachePath().ToStdPath();
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(Store(*one, TString(u"sweep-") + TString::number(i), MakeValue(150 * 1024, static_cast<uint8_t>(i))));
    uint64_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      if (entry.is_regular_file()) bytes += entry.file_size();
    }
    EXPECT_LE(bytes, 1u << 20) << "after store " << i;
  }
  EXPECT_NE(one->TryLoad(u"sweep-28").Get(), nullptr);
  EXPECT_NE(one->TryLoad(u"sweep-29").Get(), nullptr);
  EXPECT_EQ(one->TryLoad(u"sweep-0").Get(), nullptr);
}

}  // namespace
