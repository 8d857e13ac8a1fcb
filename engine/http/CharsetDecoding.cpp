#include "CharsetDecoding.h"
