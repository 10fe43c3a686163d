// Tests of the host logging: line formats, JSON escaping, level filtering,
// captures, logged exceptions, the file sink and asynchronous mode.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/Errors.h"
#include "host/LogCapture.h"
#include "host/LogFormat.h"
#include "host/TLog.h"
#include "tests/support/TestEnvironment.h"

namespace {

// A small JSON reader, enough for the event lines: objects, strings and
// integers. Rejects raw control characters inside strings, unknown escapes
// and trailing text, so a badly escaped line fails to parse.
struct JsonValue {
  enum Kind { kString, kNumber, kObject } kind = kString;
  std::string text;  // a string's UTF-8 value or a number's digits
  std::map<std::string, JsonValue> members;

  const JsonValue& operator[](const std::string& name) const {
    static const JsonValue missing;
    auto found = members.find(name);
    return found == members.end() ? missing : found->second;
  }
};

class JsonReader {
 public:
  static std::optional<JsonValue> Parse(std::string_view text) {
    JsonReader reader(text);
    auto value = reader.ParseValue();
    reader.SkipSpace();
    if (!value || reader.m_pos != text.size()) return std::nullopt;
    return value;
  }

 private:
  explicit JsonReader(std::string_view text) : m_in(text) {}

  void SkipSpace() {
    while (m_pos < m_in.size() && std::isspace(static_cast<unsigned char>(m_in[m_pos]))) ++m_pos;
  }
  bool Eat(char c) {
    SkipSpace();
    if (m_pos < m_in.size() && m_in[m_pos] == c) {
      ++m_pos;
      return true;
    }
    return false;
  }

  std::optional<JsonValue> ParseValue() {
    SkipSpace();
    if (m_pos >= m_in.size()) return std::nullopt;
    const char c = m_in[m_pos];
    if (c == '{') return ParseObject();
    if (c == '"') {
      auto text = ParseString();
      if (!text) return std::nullopt;
      return JsonValue{JsonValue::kString, *text, {}};
    }
    if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
      const size_t start = m_pos++;
      while (m_pos < m_in.size() && std::isdigit(static_cast<unsigned char>(m_in[m_pos]))) ++m_pos;
      return JsonValue{JsonValue::kNumber, std::string(m_in.substr(start, m_pos - start)), {}};
    }
    return std::nullopt;
  }

  std::optional<JsonValue> ParseObject() {
    JsonValue object{JsonValue::kObject, {}, {}};
    Eat('{');
    if (Eat('}')) return object;
    for (;;) {
      SkipSpace();
      auto name = ParseString();
      if (!name || !Eat(':')) return std::nullopt;
      auto value = ParseValue();
      if (!value) return std::nullopt;
      object.members[*name] = *value;
      if (Eat(',')) continue;
      if (Eat('}')) return object;
      return std::nullopt;
    }
  }

  std::optional<std::string> ParseString() {
    if (m_pos >= m_in.size() || m_in[m_pos] != '"') return std::nullopt;
    ++m_pos;
    std::string out;
    while (m_pos < m_in.size()) {
      const auto c = static_cast<unsigned char>(m_in[m_pos++]);
      if (c == '"') return out;
      if (c < 0x20) return std::nullopt;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (m_pos >= m_in.size()) return std::nullopt;
      switch (m_in[m_pos++]) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          // The writer escapes only ASCII control characters this way.
          if (m_pos + 4 > m_in.size()) return std::nullopt;
          const unsigned long code = std::stoul(std::string(m_in.substr(m_pos, 4)), nullptr, 16);
          m_pos += 4;
          if (code >= 0x80) return std::nullopt;
          out += static_cast<char>(code);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::string_view m_in;
  size_t m_pos = 0;
};

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::chrono::system_clock::time_point AtMilliseconds(long long sinceEpoch) {
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(sinceEpoch));
}

const KelvraError kPruneError =
    KelvraError::MakeError(0x8C3ACE23, KelvraError::AutoGenName(u"LogSite_AutoGen_", 0x8C3ACE23));

// Every test leaves the process's logging as it found it: synchronous, to
// stderr, at Warn.
class TLogTest : public testing::Test {
 protected:
  void TearDown() override {
    TLog::SetAsynchronous(false);
    TLog::LogToStderr();
    TLog::SetLevel(TLog::Warn);
  }

