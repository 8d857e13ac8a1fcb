#include "Utf7Decoding.h"
