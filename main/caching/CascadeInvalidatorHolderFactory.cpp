#include "public/caching/CascadeInvalidatorHolder.h"

#include "host/AppConfig.h"
#include "host/Errors.h"
#include "host/InitOnce.h"
#include "host/TFormatString.h"
#include "host/TLog.h"

namespace kelvra::caching {

namespace {

constexpr const char* kSource = "main/caching/CascadeInvalidatorHolderFactory";

// The holder: a vector of borrowed pointers, one per invalidator type.
// No lock: filled once at start-up, read afterwards (see the header).
class CascadeInvalidatorHolder final : public ICascadeInvalidatorHolder {
 public:
  void Initialize(const std::vector<ICascadeInvalidator*>& invalidators) override {
    if (!m_invalidators.empty()) ThrowLogicException(kSource, __LINE__, "Already initialized!");
    if (invalidators.size() != static_cast<size_t>(CascadeInvalidatorType::End)) {
      ThrowLogicException(kSource, __LINE__, "Number of invalidators does not match enum!");
    }
    LogMessage(TLog::Info,
               TFormatString(u"Initialize invalidators on holder=%1").arg(TString::pointer(this)));
    for (ICascadeInvalidator* invalidator : invalidators) {
      LogMessage(TLog::Info, TFormatString(u"    invalidator=%1").arg(TString::pointer(invalidator)));
    }
    m_invalidators = invalidators;
  }

  void ResetForTest() override {
    if (!AppConfig::GetInstance().GetUnitTestFlag()) {
      ThrowLogicException(kSource, __LINE__, "AppConfig::GetInstance().GetUnitTestFlag()");
    }
    m_invalidators.clear();
  }

  ICascadeInvalidator* GetInvalidator(CascadeInvalidatorType invalidatorType) override {
    // A negative value is below End as well, but names no element.
    if (static_cast<int>(invalidatorType) < 0 || !(invalidatorType < CascadeInvalidatorType::End)) {
      ThrowLogicException(kSource, __LINE__, "invalidatorType < CascadeInvalidatorType::End");
    }
    if (m_invalidators.empty()) return nullptr;
    return m_invalidators[static_cast<size_t>(invalidatorType)];
  }

  const std::vector<ICascadeInvalidator*>& GetInvalidators() override { return m_invalidators; }

 private:
  std::vector<ICascadeInvalidator*> m_invalidators;
};

}  // namespace

ICascadeInvalidatorHolder& CascadeInvalidatorHolderFactory::GetInstance() {
  static InitOnceSlot slot;
  return *InitOnceShared<CascadeInvalidatorHolder>(
      slot, [] { return std::make_shared<CascadeInvalidatorHolder>(); });
}

}  // namespace kelvra::caching