  kelcache_test::TempDir m_dir;
  std::string LogPath(const std::string& name = "kelcache.log") const {
    return (m_dir.path() / name).string();
  }
};

TEST_F(TLogTest, LineFormatsRenderTimeSeverityThreadAndSortedFields) {
  EXPECT_EQ(TLog::FormatTimestamp(AtMilliseconds(1234)), "1970-01-01T00:00:01.234Z");
  // 2024-02-29T23:59:59.999Z: a leap day, the last millisecond of the day.
  EXPECT_EQ(TLog::FormatTimestamp(AtMilliseconds(1709251199999)), "2024-02-29T23:59:59.999Z");
  EXPECT_EQ(TLog::FormatTimestamp(AtMilliseconds(-1)), "1969-12-31T23:59:59.999Z");

  EXPECT_EQ(TLog::RenderPlainLine(TLog::Warn, AtMilliseconds(1234), 42, u"hello"),
            "1970-01-01T00:00:01.234Z warn  [42] hello");
  EXPECT_EQ(TLog::RenderPlainLine(TLog::Error, AtMilliseconds(0), 7, u"x"),
            "1970-01-01T00:00:00.000Z error [7] x");

  const std::unordered_map<TString, TString> fields{{u"outcome", u"stored"}, {u"cns", u"MapTiles"}};
  EXPECT_EQ(TLog::RenderEventLine(TLog::Info, AtMilliseconds(1234), 7, u"ec-store", fields, nullptr),
            R"({"ts":"1970-01-01T00:00:01.234Z","severity":"info","thread":7,"event":"ec-store",)"
            R"("fields":{"cns":"MapTiles","outcome":"stored"}})");
  EXPECT_EQ(TLog::RenderEventLine(TLog::Error, AtMilliseconds(1234), 7, u"prune", {}, &kPruneError),
            R"({"ts":"1970-01-01T00:00:01.234Z","severity":"error","thread":7,"event":"prune","fields":{},)"
            R"("error":{"code":"0x8C3ACE23","name":"LogSite_AutoGen_0x8C3ACE23"}})");
  EXPECT_EQ(TLog::FormatErrorCode(0xAB), "0x000000AB");
}

TEST_F(TLogTest, JsonEscapingRoundTripsEveryKindOfCharacter) {
  std::u16string awkward = u"quote\" backslash\\ slash/ newline\n tab\t cr\r bs\b ff\f";
  awkward += u"nul";
  awkward += char16_t{0};
  awkward += u" bell\x07 unit\x1f del\x7f accent\u00e9 han\u4e2d emoji\U0001F600";
  const TString value(awkward);
  const TString name(u"na\"me\n");
  std::u16string broken = u"a";
  broken += char16_t{0xD800};  // an unpaired surrogate
  broken += u"b";

  std::string quoted;
  TLog::AppendJsonString(quoted, u"a\"b\\c\n\x01\x7f\u00e9");
  EXPECT_EQ(quoted, "\"a\\\"b\\\\c\\n\\u0001\\u007f\xC3\xA9\"");

  const std::string line = TLog::RenderEventLine(TLog::Info, AtMilliseconds(0), 1, u"ev\"ent\\",
                                                 {{name, value}, {u"broken", TString(broken)}}, &kPruneError);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const auto parsed = JsonReader::Parse(line);
  ASSERT_TRUE(parsed.has_value()) << line;
  EXPECT_EQ((*parsed)["event"].text, "ev\"ent\\");
  EXPECT_EQ((*parsed)["severity"].text, "info");
  EXPECT_EQ((*parsed)["thread"].kind, JsonValue::kNumber);
  EXPECT_EQ((*parsed)["fields"][name.toStdString()].text, value.toStdString());
  EXPECT_EQ((*parsed)["fields"]["broken"].text,
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ((*parsed)["error"]["code"].text, "0x8C3ACE23");
  EXPECT_EQ((*parsed)["error"]["name"].text, "LogSite_AutoGen_0x8C3ACE23");
}

TEST_F(TLogTest, LevelFiltersTheSinkButNotALowerCapture) {
  const std::string path = LogPath();
  {
    std::ofstream existing(path);
    existing << "earlier content\n";
  }
  ASSERT_TRUE(TLog::LogToFile(path));
  TLog::SetLevel(TLog::Info);
  EXPECT_EQ(TLog::GetLevel(), TLog::Info);

  TLog::Capture capture;  // Debug and above
  LogMessage(TLog::Debug, u"debug line");
  LogMessage(TLog::Info, TFormatString(u"info line %1 of %2").arg(1).arg(u"two"));
  LogMessage(TLog::Debug, u"ec-load", {{u"outcome", u"miss"}});
  LogMessage(TLog::Error, u"prune", {{u"CacheGuid", u"17"}}, kPruneError);
  TLog::SetLevel(TLog::Error);
  LogMessage(TLog::Warn, u"warn line below error");
  TLog::Flush();

  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "earlier content");  // appended, not truncated
  EXPECT_NE(lines[1].find(" info  ["), std::string::npos);
  EXPECT_NE(lines[1].find("] info line 1 of two"), std::string::npos);
  const auto event = JsonReader::Parse(lines[2]);
  ASSERT_TRUE(event.has_value()) << lines[2];
  EXPECT_EQ((*event)["event"].text, "prune");
  EXPECT_EQ((*event)["severity"].text, "error");
  EXPECT_EQ((*event)["fields"]["CacheGuid"].text, "17");
  EXPECT_EQ((*event)["error"]["code"].text, "0x8C3ACE23");

  // The capture saw everything, whatever the level.
  EXPECT_EQ(capture.Lines(),
            (std::vector<TString>{u"debug line", u"info line 1 of two", u"warn line below error"}));
  const auto loads = capture.Events(u"ec-load");
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_EQ(loads[0].severity, TLog::Debug);
  EXPECT_EQ(loads[0].text, u"ec-load");
  EXPECT_EQ(loads[0].fields.at(u"outcome"), u"miss");
  EXPECT_FALSE(loads[0].error.has_value());
  const auto prunes = capture.Events(u"prune");
  ASSERT_EQ(prunes.size(), 1u);
  ASSERT_TRUE(prunes[0].error.has_value());
  EXPECT_EQ(prunes[0].error->GetCode(), 0x8C3ACE23u);
  EXPECT_EQ(prunes[0].error->GetMessage(), u"LogSite_AutoGen_0x8C3ACE23");
  EXPECT_TRUE(capture.ContainsLine(u"1 of two"));
  EXPECT_FALSE(capture.ContainsLine(u"ec-load"));  // events are not lines
  capture.Clear();
  EXPECT_TRUE(capture.Records().empty());
}

TEST_F(TLogTest, LoggerAcceptsSeverityFollowsLevelAndLiveCaptures) {
  TLog::SetLevel(TLog::Warn);
  EXPECT_FALSE(LoggerAcceptsSeverity(TLog::Debug, 52));
  EXPECT_FALSE(LoggerAcceptsSeverity(TLog::Info));
  EXPECT_TRUE(LoggerAcceptsSeverity(TLog::Warn, 52));
  EXPECT_TRUE(LoggerAcceptsSeverity(TLog::Error, -1));
  {
    TLog::Capture outer(TLog::Info);
    EXPECT_TRUE(LoggerAcceptsSeverity(TLog::Info, 52));
    EXPECT_FALSE(LoggerAcceptsSeverity(TLog::Debug, 52));
    {
      TLog::Capture inner(TLog::Debug);
      EXPECT_TRUE(LoggerAcceptsSeverity(TLog::Debug, 52));
      LogMessage(TLog::Debug, u"only inner");
      LogMessage(TLog::Info, u"both");
      EXPECT_EQ(inner.Lines(), (std::vector<TString>{u"only inner", u"both"}));
    }
    EXPECT_FALSE(LoggerAcceptsSeverity(TLog::Debug, 52));
    LogMessage(TLog::Info, u"outer after inner");
    EXPECT_EQ(outer.Lines(), (std::vector<TString>{u"both", u"outer after inner"}));
  }
  EXPECT_FALSE(LoggerAcceptsSeverity(TLog::Info, 52));
  TLog::SetLevel(TLog::Debug);
  EXPECT_TRUE(LoggerAcceptsSeverity(TLog::Debug, 52));
  TLog::SetLevel(TLog::Error);
  EXPECT_FALSE(LoggerAcceptsSeverity(TLog::Warn, 52));
}

TEST_F(TLogTest, LogCurrentExceptionDescribesEachKindOfException) {
  const std::string path = LogPath();
  ASSERT_TRUE(TLog::LogToFile(path));
  TLog::SetLevel(TLog::Warn);
  TLog::Capture capture;
  const std::unordered_map<TString, TString> values{{u"b", u"2"}, {u"a", u"1"}};

  try {
    ThrowLogicException("main/utility/Cache", 12, "m_policy");
  } catch (...) {
    TLog::LogCurrentException(TLog::Warn, u"logic failed", values);
  }
  try {
    throw MakeUnspecifiedException();
  } catch (...) {
    TLog::LogCurrentException(TLog::Warn, TFormatString(u"store of '%1' failed").arg(u"k"));
  }
  try {
    throw std::runtime_error("disk full");
  } catch (const std::exception&) {
    TLog::LogCurrentException(TLog::Error, u"std failed");
  }
  try {
    throw 42;
  } catch (...) {
    TLog::LogCurrentException(TLog::Warn, u"int thrown");
  }
  TLog::LogCurrentException(TLog::Warn, u"outside a handler");
  try {
    throw std::runtime_error("quiet");
  } catch (...) {
    TLog::LogCurrentException(TLog::Debug, u"below the level");
  }
  TLog::Flush();

  const auto records = capture.Records();
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(records[0].text, u"logic failed Exception: LogicException: main/utility/Cache(12): m_policy");
  EXPECT_EQ(records[0].fields, values);
  EXPECT_FALSE(records[0].error.has_value());
  EXPECT_TRUE(
      records[1].text.startsWith(u"store of 'k' failed Exception: KelvraException: Unspecified exception "))
      << records[1].text;
  EXPECT_TRUE(records[1].text.contains(u"(error 0x543EA456 KelvraException_AutoGen_0x543EA456)"));
  ASSERT_TRUE(records[1].error.has_value());
  EXPECT_EQ(records[1].error->GetCode(), kUnspecifiedExceptionCode);
  EXPECT_EQ(records[2].text, u"std failed Exception: std::runtime_error: disk full");
  EXPECT_EQ(records[2].severity, TLog::Error);
  EXPECT_EQ(records[3].text, u"int thrown Exception: unknown exception (not derived from std::exception)");
  EXPECT_EQ(records[4].text, u"outside a handler Exception: no exception is being handled");
  EXPECT_EQ(records[5].severity, TLog::Debug);

  // The sink got the five at Warn or above, the values as sorted pairs.
  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_NE(
      lines[0].find(
          "] logic failed Exception: LogicException: main/utility/Cache(12): m_policy Values: a=1, b=2"),
      std::string::npos)
      << lines[0];
  EXPECT_NE(lines[2].find(" error ["), std::string::npos);
}

TEST_F(TLogTest, FileSinkSwitchesAndRejectsAnUnopenableFile) {
  const std::string first = LogPath("first.log");
  const std::string second = LogPath("second.log");
  ASSERT_TRUE(TLog::LogToFile(first));
  LogMessage(TLog::Warn, u"to first");
  // A path below a regular file cannot be opened: the sink stays as it was.
  EXPECT_FALSE(TLog::LogToFile(first + "/below-a-file.log"));
  LogMessage(TLog::Warn, u"still first");
  ASSERT_TRUE(TLog::LogToFile(second));
  LogMessage(TLog::Warn, u"to second");
  TLog::Flush();

  const auto firstLines = ReadLines(first);
  ASSERT_EQ(firstLines.size(), 2u);
  EXPECT_NE(firstLines[0].find("to first"), std::string::npos);
  EXPECT_NE(firstLines[1].find("still first"), std::string::npos);
  const auto secondLines = ReadLines(second);
  ASSERT_EQ(secondLines.size(), 1u);
  EXPECT_NE(secondLines[0].find("to second"), std::string::npos);
}

TEST_F(TLogTest, AsynchronousModeDeliversEverythingByFlush) {
  const std::string first = LogPath("first.log");
  const std::string second = LogPath("second.log");
  ASSERT_TRUE(TLog::LogToFile(first));
  TLog::SetAsynchronous(true);
  EXPECT_TRUE(TLog::IsAsynchronous());
  const uint64_t droppedBefore = TLog::DroppedLineCount();
  constexpr int kLines = 1000;  // well below the queue's capacity
  for (int i = 0; i < kLines; ++i) LogMessage(TLog::Warn, TFormatString(u"async %1").arg(i));
  TLog::Flush();
  auto lines = ReadLines(first);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kLines));
  for (int i = 0; i < kLines; ++i) {
    EXPECT_NE(lines[i].find("] async " + std::to_string(i)), std::string::npos) << lines[i];
  }
  EXPECT_EQ(TLog::DroppedLineCount(), droppedBefore);

  // Switching the sink hands the queued lines to the old one first.
  LogMessage(TLog::Warn, u"last for first");
  ASSERT_TRUE(TLog::LogToFile(second));
  LogMessage(TLog::Warn, u"first for second");
  TLog::SetAsynchronous(false);  // flushes the asynchronous writer
  EXPECT_FALSE(TLog::IsAsynchronous());
  lines = ReadLines(first);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kLines + 1));
  EXPECT_NE(lines.back().find("last for first"), std::string::npos);
  LogMessage(TLog::Warn, u"synchronous again");  // written at once, no Flush
  lines = ReadLines(second);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("first for second"), std::string::npos);
  EXPECT_NE(lines[1].find("synchronous again"), std::string::npos);
}

