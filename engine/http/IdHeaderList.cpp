#include "IdHeaderList.h"
