#include "CookieSplitting.h"