TEST_F(TLogTest, ManyThreadsLogAtOnceWithoutLosingRecords) {
  const std::string path = LogPath();
  ASSERT_TRUE(TLog::LogToFile(path));
  TLog::SetLevel(TLog::Info);
  TLog::Capture capture(TLog::Info);
  constexpr int kThreads = 8;
  constexpr int kPerThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i) {
        if (i % 2 == 0) {
          LogMessage(TLog::Info, TFormatString(u"thread %1 line %2").arg(t).arg(i));
        } else {
          LogMessage(TLog::Info, u"ev", {{u"thread", TString::number(t)}, {u"i", TString::number(i)}});
        }
        LogMessage(TLog::Debug, u"filtered everywhere");
      }
    });
  }
  // Reading while the threads write must be safe too.
  for (int i = 0; i < 20; ++i)
    EXPECT_LE(capture.Records().size(), static_cast<size_t>(kThreads * kPerThread));
  for (auto& thread : threads) thread.join();
  TLog::Flush();

  const auto records = capture.Records();
  ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kPerThread));
  // Per thread, every record is there and in the order it was logged.
  std::vector<int> next(kThreads, 0);
  for (const auto& record : records) {
    int thread = 0;
    int index = 0;
    if (record.IsEvent()) {
      thread = record.fields.at(u"thread").toInt();
      index = record.fields.at(u"i").toInt();
    } else {
      const auto parts = record.text.split(u" ");
      ASSERT_EQ(parts.size(), 4u);
      thread = parts[1].toInt();
      index = parts[3].toInt();
    }
    ASSERT_GE(thread, 0);
    ASSERT_LT(thread, kThreads);
    EXPECT_EQ(index, next[thread]);
    next[thread] = index + 1;
  }
  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread));
  for (const auto& line : lines) {
    if (line.front() == '{') EXPECT_TRUE(JsonReader::Parse(line).has_value()) << line;
  }
}

