#include "IdNetscapeCookie.h"
