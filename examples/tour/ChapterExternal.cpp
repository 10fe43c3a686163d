// Chapter: the second-level cache on disk, as the authoring client gets it.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "examples/tour/Tour.h"
#include "host/AppConfig.h"
#include "host/LogCapture.h"
#include "host/LogFormat.h"
#include "host/OpenMetrics.h"
#include "host/TLog.h"
#include "public/caching/DiskExternalCache.h"
#include "public/caching/ExternalCacheFactory.h"

namespace tour {

namespace {

void ShowEvents(const TLog::Capture& capture) {
  for (const TLog::Record& record : capture.Records()) {
    if (!record.IsEvent()) continue;
    Show(TLog::RenderEventLine(record.severity, std::chrono::system_clock::now(), 1, record.eventName,
                               record.fields, nullptr));
  }
}

// A short sample of the metrics text: the family headers, and the lines of
// the "ec-load" hits but for most of their buckets.
void ShowMetricsSample(const std::string& text) {
  size_t left = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const bool header = line.rfind("# ", 0) == 0;
    const bool loadHit = line.find("{scope=\"ec-load\",outcome=\"hit\"") != std::string::npos;
    const bool bucket = line.find("_bucket{") != std::string::npos;
    if (header || (loadHit && (!bucket || line.find("le=\"0.001\"") != std::string::npos ||
                               line.find("le=\"+Inf\"") != std::string::npos))) {
      Show(line);
    } else {
      ++left;
    }
  }
  Show("(" + std::to_string(left) + " more lines: the other scopes and outcomes, every bucket)");
}

std::string Text(const std::shared_ptr<std::vector<uint8_t>>& value) {
  return value ? "\"" + std::string(value->begin(), value->end()) + "\"" : "null (a miss)";
}

}  // namespace

void ChapterExternal() {
  namespace fs = std::filesystem;
  using kelvra::caching::ExternalCacheFactory;

  // The tour keeps its cache in a folder of its own, not in the user's.
  const fs::path folder = fs::temp_directory_path() / "kelcache-tour-external";
  fs::remove_all(folder);
  const TString previousDir = AppConfig::GetInstance().GetExternalCacheDir();
  AppConfig::GetInstance().SetExternalCacheDir(TString::fromStdString(folder.string()));

  Step(
      "The factory serves \"WAV2\" with the authoring client's disk store, whatever maker is installed: no "
      "server.");
  std::shared_ptr<ExternalCacheFactory::Cache> cache =
      ExternalCacheFactory::MakeCache(ExternalCacheFactory::WorkbookAttributesCacheNamespace, 64, 0);
  auto* disk = dynamic_cast<kelvra::caching::DiskExternalCache*>(cache.get());
  Show(std::string("a disk store: ") + (disk ? "yes" : "no (the external cache is disabled)"));
  if (disk) Show("its folder: " + disk->GetCachePath().ToUtf8());

  Step("A store runs as a task and reports one \"ec-store\" event; the future is false only when it "
      "failed (true does not say the value was kept: a threshold may have skipped it).");
  TLog::Capture capture(TLog::Info);
  const std::string text = "workbook attributes, computed slowly";
  auto value = std::make_shared<std::vector<uint8_t>>(text.begin(), text.end());
  const bool stored = cache->TryStore(u"workbook-42", value, 250, -1).Get();
  Show(std::string("stored: ") + (stored ? "true" : "false"));
  ShowEvents(capture);

  Step(
      "Values that were cheap to produce are not worth a disk write: below the lower bound they are "
      "skipped.");
  capture.Clear();
  cache->TryStore(u"cheap", value, 3, -1).Get();
  ShowEvents(capture);

  Step("A load gives the bytes back (\"hit\"); an unknown key is a miss, not an error.");
  capture.Clear();
  Show("workbook-42 -> " + Text(cache->TryLoad(u"workbook-42").Get()));
  Show("unknown     -> " + Text(cache->TryLoad(u"unknown").Get()));
  ShowEvents(capture);

  Step("On disk: one folder per entry, named by the key's hash, with the key and the value side by side.");
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string relative = fs::relative(entry.path(), folder).string();
    Show(entry.is_regular_file() ? relative + "  (" + std::to_string(entry.file_size()) + " bytes)"
                                 : relative + "/");
  }

  Step("The store can list its keys, and a drop removes the entry's folder.");
  for (const TString& key : cache->TryGetAllKeys()) Show("key on disk: " + key.toStdString());
  cache->TryDrop(u"workbook-42").Get();
  Show("after the drop: " + Text(cache->TryLoad(u"workbook-42").Get()));

  Step(
      "Every operation was also measured: one library call renders the counts and duration histograms as "
      "OpenMetrics text, for a host's metrics endpoint.");
  ShowMetricsSample(Metrics::RenderOpenMetrics());

  AppConfig::GetInstance().SetExternalCacheDir(previousDir);
  fs::remove_all(folder);
}

}  // namespace tour
