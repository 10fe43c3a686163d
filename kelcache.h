// kelcache: the whole public API in one include.
#pragma once

#include "host/DateTime.h"
#include "host/Errors.h"
#include "host/LockGuards.h"
#include "host/RefCnt.h"
#include "host/TElapsedTimer.h"
#include "host/TFormatString.h"
#include "host/THash.h"
#include "host/TReadWriteLock.h"
#include "host/TRecursiveMutex.h"
#include "host/TString.h"
