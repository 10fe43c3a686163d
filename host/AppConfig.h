// AppConfig: the host application's configuration as the library sees it:
// whether the second-level (external) cache is on and where it lives on disk,
// test switches, and which edition of the host product this process is.
//
// The single instance is created on first use (GetInstance) and never
// destroyed. At creation it takes its defaults and then the environment:
//
//   setting                 default                      environment variable
//   ExternalCacheEnabled    true                         KELCACHE_ExternalCacheEnabled
//   ExternalCacheDir        see below                    KELCACHE_ExternalCacheDir
//   TestMode                false                        KELCACHE_TestMode
//   UnitTestFlag            false                        KELCACHE_UnitTestFlag
//   IsExternalProtocolServer false                       KELCACHE_IsExternalProtocolServer
//   Edition                 Server                       KELCACHE_Edition (an Edition name)
//
// The default external cache folder is $XDG_CACHE_HOME/kelcache, else
// $HOME/.cache/kelcache, else the system's temporary folder + "/kelcache".
// Booleans take the text forms of kelvra::appoptions::ParseBoolText. A value
// that does not parse is reported on stderr (naming the variable) and the
// default kept; an empty value counts as not set. Hosts and tests then change
// the settings through the setters.
//
// Thread rules: thread-safe. Every getter and setter may be called from any
// thread at once; the flags and the edition are atomics, the folder is
// guarded by a mutex and returned as a copy.
#pragma once

#include <atomic>
#include <string_view>

#include "host/Export.h"
#include "host/TString.h"
#include "host/ThreadAnnotations.h"
#include "host/TMutex.h"

class KELCACHE_EXPORT AppConfig {
 public:
  // The edition of the host product that runs in this process.
  enum class Edition { Server, AuthoringClient, FlowAuthoringClient, OpenGalleryServer, GatewayAgent };

  static AppConfig& GetInstance();

  bool GetExternalCacheEnabled() const { return m_externalCacheEnabled.load(std::memory_order_acquire); }
  TString GetExternalCacheDir() const;
  bool GetTestMode() const { return m_testMode.load(std::memory_order_acquire); }
  bool GetUnitTestFlag() const { return m_unitTestFlag.load(std::memory_order_acquire); }
  bool GetIsExternalProtocolServer() const {
    return m_isExternalProtocolServer.load(std::memory_order_acquire);
  }

  void SetExternalCacheEnabled(bool enabled) {
    m_externalCacheEnabled.store(enabled, std::memory_order_release);
  }
  // An empty folder sets the one the process started with
  // (KELCACHE_ExternalCacheDir, else the default: $XDG_CACHE_HOME/kelcache,
  // else $HOME/.cache/kelcache, else the temporary folder's kelcache), so that
  // an empty text does not send the disk stores to the working folder. (A
  // relative folder is taken as it is, against the working folder.)
  void SetExternalCacheDir(TString folder);
  void SetTestMode(bool on) { m_testMode.store(on, std::memory_order_release); }
  void SetUnitTestFlag(bool on) { m_unitTestFlag.store(on, std::memory_order_release); }
  void SetIsExternalProtocolServer(bool on) {
    m_isExternalProtocolServer.store(on, std::memory_order_release);
  }

  // Edition predicates: each is true only in its own edition.
  static bool IsAuthoringClient() { return GetEdition() == Edition::AuthoringClient; }
  static bool IsFlowAuthoringClient() { return GetEdition() == Edition::FlowAuthoringClient; }
  static bool IsOpenGalleryServer() { return GetEdition() == Edition::OpenGalleryServer; }
  static bool IsGatewayAgent() { return GetEdition() == Edition::GatewayAgent; }
  static Edition GetEdition() { return GetInstance().m_edition.load(std::memory_order_acquire); }
  static void SetEdition(Edition edition) {
    GetInstance().m_edition.store(edition, std::memory_order_release);
  }

  // The edition's name as used by KELCACHE_Edition ("Server", "AuthoringClient", ...).
  static const char* EditionName(Edition edition);
  // Reads an edition name (any case); false when the text names none.
  static bool ParseEdition(std::string_view text, Edition& edition);

  AppConfig(const AppConfig&) = delete;
  AppConfig& operator=(const AppConfig&) = delete;

 private:
  AppConfig();
  ~AppConfig() = default;

  std::atomic<bool> m_externalCacheEnabled{true};
  std::atomic<bool> m_testMode{false};
  std::atomic<bool> m_unitTestFlag{false};
  std::atomic<bool> m_isExternalProtocolServer{false};
  std::atomic<Edition> m_edition{Edition::Server};

  // The folder the process started with: set by the constructor, then
  // never changed (read without a lock).
  TString m_startExternalCacheDir;
  mutable TMutex m_folderMutex;
  TString m_externalCacheDir KELCACHE_GUARDED_BY(m_folderMutex);
};
