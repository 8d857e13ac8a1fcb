#include "IdURI.h"
