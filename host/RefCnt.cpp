#include "host/RefCnt.h"

RefCntObject::~RefCntObject() = default;
