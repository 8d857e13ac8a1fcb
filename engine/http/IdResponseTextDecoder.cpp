#include "IdResponseTextDecoder.h"
