// Symbol visibility for the kelcache shared library.
//
// The library is built with hidden visibility (-fvisibility=hidden); every
// class and function that callers may use carries KELCACHE_EXPORT, which makes
// it visible both when the library is built and when a caller includes it.
#pragma once

#define KELCACHE_EXPORT __attribute__((visibility("default")))
