#include "IdContentType.h"
