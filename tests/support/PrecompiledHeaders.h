// The large headers that nearly every test source includes: GoogleTest,
// GoogleMock and the standard library's common parts. The test build parses
// them once, into a header precompiled with kelcache_test_support, and every
// test program reuses it (tests/CMakeLists.txt). Only headers from outside the
// project belong here: a kelcache header in this list would rebuild every test
// whenever it changed, and would hide a test's missing include of it.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>
