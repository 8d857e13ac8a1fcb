#include "IdCookieManager.h"
