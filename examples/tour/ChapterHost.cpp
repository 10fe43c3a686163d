// Chapter: the host services at work.
#include <chrono>
#include <thread>

#include "examples/tour/Tour.h"
#include "host/AppOptions.h"
#include "host/AsyncTask.h"
#include "host/LogCapture.h"
#include "host/LogFormat.h"
#include "host/TFormatString.h"
#include "host/TLog.h"

namespace tour {

void ChapterHost() {
  Step("A structured event is one JSON object per line, so tools can parse the log.");
  {
    TLog::Capture capture(TLog::Info);
    LogMessage(
        TLog::Info, TString(u"tour-event"),
        {{TString(u"chapter"), TString(u"host")}, {TString(u"greeting"), TString(u"gr\u00FC\u00DF dich")}});
    for (const TLog::Record& record : capture.Events(TString(u"tour-event"))) {
      Show(TLog::RenderEventLine(record.severity, std::chrono::system_clock::now(), 1, record.eventName,
                                 record.fields, nullptr));
    }
  }

  Step("A plain line is built from a %1-style pattern; the default sink (stderr) shows Warn and above.");
  Show(TFormatString(u"cache %1 holds %2 entries").arg(TString(u"WAV2")).arg(42).result());

  Step("A task runs on the host thread pool and hands its result back through a future.");
  AsyncTask::Future<bool> future = AsyncTask::Launch(AsyncTask::LaunchMode::Asynchronous, [] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return true;
  });
  Show(std::string("right after launch the future is ") + (future.IsReady() ? "ready" : "pending"));
  Show(std::string("its value, fetched: ") + (future.Get() ? "true" : "false"));

  Step("A deferred task runs only when someone fetches its value; a timed wait does not run it.");
  AsyncTask::Future<bool> deferred = AsyncTask::Launch(AsyncTask::LaunchMode::Deferred, [] { return true; });
  Show(std::string("WaitFor(10 ms) says ") +
       (deferred.WaitFor(std::chrono::milliseconds(10)) == AsyncTask::FutureStatus::Deferred ? "deferred"
                                                                                             : "?"));
  Show(std::string("Get() runs it: ") + (deferred.Get() ? "true" : "false"));

  Step("Options have defaults, can be set by KELCACHE_<Name> variables, and overridden at run time.");
  Show("ExternalCacheConcurrencyLimit = " +
       std::to_string(kelvra::appoptions::ExternalCacheConcurrencyLimit()));
  {
    kelvra::appoptions::ScopedOptionOverride override("ExternalCacheConcurrencyLimit", 4);
    Show("overridden for a scope: " + std::to_string(kelvra::appoptions::ExternalCacheConcurrencyLimit()));
  }
  Show("and back again: " + std::to_string(kelvra::appoptions::ExternalCacheConcurrencyLimit()));
}

}  // namespace tour