// When EnvironmentConfiguresTheFirstUse starts this executable with
// KELCACHE_TLOG_TEST_CHILD set, it logs under the settings that the
// environment gave and exits before any test runs. It does not flush: the
// handler run at exit must write out the queued lines.
const bool kRanAsChild = [] {
  if (std::getenv("KELCACHE_TLOG_TEST_CHILD") == nullptr) return false;
  const bool configured = TLog::GetLevel() == TLog::Debug && TLog::IsAsynchronous();
  for (int i = 0; i < 100; ++i) {
    LogMessage(TLog::Debug, TFormatString(u"debug from the environment %1").arg(i));
  }
  std::exit(configured ? 0 : 3);
}();

TEST(TLogEnvironment, EnvironmentConfiguresTheFirstUse) {
  kelcache_test::TempDir dir;
  const std::string path = (dir.path() / "env.log").string();
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string command =
      "KELCACHE_TLOG_TEST_CHILD=1 KELCACHE_LOG_LEVEL=DEBUG KELCACHE_LOG_ASYNC=1 "
      "KELCACHE_LOG_FILE='" +
      path + "' '" + self + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_NE(lines[99].find(" debug ["), std::string::npos) << lines[99];
  EXPECT_NE(lines[99].find("] debug from the environment 99"), std::string::npos) << lines[99];
}

}  // namespace
