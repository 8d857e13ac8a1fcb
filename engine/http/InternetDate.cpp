#include "InternetDate.h"
