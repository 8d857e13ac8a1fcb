#include "MetaHeaderScan.h"
