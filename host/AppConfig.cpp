#include "host/AppConfig.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>

#include "host/AppOptions.h"
#include "host/TMutex.h"

namespace {

constexpr AppConfig::Edition kEditions[] = {
    AppConfig::Edition::Server, AppConfig::Edition::AuthoringClient, AppConfig::Edition::FlowAuthoringClient,
    AppConfig::Edition::OpenGalleryServer, AppConfig::Edition::GatewayAgent};

// The variable's value, or null when it is unset or empty.
const char* Variable(const char* name) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? text : nullptr;
}

void ReportBadVariable(const char* name, const char* text, const char* expected, const char* kept) {
  std::fprintf(stderr, "kelcache: ignoring environment variable %s=\"%s\" (%s); keeping the default %s\n",
               name, text, expected, kept);
}

void ApplyBoolVariable(const char* name, std::atomic<bool>& setting) {
  const char* text = Variable(name);
  if (text == nullptr) return;
  bool value = false;
  if (kelvra::appoptions::ParseBoolText(text, value)) {
    setting.store(value, std::memory_order_relaxed);
  } else {
    ReportBadVariable(name, text, "expected true/false, 1/0, on/off or yes/no",
                      setting.load(std::memory_order_relaxed) ? "true" : "false");
  }
}

// $XDG_CACHE_HOME/kelcache, $HOME/.cache/kelcache, or <temp>/kelcache.
std::string DefaultExternalCacheDir() {
  if (const char* xdg = Variable("XDG_CACHE_HOME")) return std::string(xdg) + "/kelcache";
  if (const char* home = Variable("HOME")) return std::string(home) + "/.cache/kelcache";
  std::error_code error;
  std::filesystem::path temp = std::filesystem::temp_directory_path(error);
  if (error || temp.empty()) temp = "/tmp";
  return (temp / "kelcache").string();
}

// KELCACHE_ExternalCacheDir when set and not empty, else the default.
TString EnvironmentExternalCacheDir() {
  const char* folder = Variable("KELCACHE_ExternalCacheDir");
  return TString::fromStdString(folder != nullptr ? std::string(folder) : DefaultExternalCacheDir());
}

}  // namespace

AppConfig& AppConfig::GetInstance() {
  // Never destroyed: the library may ask for the configuration while the
  // process exits, after static objects have begun to go away.
  static AppConfig* const s_instance = new AppConfig();
  return *s_instance;
}

AppConfig::AppConfig() {
  ApplyBoolVariable("KELCACHE_ExternalCacheEnabled", m_externalCacheEnabled);
  ApplyBoolVariable("KELCACHE_TestMode", m_testMode);
  ApplyBoolVariable("KELCACHE_UnitTestFlag", m_unitTestFlag);
  ApplyBoolVariable("KELCACHE_IsExternalProtocolServer", m_isExternalProtocolServer);

  if (const char* text = Variable("KELCACHE_Edition")) {
    Edition edition = Edition::Server;
    if (ParseEdition(text, edition)) {
      m_edition.store(edition, std::memory_order_relaxed);
    } else {
      ReportBadVariable(
          "KELCACHE_Edition", text,
          "expected Server, AuthoringClient, FlowAuthoringClient, OpenGalleryServer or GatewayAgent",
          EditionName(m_edition.load(std::memory_order_relaxed)));
    }
  }

  m_startExternalCacheDir = EnvironmentExternalCacheDir();
  TMutexLock lock(m_folderMutex);
  m_externalCacheDir = m_startExternalCacheDir;
}

TString AppConfig::GetExternalCacheDir() const {
  TMutexLock lock(m_folderMutex);
  return m_externalCacheDir;
}

void AppConfig::SetExternalCacheDir(TString folder) {
  // An empty folder would put the disk stores' entries in the working folder
  // of the moment; it stands for the folder the process started with (not
  // what the environment says now: the host may have changed it since).
  if (folder.empty()) folder = m_startExternalCacheDir;
  TMutexLock lock(m_folderMutex);
  m_externalCacheDir = std::move(folder);
}

const char* AppConfig::EditionName(Edition edition) {
  static constexpr const char* kNames[] = {"Server", "AuthoringClient", "FlowAuthoringClient", "OpenGalleryServer",
                                           "GatewayAgent"};
  static_assert(std::size(kNames) == static_cast<size_t>(Edition::GatewayAgent) + 1, "one name per edition");
  const auto index = static_cast<size_t>(edition);
  return index < std::size(kNames) ? kNames[index] : "Unknown";
}

bool AppConfig::ParseEdition(std::string_view text, Edition& edition) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  for (Edition candidate : kEditions) {
    std::string_view name = EditionName(candidate);
    if (name.size() != text.size()) continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(name[i])) ==
             std::tolower(static_cast<unsigned char>(text[i]));
    }
    if (same) {
      edition = candidate;
      return true;
    }
  }
  return false;
}
